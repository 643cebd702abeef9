// Mean and standard deviation of a gray image: how flat the fixed pattern or its correction
// leaves it.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <cmath>

namespace tarvo::test {

struct Spread {
    double mean = 0.0;
    double deviation = 0.0;
};

inline Spread spread_of(const uint16_t *image, int n) {
    double sum = 0.0;
    double squares = 0.0;
    for (int i = 0; i < n; ++i) {
        sum += image[i];
        squares += static_cast<double>(image[i]) * image[i];
    }
    const double mean = sum / n;
    return {mean, std::sqrt(std::max(squares / n - mean * mean, 0.0))};
}

}  // namespace tarvo::test
