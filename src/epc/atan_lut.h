// Arctangent in phase units by octant reduction and a 4096-entry table.
#pragma once

#include <stdint.h>

namespace tarvo::epc {

constexpr int kAtanEntries = 4096;

// Entry i is atan2(i, 4095) in phase units (30000 per turn), rounded.
extern uint16_t g_atan_table[kAtanEntries];
// The same entries as 32-bit words, the element size of vector gathers.
extern int32_t g_atan_table32[kAtanEntries];

// atan2_lut for arguments whose magnitudes stay below 2^18, so y x 4096 fits 32 bits: the
// 12-bit sample differences of the calculator and the fast route. Written without branches:
// a pixel's octant is as good as random, and mispredicted jumps would cost more than the rest
// of the pixel's work. The division is exact in double precision (both operands are far
// below 2^26), which runs faster than an integer division.
inline int atan2_small(int y, int x) {
    const bool on_axis = y == 0;
    const int axis_value = x < 0 ? 15000 : 0;
    // Lower half-plane: turn by half a period.
    const int neg = y < 0 ? -1 : 0;
    y = (y ^ neg) - neg;
    x = (x ^ neg) - neg;
    int base = neg & 15000;
    // Left quadrant: turn by a quarter.
    const bool left = x <= 0;
    const int y1 = left ? -x : y;
    const int x1 = left ? y : x;
    base += left ? 7500 : 0;
    // Upper octant: turn by an eighth.
    const bool upper = y1 >= x1;
    const int y2 = upper ? y1 - x1 : y1;
    const int x2 = upper ? y1 + x1 : x1;
    base += upper ? 3750 : 0;
    // On the axis x2 may be 0; the result is then taken from axis_value.
    const int index =
        static_cast<int>(static_cast<double>(y2 * 4096) / static_cast<double>(x2 > 0 ? x2 : 1));
    const int value = base + g_atan_table[index & (kAtanEntries - 1)];
    return on_axis ? axis_value : value;
}

}  // namespace tarvo::epc
