// Wire format of the camera's stream packets: the 36-byte stream header, its Fletcher-16
// checksum and the optional 32-bit word sum over the payload.
#pragma once

#include <tarvo/stream.h>

#include <cstddef>
#include <cstdint>

#include "ll/byte_order.h"

namespace tarvo::stream {

inline constexpr size_t kHeaderSize = 36;
inline constexpr uint8_t kSync0 = 0xFB;
inline constexpr uint8_t kSync1 = 0x98;
inline constexpr uint32_t kMaxPayloadLen = 0xFFFFF;
inline constexpr uint32_t kMaxFrameLen = 0x7FFFFFF;
inline constexpr uint16_t kMaxFrameFormat = 0x3FF;

using bytes::get_le16;
using bytes::get_le32;

// Fletcher-16 with modulus 255, as the camera computes it over header bytes 0 to 33:
// s2 in the high byte, s1 in the low byte.
uint16_t fletcher16(const uint8_t *data, size_t len);

struct StreamHeader {
    uint16_t sidx;   // stream packet index
    uint32_t len;    // payload length of this packet
    uint32_t frlen;  // frame length
    uint16_t fridx;  // index of the first frame whose bytes this packet carries
    uint16_t frfmt;  // frame format
    uint16_t width;  // bytes 16..27 are passed through to the sensor driver
    uint16_t height;
    int16_t temp_chip;
    int16_t temp_ib;
    uint32_t extra;
    uint32_t data_sum;  // payload word sum; meaningful only with the checksum option
    uint8_t flags;
    uint8_t options;
    uint16_t hdr_sum;

    bool frame_start() const { return (flags & 0x01) != 0; }
    bool has_data_sum() const { return (options & 0x01) != 0; }

    // Frame-index step to the next packet: a packet longer than a frame carries len / frlen
    // whole frames, any other packet carries (a piece of) one.
    uint16_t frame_step() const {
        return len > frlen ? static_cast<uint16_t>(len / frlen) : uint16_t{1};
    }

    // Description of a frame that begins under this header after `frames_before` frames of
    // the same packet.
    zr_stream_frame_info_t frame_info(uint16_t frames_before) const;
};

// Decodes 36 raw bytes; does not check them.
StreamHeader decode_header(const uint8_t *raw);

// True when the 36 raw bytes form a header the parser may follow: sync, header checksum and
// the bounds of len, frlen and frfmt. A header announcing payload with a frame length of 0 is
// refused too: its payload could never be cut into frames.
bool header_valid(const uint8_t *raw);

// 32-bit wrapping sum of the payload read as little-endian words. Bytes arrive in chunks cut
// anywhere, so up to three bytes of a word are carried to the next chunk; the trailing
// len % 4 bytes of a payload are not part of the sum.
class PayloadSum {
  public:
    void reset() {
        sum_ = 0;
        carry_len_ = 0;
    }
    void add(const uint8_t *data, size_t len);
    uint32_t value() const { return sum_; }

  private:
    uint32_t sum_ = 0;
    uint8_t carry_[4] = {};
    uint8_t carry_len_ = 0;
};

}  // namespace tarvo::stream
