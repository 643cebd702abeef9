#include "stream/stream_header.h"

#include <bit>
#include <cstring>

namespace tarvo::stream {

// The word sum loads payload words natively; the camera sends them little-endian.
static_assert(std::endian::native == std::endian::little);

uint16_t fletcher16(const uint8_t *data, size_t len) {
    uint32_t s1 = 0;
    uint32_t s2 = 0;
    for (size_t i = 0; i < len; ++i) {
        s1 = (s1 + data[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>((s2 << 8) | s1);
}

zr_stream_frame_info_t StreamHeader::frame_info(uint16_t frames_before) const {
    zr_stream_frame_info_t info{};
    info.frlen = frlen;
    info.fridx = static_cast<uint16_t>(fridx + frames_before);
    info.frfmt = frfmt;
    info.width = width;
    info.height = height;
    info.temp_chip = temp_chip;
    info.temp_ib = temp_ib;
    info.extra = extra;
    return info;
}

StreamHeader decode_header(const uint8_t *raw) {
    StreamHeader h{};
    h.sidx = get_le16(raw + 2);
    h.len = get_le32(raw + 4);
    h.frlen = get_le32(raw + 8);
    h.fridx = get_le16(raw + 12);
    h.frfmt = get_le16(raw + 14);
    h.width = get_le16(raw + 16);
    h.height = get_le16(raw + 18);
    h.temp_chip = static_cast<int16_t>(get_le16(raw + 20));
    h.temp_ib = static_cast<int16_t>(get_le16(raw + 22));
    h.extra = get_le32(raw + 24);
    h.data_sum = get_le32(raw + 28);
    h.flags = raw[32];
    h.options = raw[33];
    h.hdr_sum = get_le16(raw + 34);
    return h;
}

bool header_valid(const uint8_t *raw) {
    if (raw[0] != kSync0 || raw[1] != kSync1)
        return false;
    if (fletcher16(raw, 34) != get_le16(raw + 34))
        return false;
    const uint32_t len = get_le32(raw + 4);
    const uint32_t frlen = get_le32(raw + 8);
    const uint16_t frfmt = get_le16(raw + 14);
    if (len > kMaxPayloadLen || frlen > kMaxFrameLen || frfmt > kMaxFrameFormat)
        return false;
    return !(frlen == 0 && len != 0);
}

void PayloadSum::add(const uint8_t *data, size_t len) {
    if (carry_len_ != 0) {
        while (carry_len_ < 4 && len != 0) {
            carry_[carry_len_++] = *data++;
            --len;
        }
        if (carry_len_ < 4)
            return;
        sum_ += get_le32(carry_);
        carry_len_ = 0;
    }
    // Blocks of a fixed number of words, in independent lanes, so that the compiler can keep
    // the sum in vector registers; payload sums then cost about as much as the copy.
    constexpr size_t kLanes = 16;
    uint32_t lanes[kLanes] = {};
    while (len >= sizeof lanes) {
        uint32_t block[kLanes];
        std::memcpy(block, data, sizeof block);
        for (size_t k = 0; k < kLanes; ++k)
            lanes[k] += block[k];
        data += sizeof block;
        len -= sizeof block;
    }
    uint32_t sum = sum_;
    for (uint32_t lane : lanes)
        sum += lane;
    for (; len >= 4; data += 4, len -= 4) {
        uint32_t w;
        std::memcpy(&w, data, 4);
        sum += w;
    }
    sum_ = sum;
    std::memcpy(carry_, data, len);
    carry_len_ = static_cast<uint8_t>(len);
}

}  // namespace tarvo::stream
