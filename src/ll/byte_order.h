// Every multi-byte field the camera sends or takes, on endpoint 0 and in the stream, is
// little-endian. The host's own byte order never enters: these work byte by byte, on any
// alignment.
#pragma once

#include <cstdint>

namespace tarvo::bytes {

inline uint16_t get_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t get_le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace tarvo::bytes
