// Arctangent in phase units by octant reduction and a 4096-entry table.
#pragma once

#include <stdint.h>

namespace tarvo::epc {

constexpr int kAtanEntries = 4096;

// Entry i is atan2(i, 4095) in phase units (30000 per turn), rounded.
extern uint16_t g_atan_table[kAtanEntries];
// The same entries as 32-bit words, the element size of vector gathers.
extern int32_t g_atan_table32[kAtanEntries];

// Octant reduction of (y, x) for the table: off the axis the angle is base plus the table
// angle of y2 / x2, where 0 <= y2 < x2; on the axis (y = 0) it is axis_value, and x2 may be 0.
// Written with selects only: a pixel's octant is as good as random, and mispredicted jumps
// would cost more than the rest of the pixel's work. The vector kernels take it inline too.
struct AtanOctant {
    int base;
    int y2;
    int x2;
    int axis_value;
    bool on_axis;
};

[[gnu::always_inline]] inline AtanOctant atan_octant(int y, int x) {
    AtanOctant o;
    o.on_axis = y == 0;
    o.axis_value = x < 0 ? 15000 : 0;
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
    o.y2 = upper ? y1 - x1 : y1;
    o.x2 = upper ? y1 + x1 : x1;
    o.base = base + (upper ? 3750 : 0);
    return o;
}

// atan2_lut for arguments whose magnitudes stay below 2^18, so y x 4096 fits 32 bits: the
// 12-bit sample differences of the calculator and the fast route. The division is exact in
// double precision (both operands are far below 2^26), which runs faster than an integer
// division.
inline int atan2_small(int y, int x) {
    const AtanOctant o = atan_octant(y, x);
    // On the axis x2 may be 0; the result is then taken from axis_value.
    const int index = static_cast<int>(static_cast<double>(o.y2 * 4096) /
                                       static_cast<double>(o.x2 > 0 ? o.x2 : 1));
    const int value = o.base + g_atan_table[index & (kAtanEntries - 1)];
    return o.on_axis ? o.axis_value : value;
}

}  // namespace tarvo::epc
