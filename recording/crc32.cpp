#include "crc32.h"

#include <array>
#include <cstring>

namespace tarvo::recording {
namespace {

// Slicing by 8: eight tables, eight bytes a step; raw frames run through it at camera rate.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (size_t s = 1; s < 8; ++s) {
        for (uint32_t i = 0; i < 256; ++i)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
    return t;
}

constexpr Tables kTables = make_tables();

}  // namespace

uint32_t crc32_update(uint32_t crc, const void *data, size_t len) {
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t c = ~crc;
    while (len >= 8) {
        uint32_t lo;
        uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
            kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
            kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        p += 8;
        len -= 8;
    }
    while (len-- != 0)
        c = kTables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

}  // namespace tarvo::recording
