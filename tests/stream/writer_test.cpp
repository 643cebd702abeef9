// The stream writer on its own: the parser tests trust its checksums and packings.
#include <gtest/gtest.h>

#include <string_view>

#include "stream_writer.h"

namespace {

using namespace tarvo::vcam;

std::span<const uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}
uint16_t le16(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

TEST(StreamWriterChecksums, Fletcher16KnownValues) {
    EXPECT_EQ(fletcher16(bytes_of("abcde")), 0xC8F0);
    EXPECT_EQ(fletcher16(bytes_of("abcdef")), 0x2057);
    EXPECT_EQ(fletcher16(bytes_of("abcdefgh")), 0x0627);
    EXPECT_EQ(fletcher16({}), 0x0000);
}

TEST(StreamWriterChecksums, PayloadSumOfWholeWords) {
    const std::vector<uint8_t> p = {
        0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
        0xFF, 0x02, 0x00, 0x00, 0x80, 0x77, 0x66};  // trailing two bytes not summed
    EXPECT_EQ(payload_sum(p), 0x80000002u);
}

TEST(StreamWriterHeader, FieldsAtTheirOffsets) {
    StreamHeaderFields h;
    h.sidx = 0x1234;
    h.len = 0x000ABCDE;
    h.frlen = 0x07654321;
    h.fridx = 0xFEDC;
    h.frfmt = 0x3FF;
    h.width = 320;
    h.height = 240;
    h.temp_chip = -2;
    h.temp_ib = 300;
    h.extra = 0xCAFEBABE;
    h.data_sum = 0x01020304;
    h.flags = 0x81;
    h.options = 0x41;
    const auto a = encode_header(h);
    const std::vector<uint8_t> raw(a.begin(), a.end());
    EXPECT_EQ(raw[0], 0xFB);
    EXPECT_EQ(raw[1], 0x98);
    EXPECT_EQ(le16(raw, 2), 0x1234);
    EXPECT_EQ(le32(raw, 4), 0x000ABCDEu);
    EXPECT_EQ(le32(raw, 8), 0x07654321u);
    EXPECT_EQ(le16(raw, 12), 0xFEDC);
    EXPECT_EQ(le16(raw, 14), 0x3FF);
    EXPECT_EQ(le16(raw, 16), 320);
    EXPECT_EQ(le16(raw, 18), 240);
    EXPECT_EQ(le16(raw, 20), 0xFFFE);
    EXPECT_EQ(le16(raw, 22), 300);
    EXPECT_EQ(le32(raw, 24), 0xCAFEBABEu);
    EXPECT_EQ(le32(raw, 28), 0x01020304u);
    EXPECT_EQ(raw[32], 0x81);
    EXPECT_EQ(raw[33], 0x41);
    EXPECT_EQ(le16(raw, 34), fletcher16(std::span(a).first(34)));
}

struct PacketView {
    uint16_t sidx;
    uint32_t len;
    uint32_t frlen;
    uint16_t fridx;
    uint8_t flags;
    uint32_t sum;
};

std::vector<PacketView> packets_of(const std::vector<uint8_t> &s) {
    std::vector<PacketView> out;
    for (size_t at = 0; at < s.size();) {
        PacketView v{le16(s, at + 2),  le32(s, at + 4), le32(s, at + 8),
                     le16(s, at + 12), s[at + 32],      le32(s, at + 28)};
        out.push_back(v);
        at += kStreamHeaderSize + v.len;
    }
    return out;
}

TEST(StreamWriterPacking, FrameSplitIntoPackets) {
    StreamWriterConfig cfg;
    cfg.max_packet_payload = 400;
    cfg.data_sum = true;
    cfg.first_sidx = 65534;
    cfg.first_fridx = 65535;
    StreamWriter w(cfg);
    std::vector<uint8_t> s;
    const auto f0 = pattern_bytes(1, 1000);
    EXPECT_EQ(w.write_frame(f0, s), 65535);
    EXPECT_EQ(w.write_frame(pattern_bytes(2, 400), s), 0);
    const auto p = packets_of(s);
    ASSERT_EQ(p.size(), 4u);
    const uint16_t sidx[] = {65534, 65535, 0, 1};
    const uint32_t len[] = {400, 400, 200, 400};
    const uint16_t fridx[] = {65535, 65535, 65535, 0};
    const uint8_t flags[] = {kFlagFrameStart, 0, 0, kFlagFrameStart};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(p[i].sidx, sidx[i]);
        EXPECT_EQ(p[i].len, len[i]);
        EXPECT_EQ(p[i].fridx, fridx[i]);
        EXPECT_EQ(p[i].flags, flags[i]);
    }
    EXPECT_EQ(p[0].frlen, 1000u);
    EXPECT_EQ(p[0].sum, payload_sum(std::span(f0).first(400)));
    EXPECT_EQ(w.next_sidx(), 2);
    EXPECT_EQ(w.next_fridx(), 1);
}

TEST(StreamWriterPacking, SeveralFramesInOnePacket) {
    StreamWriter w;
    std::vector<uint8_t> s;
    EXPECT_EQ(w.write_frames(pattern_bytes(3, 300), 100, s), 0);
    EXPECT_EQ(w.next_fridx(), 3);
    EXPECT_EQ(w.write_frames(pattern_bytes(4, 50), 100, s), 3);  // less than a frame: step 1
    EXPECT_EQ(w.next_fridx(), 4);
    const auto p = packets_of(s);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].len, 300u);
    EXPECT_EQ(p[0].frlen, 100u);
    EXPECT_EQ(p[0].flags, kFlagFrameStart);
    EXPECT_EQ(p[1].sidx, 1);
}

TEST(StreamWriterPacking, LargeFramesRespectThePayloadLimit) {
    StreamWriter w;
    std::vector<uint8_t> s;
    w.write_frame(std::vector<uint8_t>(kMaxPacketPayload + 10, 0), s);
    const auto p = packets_of(s);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].len, kMaxPacketPayload);
    EXPECT_EQ(p[1].len, 10u);
}

}  // namespace
