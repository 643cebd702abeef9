// Internal helpers of the per-pixel calculator.
#pragma once

#include <stdint.h>

namespace tarvo::epc {

// Square root through the inverse-square-root approximation with one Newton step.
float fast_sqrt(float x);

// Squared amplitude as the hysteresis compares it, held within int.
inline int clamp_to_int(int64_t v) {
    return v > INT32_MAX ? INT32_MAX : static_cast<int>(v);
}

}  // namespace tarvo::epc
