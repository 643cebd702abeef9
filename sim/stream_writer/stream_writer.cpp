#include "stream_writer.h"

#include <algorithm>

#include "byte_order.h"

namespace tarvo::vcam {

uint16_t fletcher16(std::span<const uint8_t> bytes) {
    unsigned s1 = 0;
    unsigned s2 = 0;
    for (uint8_t b : bytes) {
        s1 = (s1 + b) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s2 * 256 + s1);
}

uint32_t payload_sum(std::span<const uint8_t> payload) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= payload.size(); i += 4)
        sum += get_le32(&payload[i]);
    return sum;
}

std::array<uint8_t, kStreamHeaderSize> encode_header(const StreamHeaderFields &h) {
    std::array<uint8_t, kStreamHeaderSize> raw{};
    raw[0] = 0xFB;
    raw[1] = 0x98;
    put_le16(&raw[2], h.sidx);
    put_le32(&raw[4], h.len);
    put_le32(&raw[8], h.frlen);
    put_le16(&raw[12], h.fridx);
    put_le16(&raw[14], h.frfmt);
    put_le16(&raw[16], h.width);
    put_le16(&raw[18], h.height);
    put_le16(&raw[20], static_cast<uint16_t>(h.temp_chip));
    put_le16(&raw[22], static_cast<uint16_t>(h.temp_ib));
    put_le32(&raw[24], h.extra);
    put_le32(&raw[28], h.data_sum);
    raw[32] = h.flags;
    raw[33] = h.options;
    put_le16(&raw[34], fletcher16(std::span(raw).first(34)));
    return raw;
}

void append_packet(StreamHeaderFields h, std::span<const uint8_t> payload,
                   std::vector<uint8_t> &out) {
    h.len = static_cast<uint32_t>(payload.size());
    if (h.options & kOptionDataSum)
        h.data_sum = payload_sum(payload);
    const auto raw = encode_header(h);
    out.insert(out.end(), raw.begin(), raw.end());
    out.insert(out.end(), payload.begin(), payload.end());
}

StreamWriter::StreamWriter(const StreamWriterConfig &config)
    : config_(config), sidx_(config.first_sidx), fridx_(config.first_fridx) {}

StreamHeaderFields StreamWriter::fields_for(uint32_t frlen, bool frame_start) const {
    StreamHeaderFields h;
    h.sidx = sidx_;
    h.frlen = frlen;
    h.fridx = fridx_;
    h.frfmt = config_.meta.frfmt;
    h.width = config_.meta.width;
    h.height = config_.meta.height;
    h.temp_chip = config_.meta.temp_chip;
    h.temp_ib = config_.meta.temp_ib;
    h.extra = config_.meta.extra;
    h.flags = (frame_start && config_.mark_frame_start) ? kFlagFrameStart : 0;
    h.options = config_.data_sum ? kOptionDataSum : 0;
    return h;
}

uint16_t StreamWriter::write_frame(std::span<const uint8_t> frame, std::vector<uint8_t> &out) {
    const uint16_t index = fridx_;
    const uint32_t frlen = static_cast<uint32_t>(frame.size());
    uint32_t piece =
        config_.max_packet_payload == 0 ? kMaxPacketPayload : config_.max_packet_payload;
    piece = std::min(piece, kMaxPacketPayload);
    size_t offset = 0;
    do {
        const size_t n = std::min<size_t>(piece, frame.size() - offset);
        append_packet(fields_for(frlen, offset == 0), frame.subspan(offset, n), out);
        ++sidx_;
        offset += n;
    } while (offset < frame.size());
    ++fridx_;
    return index;
}

uint16_t StreamWriter::write_frames(std::span<const uint8_t> frames, uint32_t frlen,
                                    std::vector<uint8_t> &out) {
    const uint16_t index = fridx_;
    append_packet(fields_for(frlen, true), frames, out);
    ++sidx_;
    const size_t whole = frlen == 0 ? 0 : frames.size() / frlen;
    fridx_ = static_cast<uint16_t>(fridx_ + (frames.size() > frlen ? whole : 1));
    return index;
}

std::vector<uint8_t> pattern_bytes(uint32_t seed, size_t size) {
    std::vector<uint8_t> bytes(size);
    uint64_t x = 0x9E3779B97F4A7C15ull ^ (uint64_t{seed} * 0xD1B54A32D192ED03ull);
    if (x == 0)
        x = 1;  // xorshift stays at 0
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

}  // namespace tarvo::vcam
