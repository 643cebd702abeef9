// Encoder of the camera's bulk stream: 36-byte stream headers with their Fletcher-16 checksum,
// the optional payload word sum, and frames packed into packets in every way the camera may
// pack them (one frame per packet, a frame over several packets, several frames per packet).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarvo::vcam {

inline constexpr size_t kStreamHeaderSize = 36;
inline constexpr uint8_t kFlagFrameStart = 0x01;  // flags bit 0: the payload begins a frame
inline constexpr uint8_t kOptionDataSum = 0x01;   // options bit 0: data_sum is present
inline constexpr uint32_t kMaxPacketPayload = 0xFFFFF;
inline constexpr uint32_t kMaxFrameLen = 0x7FFFFFF;
inline constexpr uint16_t kMaxFrameFormat = 0x3FF;

// Every field of a stream header but the sync word and the header checksum, which the encoder
// adds. Byte offsets in the comments.
struct StreamHeaderFields {
    uint16_t sidx = 0;      // 2: packet index, +1 per packet modulo 65536
    uint32_t len = 0;       // 4: payload bytes of this packet
    uint32_t frlen = 0;     // 8: frame length
    uint16_t fridx = 0;     // 12: index of the first frame whose bytes the packet carries
    uint16_t frfmt = 0;     // 14: frame format
    uint16_t width = 0;     // 16
    uint16_t height = 0;    // 18
    int16_t temp_chip = 0;  // 20
    int16_t temp_ib = 0;    // 22
    uint32_t extra = 0;     // 24
    uint32_t data_sum = 0;  // 28: payload word sum, with kOptionDataSum
    uint8_t flags = 0;      // 32
    uint8_t options = 0;    // 33
};

// Fletcher-16, modulus 255: s2 in the high byte, s1 in the low byte.
uint16_t fletcher16(std::span<const uint8_t> bytes);

// Wrapping sum of the payload's whole little-endian 32-bit words; the trailing len % 4 bytes
// are not part of it.
uint32_t payload_sum(std::span<const uint8_t> payload);

// The 36 header bytes for `h`, exactly as given, with sync 0xFB 0x98 and the header checksum.
std::array<uint8_t, kStreamHeaderSize> encode_header(const StreamHeaderFields &h);

// Appends header and payload to `out`. len is set to the payload size and, when
// h.options has kOptionDataSum, data_sum to the payload's sum; the rest is taken as given.
void append_packet(StreamHeaderFields h, std::span<const uint8_t> payload,
                   std::vector<uint8_t> &out);

// Header fields that describe the frames rather than the packets.
struct FrameMeta {
    uint16_t frfmt = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    int16_t temp_chip = 0;
    int16_t temp_ib = 0;
    uint32_t extra = 0;
};

struct StreamWriterConfig {
    // Most payload bytes per packet when a frame is cut into pieces; 0 sends a frame in one
    // packet. Either way no packet exceeds kMaxPacketPayload.
    uint32_t max_packet_payload = 0;
    bool data_sum = false;         // add the payload word sum to every packet
    bool mark_frame_start = true;  // set the frame-start flag on packets that begin frames
    uint16_t first_sidx = 0;
    uint16_t first_fridx = 0;
    FrameMeta meta;
};

// Keeps the packet and frame indices of one stream, wrapping at 65536.
class StreamWriter {
  public:
    explicit StreamWriter(const StreamWriterConfig &config = {});

    // Appends the packets carrying one frame; returns the frame's index.
    uint16_t write_frame(std::span<const uint8_t> frame, std::vector<uint8_t> &out);

    // Appends one packet carrying `frames` (frames.size() / frlen whole frames of frlen bytes,
    // laid end to end); returns the index of the first. The next frame index advances by the
    // number of whole frames (by 1 when the packet holds less than one frame).
    uint16_t write_frames(std::span<const uint8_t> frames, uint32_t frlen,
                          std::vector<uint8_t> &out);

    uint16_t next_sidx() const { return sidx_; }
    uint16_t next_fridx() const { return fridx_; }
    void set_next_sidx(uint16_t sidx) { sidx_ = sidx; }
    void set_next_fridx(uint16_t fridx) { fridx_ = fridx; }
    StreamWriterConfig &config() { return config_; }

  private:
    StreamHeaderFields fields_for(uint32_t frlen, bool frame_start) const;

    StreamWriterConfig config_;
    uint16_t sidx_;
    uint16_t fridx_;
};

// Deterministic pseudo-random bytes: frame contents that differ from frame to frame.
std::vector<uint8_t> pattern_bytes(uint32_t seed, size_t size);

}  // namespace tarvo::vcam
