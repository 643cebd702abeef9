#include "epc/atan_lut.h"

#include <tarvo/epc_calc.h>

#include <cmath>
#include <cstdint>

namespace tarvo::epc {

uint16_t g_atan_table[kAtanEntries];
int32_t g_atan_table32[kAtanEntries];

}  // namespace tarvo::epc

extern "C" {

const int numLutValue = tarvo::epc::kAtanEntries;

void atan2lut_Init(void) {
    constexpr double kUnitsPerRadian = 30000.0 / (2.0 * M_PI);
    for (int i = 0; i < tarvo::epc::kAtanEntries; ++i) {
        tarvo::epc::g_atan_table[i] =
            static_cast<uint16_t>(std::lround(std::atan2(i, 4095.0) * kUnitsPerRadian));
        tarvo::epc::g_atan_table32[i] = tarvo::epc::g_atan_table[i];
    }
}

int atan2_lut(int y, int x) {
    // Any int is accepted: the reduction runs in 64 bits, where negating INT_MIN and scaling
    // by 4096 cannot overflow.
    int64_t yy = y;
    int64_t xx = x;
    if (yy == 0)
        return xx < 0 ? 15000 : 0;
    int base = 0;
    if (yy < 0) {
        yy = -yy;
        xx = -xx;
        base = 15000;
        if (xx <= 0) {
            base = 22500;
            const int64_t t = -xx;
            xx = yy;
            yy = t;
        }
    } else if (xx <= 0) {
        base = 7500;
        const int64_t t = -xx;
        xx = yy;
        yy = t;
    }
    if (yy >= xx) {
        base += 3750;
        const int64_t t = yy - xx;
        xx = yy + xx;
        yy = t;
    }
    return base + tarvo::epc::g_atan_table[(yy * 4096) / xx];
}

}  // extern "C"

namespace {

// The table is filled at load as well, so a distance computed before the configuration ran
// its initialisation is still right.
[[maybe_unused]] const bool g_table_filled = (atan2lut_Init(), true);

}  // namespace
