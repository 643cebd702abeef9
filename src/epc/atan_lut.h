// Arctangent in phase units by octant reduction and a 4096-entry table.
#pragma once

#include <stdint.h>

namespace tarvo::epc {

constexpr int kAtanEntries = 4096;

// Entry i is atan2(i, 4095) in phase units (30000 per turn), rounded.
extern uint16_t g_atan_table[kAtanEntries];

// atan2_lut for arguments whose magnitudes stay below 2^18, so y x 4096 fits 32 bits: the
// 12-bit sample differences of the calculator and the fast route.
inline int atan2_small(int y, int x) {
    if (y == 0)
        return x < 0 ? 15000 : 0;
    int base = 0;
    if (y < 0) {
        y = -y;
        x = -x;
        base = 15000;
        if (x <= 0) {
            base = 22500;
            const int t = -x;
            x = y;
            y = t;
        }
    } else if (x <= 0) {
        base = 7500;
        const int t = -x;
        x = y;
        y = t;
    }
    if (y >= x) {
        base += 3750;
        const int t = y - x;
        x = y + x;
        y = t;
    }
    return base + g_atan_table[(y * 4096) / x];
}

}  // namespace tarvo::epc
