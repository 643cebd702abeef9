// The frame stream parser through its exported interface, against streams built by the
// independent stream writer.
#include <tarvo/stream.h>

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <ostream>
#include <string>
#include <thread>

#include "stream/stream_test_util.h"
#include "stream_writer.h"
#include "support/log_capture.h"

namespace {

using tarvo::test::Bytes;
using tarvo::test::concat;
using tarvo::test::Delivered;
using tarvo::test::indices_of;
using tarvo::test::LogCapture;
using tarvo::test::Parser;
using tarvo::vcam::append_packet;
using tarvo::vcam::encode_header;
using tarvo::vcam::kFlagFrameStart;
using tarvo::vcam::kOptionDataSum;
using tarvo::vcam::pattern_bytes;
using tarvo::vcam::StreamHeaderFields;
using tarvo::vcam::StreamWriter;
using tarvo::vcam::StreamWriterConfig;

// Content of frame `fridx` of `len` bytes: different for every frame of a test.
Bytes frame_bytes(uint16_t fridx, size_t len) {
    return pattern_bytes(fridx * 7919u + static_cast<uint32_t>(len), len);
}

enum : uint8_t { kCont = 0, kStart = kFlagFrameStart };

// One packet: header fields as given, len (and with `sum` the payload sum) from the payload.
Bytes packet(uint16_t sidx, uint16_t fridx, uint32_t frlen, std::span<const uint8_t> payload,
             uint8_t flags, bool sum = false) {
    StreamHeaderFields h;
    h.sidx = sidx;
    h.fridx = fridx;
    h.frlen = frlen;
    h.flags = flags;
    h.options = sum ? kOptionDataSum : 0;
    Bytes out;
    append_packet(h, payload, out);
    return out;
}

// The same packet with a wrong payload sum (header checksum still right).
Bytes packet_bad_sum(uint16_t sidx, uint16_t fridx, uint32_t frlen,
                     std::span<const uint8_t> payload, uint8_t flags) {
    StreamHeaderFields h;
    h.sidx = sidx;
    h.fridx = fridx;
    h.frlen = frlen;
    h.len = static_cast<uint32_t>(payload.size());
    h.flags = flags;
    h.options = kOptionDataSum;
    h.data_sum = tarvo::vcam::payload_sum(payload) + 1;
    const auto raw = encode_header(h);
    return concat({raw, payload});
}

std::span<const uint8_t> half(const Bytes &b, int which) {
    const size_t h = b.size() / 2;
    return which == 0 ? std::span<const uint8_t>(b).first(h)
                      : std::span<const uint8_t>(b).subspan(h);
}

void expect_clean(const LogCapture &log) {
    for (const char *level : {"DBG", "INF", "WRN", "ERR"})
        EXPECT_EQ(log.unexpected(level), std::vector<std::string>{}) << level;
}

// ---- Round trips: every packing, with and without payload sums, in any chunking ----

struct RoundTripCase {
    const char *name;
    uint32_t frame_len;
    int frames;
    uint32_t max_packet_payload;  // 0: a frame per packet
    uint32_t frames_per_packet;   // more than 1: several frames share a packet
    bool data_sum;
    size_t chunk;  // feed size
};

void PrintTo(const RoundTripCase &c, std::ostream *os) {
    *os << c.name;
}

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, EveryFrameArrivesWhole) {
    const RoundTripCase &c = GetParam();
    LogCapture log(1);
    StreamWriterConfig cfg;
    cfg.max_packet_payload = c.max_packet_payload;
    cfg.data_sum = c.data_sum;
    cfg.first_sidx = 65530;  // both indices wrap during the stream
    cfg.first_fridx = 65534;
    cfg.meta = {0x21, 320, 240, -123, 456, 0xA5A5F00Du};
    StreamWriter writer(cfg);

    std::vector<Bytes> frames;
    Bytes stream;
    for (int i = 0; i < c.frames; ++i)
        frames.push_back(frame_bytes(static_cast<uint16_t>(65534 + i), c.frame_len));
    if (c.frames_per_packet > 1) {
        for (int i = 0; i < c.frames; i += static_cast<int>(c.frames_per_packet)) {
            Bytes group;
            for (int j = i; j < i + static_cast<int>(c.frames_per_packet); ++j)
                group.insert(group.end(), frames[j].begin(), frames[j].end());
            writer.write_frames(group, c.frame_len, stream);
        }
    } else {
        for (const Bytes &f : frames)
            writer.write_frame(f, stream);
    }

    Parser p;
    EXPECT_TRUE(p.feed_chunks(stream, c.chunk));
    const std::vector<Delivered> got = p.take_all();
    ASSERT_EQ(got.size(), frames.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].bytes, frames[i]);
        EXPECT_EQ(got[i].info.frlen, c.frame_len);
        EXPECT_EQ(got[i].info.fridx, static_cast<uint16_t>(65534 + i));
        EXPECT_EQ(got[i].info.frfmt, 0x21);
        EXPECT_EQ(got[i].info.width, 320);
        EXPECT_EQ(got[i].info.height, 240);
        EXPECT_EQ(got[i].info.temp_chip, -123);
        EXPECT_EQ(got[i].info.temp_ib, 456);
        EXPECT_EQ(got[i].info.extra, 0xA5A5F00Du);
    }
    const zr_stream_state_t st = p.state();
    EXPECT_EQ(st.frames_done, frames.size());
    EXPECT_EQ(st.frames_queued, frames.size());
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(st.frames_dropped, 0u);
    EXPECT_EQ(st.frames_ready, 0u);
    EXPECT_EQ(st.bytes_discarded, 0u);
    expect_clean(log);
}

const RoundTripCase kRoundTrips[] = {
    {"camera_frame_per_packet_in_transfers", 614400, 3, 0, 1, false, 153600},
    {"camera_frame_per_packet_summed", 614400, 3, 0, 1, true, 153600},
    {"camera_frame_in_four_packets_summed", 614400, 2, 153600, 1, true, 16384},
    {"whole_stream_in_one_feed", 5000, 6, 1024, 1, true, 1 << 20},
    {"uneven_pieces_small_feeds", 1000, 5, 300, 1, true, 7},
    {"byte_by_byte", 200, 4, 64, 1, true, 1},
    {"three_frames_per_packet", 96, 9, 0, 3, true, 13},
    {"three_frames_per_packet_byte_by_byte", 96, 6, 0, 3, true, 1},
    {"lengths_not_multiple_of_four", 1001, 4, 333, 1, true, 5},
    {"odd_frames_per_packet_odd_feeds", 7, 10, 0, 5, true, 3},
    {"no_payload_sums", 1000, 5, 300, 1, false, 11},
};

INSTANTIATE_TEST_SUITE_P(Packings, RoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// A camera that never flags frame starts still frames correctly: a new frame index on a
// continuation packet begins a new frame.
TEST(StreamFraming, FramesWithoutFrameStartFlags) {
    StreamWriterConfig cfg;
    cfg.max_packet_payload = 60;
    cfg.mark_frame_start = false;
    StreamWriter writer(cfg);
    Bytes stream;
    std::vector<Bytes> frames;
    for (uint16_t i = 0; i < 3; ++i) {
        frames.push_back(frame_bytes(i, 100));
        writer.write_frame(frames.back(), stream);
    }
    Parser p;
    p.feed_chunks(stream, 50);
    const auto got = p.take_all();
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(got[i].bytes, frames[i]);
    EXPECT_EQ(p.state().frames_discarded, 0u);
}

// ---- Headers cut between feeds ----

TEST(StreamHeaderSplit, HeaderCompletedByTheNextFeed) {
    StreamWriter writer;
    Bytes stream;
    const Bytes f0 = frame_bytes(0, 100), f1 = frame_bytes(1, 100);
    writer.write_frame(f0, stream);
    writer.write_frame(f1, stream);
    // The first header (found by searching) and the second (expected after a packet).
    for (size_t header_at : {size_t{0}, size_t{36 + 100}}) {
        for (size_t cut = 1; cut < 36; ++cut) {
            SCOPED_TRACE(testing::Message() << "header at " << header_at << ", cut " << cut);
            Parser p;
            const std::span<const uint8_t> all(stream);
            p.feed(all.first(header_at + cut));  // cut 1 leaves a lone 0xFB at the end
            p.feed(all.subspan(header_at + cut));
            const auto got = p.take_all();
            ASSERT_EQ(got.size(), 2u);
            EXPECT_EQ(got[0].bytes, f0);
            EXPECT_EQ(got[1].bytes, f1);
            EXPECT_EQ(p.state().frames_discarded, 0u);
            EXPECT_EQ(p.state().bytes_discarded, 0u);
        }
    }
}

TEST(StreamHeaderSplit, LoneSyncByteAfterJunk) {
    StreamWriter writer;
    Bytes stream;
    const Bytes f0 = frame_bytes(0, 64);
    writer.write_frame(f0, stream);
    Bytes first(50, 0x11);
    first.push_back(stream[0]);  // 0xFB
    Parser p;
    p.feed(first);
    p.feed(std::span<const uint8_t>(stream).subspan(1));
    const auto got = p.take_all();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, f0);
    EXPECT_EQ(p.state().bytes_discarded, 50u);
}

// A lone 0xFB followed by anything but 0x98 is no header: the next feed is searched whole.
TEST(StreamHeaderSplit, LoneSyncByteNotFollowedBySecondSyncByte) {
    StreamWriter writer;
    Bytes stream;
    const Bytes f0 = frame_bytes(0, 64);
    writer.write_frame(f0, stream);
    Parser p;
    p.feed(Bytes{0x00, 0xFB});
    p.feed(concat({Bytes{0xFB}, stream}));  // 0xFB 0xFB 0x98 ...: the header starts one later
    const auto got = p.take_all();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, f0);
}

// ---- Sync pairs that are not headers ----

// Payload is followed by its length, never searched: even a complete valid header inside a
// frame's bytes is data.
TEST(StreamFalseSync, PayloadIsNeverSearchedWhileInStep) {
    StreamHeaderFields fake;
    fake.sidx = 9;
    fake.len = 10;
    fake.frlen = 10;
    fake.flags = kFlagFrameStart;
    const auto fake_raw = encode_header(fake);
    Bytes frame;
    for (int i = 0; i < 5; ++i) {
        frame.insert(frame.end(), fake_raw.begin(), fake_raw.end());
        frame.insert(frame.end(), {0xFB, 0x98, 0x00, 0xFB, 0x98});
    }
    StreamWriterConfig cfg;
    cfg.max_packet_payload = 64;
    StreamWriter writer(cfg);
    Bytes stream;
    writer.write_frame(frame, stream);
    writer.write_frame(frame, stream);
    for (size_t chunk : {1, 5, 36, 37, 1000}) {
        SCOPED_TRACE(chunk);
        Parser p;
        p.feed_chunks(stream, chunk);
        const auto got = p.take_all();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].bytes, frame);
        EXPECT_EQ(got[1].bytes, frame);
    }
}

// While skipping, payload is searched; sync pairs whose 34 following bytes are no header must
// not hide the real header that follows, wherever the feeds are cut.
TEST(StreamFalseSync, SkippedPayloadWithSyncPairsAnywhereInTheFeeds) {
    const Bytes f0 = frame_bytes(0, 200), f1 = frame_bytes(1, 120);
    Bytes junk_payload = pattern_bytes(99, 150);
    for (size_t at : {0, 40, 100, 120, 130, 140, 146, 148})
        junk_payload[at] = 0xFB, junk_payload[at + 1] = 0x98;
    junk_payload[149] = 0xFB;
    const Bytes stream = concat({
        packet(0, 0, 200, half(f0, 0), kStart),
        packet(2, 0, 200, half(f0, 1), kCont),   // packet 1 lost: skipping from here
        packet(3, 0, 200, junk_payload, kCont),  // searched through while skipping
        packet(4, 1, 120, f1, kStart),           // the frame to find
    });
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        Parser p;
        p.feed(std::span<const uint8_t>(stream).first(cut));
        p.feed(std::span<const uint8_t>(stream).subspan(cut));
        const auto got = p.take_all();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].bytes, f1);
        EXPECT_EQ(p.state().frames_discarded, 1u);
    }
}

// ---- Header checks ----

struct HeaderCase {
    const char *name;
    void (*change)(StreamHeaderFields &h, std::array<uint8_t, 36> &raw);
    bool accepted;
};

void reencode(StreamHeaderFields &h, std::array<uint8_t, 36> &raw) {
    raw = encode_header(h);
}

const HeaderCase kHeaderCases[] = {
    {"valid", [](StreamHeaderFields &, std::array<uint8_t, 36> &) {}, true},
    {"first_sync_byte", [](StreamHeaderFields &, std::array<uint8_t, 36> &r) { r[0] = 0xFA; },
     false},
    {"second_sync_byte", [](StreamHeaderFields &, std::array<uint8_t, 36> &r) { r[1] = 0x99; },
     false},
    {"checksum_low", [](StreamHeaderFields &, std::array<uint8_t, 36> &r) { r[34] ^= 1; }, false},
    {"checksum_high", [](StreamHeaderFields &, std::array<uint8_t, 36> &r) { r[35] ^= 0x80; },
     false},
    {"byte_changed_after_checksum",
     [](StreamHeaderFields &, std::array<uint8_t, 36> &r) { r[16] ^= 0x04; }, false},
    {"len_largest",
     [](StreamHeaderFields &h, std::array<uint8_t, 36> &r) {
         h.len = 0xFFFFF;
         reencode(h, r);
     },
     true},
    {"len_too_large",
     [](StreamHeaderFields &h, std::array<uint8_t, 36> &r) {
         h.len = 0x100000;
         reencode(h, r);
     },
     false},
    {"frlen_largest",
     [](StreamHeaderFields &h, std::array<uint8_t, 36> &r) {
         h.frlen = 0x7FFFFFF;
         reencode(h, r);
     },
     true},
    {"frlen_too_large",
     [](StreamHeaderFields &h, std::array<uint8_t, 36> &r) {
         h.frlen = 0x8000000;
         reencode(h, r);
     },
     false},
    {"frfmt_largest",
     [](StreamHeaderFields &h, std::array<uint8_t, 36> &r) {
         h.frfmt = 1023;
         reencode(h, r);
     },
     true},
    {"frfmt_too_large",
     [](StreamHeaderFields &h, std::array<uint8_t, 36> &r) {
         h.frfmt = 1024;
         reencode(h, r);
     },
     false},
    // Payload with a frame length of 0 could never be cut into frames.
    {"payload_without_frame_length",
     [](StreamHeaderFields &h, std::array<uint8_t, 36> &r) {
         h.frlen = 0;
         reencode(h, r);
     },
     false},
    {"empty_packet_without_frame_length",
     [](StreamHeaderFields &h, std::array<uint8_t, 36> &r) {
         h.frlen = 0;
         h.len = 0;
         reencode(h, r);
     },
     true},
};

void PrintTo(const HeaderCase &c, std::ostream *os) {
    *os << c.name;
}

class HeaderCheck : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderCheck, AcceptsOnlyValidHeaders) {
    const HeaderCase &c = GetParam();
    StreamHeaderFields h;
    h.sidx = 3;
    h.len = 100;
    h.frlen = 100;
    h.fridx = 8;
    h.flags = kFlagFrameStart;
    std::array<uint8_t, 36> raw = encode_header(h);
    c.change(h, raw);
    LogCapture log(0);
    Parser p;
    p.feed(raw);  // the header alone, in a block of exactly 36 bytes
    EXPECT_EQ(log.count("HDR found"), c.accepted ? 1u : 0u);
    EXPECT_EQ(log.count("[_sync_stream_hdr] discard frame: stream hdr verify failed", "DBG"),
              c.accepted ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Rules, HeaderCheck, ::testing::ValuesIn(kHeaderCases),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(StreamHeaderLog, FoundHeaderIsTraced) {
    LogCapture log(0);
    Parser p;
    const Bytes f = frame_bytes(5, 40);
    const Bytes pk = packet(17, 5, 40, f, kStart);
    p.feed(concat({Bytes(3, 0), pk}));
    EXPECT_TRUE(log.contains(
        "[_sync_stream_hdr] HDR found: idx/len=17/40 (frlen:40,fridx=5,frfmt=0)", "TRC"));
    EXPECT_TRUE(log.contains("[_sync_stream_hdr] sync hdr: skip 3 bytes", "TRC"));
    EXPECT_TRUE(log.contains("[zr_stream_feed_input] 79 raw bytes", "TRC"));
    EXPECT_TRUE(log.contains("[zr_stream_feed_input] Add 40 bytes to frlist", "TRC"));
    EXPECT_EQ(p.state().bytes_discarded, 3u);
}

// ---- Several frames per packet ----

TEST(StreamFramesPerPacket, IndicesStepByTheFramesInAPacket) {
    LogCapture log(1);
    const uint32_t frlen = 40;
    auto group = [&](uint16_t first) {
        Bytes g;
        for (uint16_t i = first; i < first + 3; ++i) {
            const Bytes f = frame_bytes(i, frlen);
            g.insert(g.end(), f.begin(), f.end());
        }
        return g;
    };
    Parser p;
    p.feed(packet(0, 7, frlen, group(7), kStart));  // len = 3 x frlen: frames 7, 8, 9
    p.feed(packet(1, 10, frlen, group(10), kStart));
    EXPECT_EQ(log.count("missing frame"), 0u);
    p.feed(packet(2, 14, frlen, group(14), kStart));  // 13 is missing
    EXPECT_TRUE(log.contains(
        "[_sync_stream_hdr] missing frame: jumpping frame idx (prev=13, cur=14)", "DBG"));
    const auto got = p.take_all();
    EXPECT_EQ(indices_of(got), (std::vector<int>{7, 8, 9, 10, 11, 12, 14, 15, 16}));
    for (const Delivered &d : got)
        EXPECT_EQ(d.bytes, frame_bytes(d.info.fridx, frlen));
    EXPECT_EQ(p.state().frames_discarded, 0u);
}

// ---- Continuity, checksums and skipping ----

struct ContinuityCase {
    const char *name;
    std::vector<Bytes> (*feeds)();  // fed one by one
    std::vector<int> delivered;     // frame indices
    uint32_t discarded;
    const char *log_line;  // a DBG line the case must produce
};

const Bytes kF0 = frame_bytes(0, 200);
const Bytes kF1 = frame_bytes(1, 200);
const Bytes kF2 = frame_bytes(2, 200);

const ContinuityCase kContinuity[] = {
    {"stream_index_gap_skips_to_next_frame_start",
     [] {
         return std::vector<Bytes>{concat({
             packet(3, 0, 200, half(kF0, 0), kStart),
             packet(5, 0, 200, half(kF0, 1), kCont),  // sidx 4 lost
             packet(6, 0, 200, half(kF0, 1), kCont),  // ignored while skipping
             packet(7, 1, 200, half(kF1, 0), kStart),
             packet(8, 1, 200, half(kF1, 1), kCont),
         })};
     },
     {1},
     1,
     "[_sync_stream_hdr] discard frame: stream hdr idx not correct (prev=3, cur=5)"},
    {"frame_start_before_previous_frame_complete",
     [] {
         return std::vector<Bytes>{concat({
             packet(0, 0, 200, half(kF0, 0), kStart),
             packet(1, 1, 200, half(kF1, 0), kStart),
             packet(2, 1, 200, half(kF1, 1), kCont),
         })};
     },
     {1},
     1,
     "[_sync_stream_hdr] discard frame: frame bound met, prev not complete"},
    {"frame_index_changes_inside_a_frame",
     [] {
         return std::vector<Bytes>{concat({
             packet(0, 0, 200, half(kF0, 0), kStart),
             packet(1, 1, 200, half(kF1, 1), kCont),  // second half of another frame
             packet(2, 2, 200, half(kF2, 0), kStart),
             packet(3, 2, 200, half(kF2, 1), kCont),
         })};
     },
     {2},
     2,
     "[_sync_stream_hdr] discard frame: frame idx not consist (prev=0, cur=1)"},
    {"no_header_in_a_feed_where_one_was_due",
     [] {
         return std::vector<Bytes>{
             packet(0, 0, 200, half(kF0, 0), kStart), Bytes(50, 0x55),
             concat({packet(1, 0, 200, half(kF0, 1), kCont), packet(2, 1, 200, kF1, kStart)})};
     },
     {1},
     1,
     "[_sync_stream_hdr] discard frame: stream hdr verify failed"},
    {"bytes_between_packets_in_the_same_feed_are_skipped",
     [] {
         return std::vector<Bytes>{concat({packet(0, 0, 200, half(kF0, 0), kStart), Bytes(50, 0x55),
                                           packet(1, 0, 200, half(kF0, 1), kCont)})};
     },
     {0},
     0,
     nullptr},
    {"indices_wrap",
     [] {
         return std::vector<Bytes>{concat({
             packet(65535, 65535, 200, half(kF0, 0), kStart),
             packet(0, 65535, 200, half(kF0, 1), kCont),
             packet(1, 0, 200, kF1, kStart),
         })};
     },
     {65535, 0},
     0,
     nullptr},
    {"payload_sum_mismatch_skips_to_next_frame_start",
     [] {
         const Bytes third(kF0.begin(), kF0.begin() + 100);
         return std::vector<Bytes>{concat({
             packet(0, 0, 300, third, kStart, true),
             packet_bad_sum(1, 0, 300, third, kCont),
             packet(2, 0, 300, third, kCont, true),  // sound, but its frame is lost
             packet(3, 1, 200, kF1, kStart, true),
         })};
     },
     {1},
     1,
     "[zr_stream_feed_input] discard frame: verify data checksum failed: sidx=1"},
    {"payload_sum_mismatch_of_a_frame_in_one_packet",
     [] {
         return std::vector<Bytes>{concat({
             packet_bad_sum(0, 0, 200, kF0, kStart),
             packet(1, 1, 200, kF1, kStart, true),
         })};
     },
     {1},
     1,
     "[_discard_cur_frame] discard frame: idx = 0"},
    {"payload_sum_mismatch_in_a_packet_of_several_frames",
     [] {
         const Bytes three = concat({kF0, kF1, kF2});
         return std::vector<Bytes>{concat({
             packet_bad_sum(0, 0, 200, three, kStart),
             packet(1, 3, 200, three, kStart, true),
         })};
     },
     {3, 4, 5},
     3,
     "verify data checksum failed: sidx=0"},
    // A header cut between feeds that proves false must not make the parser forget the last
    // packet: the next header found is still checked against it.
    {"false_header_cut_between_feeds_keeps_continuity",
     [] {
         Bytes bad = packet(1, 0, 300, half(kF0, 1), kCont);
         bad[34] ^= 0x01;  // header checksum
         const Bytes first = concat(
             {packet(0, 0, 300, half(kF0, 0), kStart), Bytes(bad.begin(), bad.begin() + 10)});
         const Bytes second =
             concat({std::span<const uint8_t>(bad).subspan(10),
                     packet(2, 0, 300, half(kF0, 1), kCont), packet(3, 1, 200, kF1, kStart)});
         return std::vector<Bytes>{first, second};
     },
     {1},
     1,
     "stream hdr idx not correct (prev=0, cur=2)"},
    // Capture started inside a frame: the piece found first never completes a frame.
    {"stream_starting_inside_a_frame",
     [] {
         return std::vector<Bytes>{concat({
             packet(40, 9, 200, half(kF0, 1), kCont),
             packet(41, 1, 200, kF1, kStart),
         })};
     },
     {1},
     1,
     "frame bound met, prev not complete"},
};

void PrintTo(const ContinuityCase &c, std::ostream *os) {
    *os << c.name;
}

class Continuity : public ::testing::TestWithParam<ContinuityCase> {};

TEST_P(Continuity, OnlyVerifiedFramesAreDelivered) {
    const ContinuityCase &c = GetParam();
    LogCapture log(1);
    Parser p;
    for (const Bytes &f : c.feeds())
        p.feed(f);
    const auto got = p.take_all();
    EXPECT_EQ(indices_of(got), c.delivered);
    for (const Delivered &d : got)
        EXPECT_EQ(d.bytes.size(), d.info.frlen);
    EXPECT_EQ(p.state().frames_discarded, c.discarded);
    if (c.log_line != nullptr) {
        EXPECT_TRUE(log.contains(c.log_line, "DBG")) << log.text();
    }
    EXPECT_EQ(log.unexpected("ERR"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, Continuity, ::testing::ValuesIn(kContinuity),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(StreamDiscard, DiscardedFrameIsCountedAndLogged) {
    LogCapture log(1);
    Parser p;
    p.feed(
        concat({packet(3, 6, 200, half(kF0, 0), kStart), packet(5, 6, 200, half(kF0, 1), kCont)}));
    const zr_stream_state_t st = p.state();
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_discarded, 200u);  // the half that had arrived, the skipped packet
    EXPECT_EQ(st.frames_done, 0u);
    EXPECT_TRUE(log.contains("[_discard_cur_frame] discard frame: idx = 6", "DBG"));
}

// ---- The bounded ready list ----

TEST(StreamReadyList, FullListDropsTheOldest) {
    struct Case {
        const char *name;
        bool one_packet;  // all twelve frames in one packet, or a packet each
        const char *log_line;
    };
    for (const Case &c : {Case{"packet_each", false, "frame buffer is full (1/2)"},
                          Case{"one_packet", true, "frame buffer is full (2/2)"}}) {
        SCOPED_TRACE(c.name);
        LogCapture log(1);
        Parser p(10);
        Bytes stream;
        StreamWriter writer;
        Bytes all;
        for (uint16_t i = 0; i < 12; ++i) {
            const Bytes f = frame_bytes(i, 100);
            if (c.one_packet)
                all.insert(all.end(), f.begin(), f.end());
            else
                writer.write_frame(f, stream);
        }
        if (c.one_packet)
            writer.write_frames(all, 100, stream);
        p.feed(stream);
        zr_stream_state_t st = p.state();
        EXPECT_EQ(st.frames_ready, 10u);
        EXPECT_EQ(st.frames_dropped, 2u);
        EXPECT_EQ(st.frames_queued, 12u);
        EXPECT_EQ(st.bytes_discarded, 200u);
        EXPECT_EQ(st.frames_discarded, 0u);
        EXPECT_TRUE(log.contains(c.log_line, "DBG")) << log.text();
        EXPECT_TRUE(log.contains("[_fr_list_refresh] discard frame: idx = 1", "DBG"));
        const auto got = p.take_all();
        EXPECT_EQ(indices_of(got), (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    }
}

TEST(StreamReadyList, SmallerLimitTakesEffectAtTheNextFrame) {
    Parser p(10);
    StreamWriter writer;
    Bytes stream;
    for (uint16_t i = 0; i < 10; ++i)
        writer.write_frame(frame_bytes(i, 50), stream);
    p.feed(stream);
    const zr_stream_cfg_t smaller{4};
    ASSERT_TRUE(zr_stream_set_cfg(p.get(), &smaller));
    zr_stream_cfg_t cfg{};
    ASSERT_TRUE(zr_stream_get_cfg(p.get(), &cfg));
    EXPECT_EQ(cfg.max_frames, 4u);
    EXPECT_EQ(p.state().frames_ready, 10u);
    stream.clear();
    writer.write_frame(frame_bytes(10, 50), stream);
    p.feed(stream);
    EXPECT_EQ(p.state().frames_ready, 4u);
    EXPECT_EQ(p.state().frames_dropped, 7u);
    EXPECT_EQ(indices_of(p.take_all()), (std::vector<int>{7, 8, 9, 10}));
}

// ---- Fetching ----

class StreamFetch : public ::testing::Test {
  protected:
    void SetUp() override {
        StreamWriterConfig cfg;
        cfg.first_fridx = 20;
        StreamWriter writer(cfg);
        Bytes stream;
        for (uint16_t i = 0; i < 3; ++i) {
            frames_.push_back(frame_bytes(static_cast<uint16_t>(20 + i), 100));
            writer.write_frame(frames_.back(), stream);
        }
        ASSERT_TRUE(p_.feed(stream));
    }
    Parser p_;
    std::vector<Bytes> frames_;
};

TEST_F(StreamFetch, ShortBufferTakesTruncatedLastFrame) {
    Bytes buf(250);  // two and a half frames
    zr_stream_frame_info_t info{};
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), buf.data(), 250, 3, &info, false), 3u);
    EXPECT_EQ(info.fridx, 20);
    EXPECT_EQ(info.frlen, 100u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 100), frames_[0]);
    EXPECT_EQ(Bytes(buf.begin() + 100, buf.begin() + 200), frames_[1]);
    EXPECT_EQ(Bytes(buf.begin() + 200, buf.end()),
              Bytes(frames_[2].begin(), frames_[2].begin() + 50));
    EXPECT_EQ(p_.state().frames_ready, 0u);
}

TEST_F(StreamFetch, PeekLeavesFramesReady) {
    Bytes buf(200);
    zr_stream_frame_info_t info{};
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), buf.data(), 200, 2, &info, true), 2u);
    EXPECT_EQ(info.fridx, 20);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 100), frames_[0]);
    EXPECT_EQ(Bytes(buf.begin() + 100, buf.end()), frames_[1]);
    EXPECT_EQ(p_.state().frames_ready, 3u);
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), nullptr, 0, 10, nullptr, true), 3u);
    EXPECT_EQ(p_.state().frames_ready, 3u);
    EXPECT_EQ(indices_of(p_.take_all()), (std::vector<int>{20, 21, 22}));
}

TEST_F(StreamFetch, TakeWithoutBufferThrowsFramesAway) {
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), nullptr, 0, 2, nullptr, false), 2u);
    EXPECT_EQ(p_.state().frames_ready, 1u);
    EXPECT_EQ(indices_of(p_.take_all()), (std::vector<int>{22}));
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), nullptr, 0, 2, nullptr, false), 0u);
}

TEST_F(StreamFetch, CountIsLimitedToReadyFrames) {
    Bytes buf(300);
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), buf.data(), 300, 0, nullptr, false), 0u);
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), buf.data(), 300, 99, nullptr, false), 3u);
    EXPECT_EQ(buf, concat({frames_[0], frames_[1], frames_[2]}));
    EXPECT_EQ(p_.state().frames_queued, 3u);
}

TEST_F(StreamFetch, NegativeOrZeroBufferLengthCopiesNothing) {
    Bytes buf(4, 0xEE);
    zr_stream_frame_info_t info{};
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), buf.data(), -5, 1, &info, false), 1u);
    EXPECT_EQ(zr_stream_fetch_frames(p_.get(), buf.data(), 0, 1, nullptr, false), 1u);
    EXPECT_EQ(buf, Bytes(4, 0xEE));
    EXPECT_EQ(info.fridx, 20);
}

// ---- Reset, state, arguments ----

TEST(StreamState, StartTimeAndReservedFields) {
    const std::time_t before = std::time(nullptr);
    Parser p;
    const zr_stream_state_t st = p.state();
    EXPECT_GE(static_cast<std::time_t>(st.start_sec) + 1, before);
    EXPECT_LE(static_cast<std::time_t>(st.start_sec), std::time(nullptr) + 1);
    EXPECT_EQ(st.start_usec % 1000, 0u);
    EXPECT_LT(st.start_usec, 1000000u);
    EXPECT_EQ(st.reserved0, 0u);
    EXPECT_EQ(st.reserved1, 0u);
    zr_stream_state_t out{};
    EXPECT_EQ(zr_stream_get_state(p.get(), &out), &out);
}

TEST(StreamReset, DropsEverythingButKeepsSkipping) {
    Parser p(5);
    StreamWriter writer;
    Bytes stream;
    writer.write_frame(frame_bytes(0, 100), stream);
    p.feed(stream);
    p.feed(packet(1, 1, 200, half(kF1, 0), kStart));  // a frame being assembled
    p.feed(Bytes(40, 0x33));                          // no header where one was due: skipping
    zr_stream_reset(p.get());
    zr_stream_state_t st = p.state();
    EXPECT_EQ(st.frames_ready, 0u);
    EXPECT_EQ(st.frames_queued, 0u);
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(st.bytes_discarded, 0u);
    zr_stream_cfg_t cfg{};
    zr_stream_get_cfg(p.get(), &cfg);
    EXPECT_EQ(cfg.max_frames, 5u);
    // Still skipping: a continuation is ignored, the next frame start is taken.
    p.feed(concat({packet(7, 3, 200, half(kF1, 0), kCont), packet(8, 3, 200, half(kF1, 1), kCont),
                   packet(9, 4, 200, kF2, kStart)}));
    const auto got = p.take_all();
    EXPECT_EQ(indices_of(got), std::vector<int>{4});
    EXPECT_EQ(got[0].bytes, kF2);
}

TEST(StreamArguments, BadArgumentsAreRefused) {
    LogCapture log(4);
    const zr_stream_cfg_t cfg{3};
    EXPECT_EQ(zr_stream_create(nullptr), nullptr);
    EXPECT_FALSE(zr_stream_set_cfg(nullptr, &cfg));
    EXPECT_FALSE(zr_stream_get_cfg(nullptr, nullptr));
    zr_stream_reset(nullptr);
    zr_stream_destroy(nullptr);
    const uint8_t byte = 0xFB;
    EXPECT_FALSE(zr_stream_feed_input(nullptr, &byte, 1));
    EXPECT_EQ(zr_stream_fetch_frames(nullptr, nullptr, 0, 1, nullptr, false), 0u);
    zr_stream_state_t st{};
    EXPECT_EQ(zr_stream_get_state(nullptr, &st), nullptr);
    _fr_node_add_data(nullptr, &byte, 1);

    Parser p;
    EXPECT_FALSE(zr_stream_set_cfg(p.get(), nullptr));
    EXPECT_FALSE(zr_stream_get_cfg(p.get(), nullptr));
    EXPECT_EQ(zr_stream_get_state(p.get(), nullptr), nullptr);
    EXPECT_FALSE(zr_stream_feed_input(p.get(), nullptr, 5));
    EXPECT_FALSE(zr_stream_feed_input(p.get(), &byte, -1));
    EXPECT_FALSE(zr_stream_feed_input(p.get(), nullptr, 0));
    EXPECT_EQ(log.count("Wrong params", "ERR"), 13u);
    // None of it consumed anything: a header fed now is the first one seen.
    const Bytes f = frame_bytes(1, 10);
    p.feed(packet(0, 1, 10, f, kStart));
    EXPECT_EQ(p.take_all().size(), 1u);
}

// Appending with no header seen has no frame length to cut frames with: the bytes go.
TEST(StreamAddData, WithoutHeaderBytesAreDropped) {
    Parser p;
    const Bytes data(64, 0x42);
    _fr_node_add_data(p.get(), data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(p.state().frames_done, 0u);
    EXPECT_EQ(p.state().bytes_discarded, 64u);
}

// ---- One thread feeds, another takes ----

TEST(StreamThreads, FeedingAndTakingConcurrently) {
    constexpr int kFrames = 400;
    constexpr uint32_t kLen = 1000;
    StreamWriterConfig cfg;
    cfg.max_packet_payload = 400;
    cfg.data_sum = true;
    StreamWriter writer(cfg);
    Bytes stream;
    for (int i = 0; i < kFrames; ++i)
        writer.write_frame(frame_bytes(static_cast<uint16_t>(i), kLen), stream);

    Parser p(8);
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        p.feed_chunks(stream, 333);
        done = true;
    });
    std::vector<Delivered> taken;
    int last = -1;
    while (true) {
        const bool finished = done.load();
        zr_stream_state_t st{};
        zr_stream_get_state(p.get(), &st);
        EXPECT_LE(st.frames_ready, 8u);
        Delivered d{};
        d.bytes.resize(kLen);
        while (zr_stream_fetch_frames(p.get(), d.bytes.data(), kLen, 1, &d.info, false) == 1) {
            EXPECT_GT(static_cast<int>(d.info.fridx), last);
            last = d.info.fridx;
            taken.push_back(d);
        }
        if (finished)
            break;
        std::this_thread::yield();
    }
    feeder.join();
    const zr_stream_state_t st = p.state();
    EXPECT_EQ(st.frames_queued, static_cast<uint32_t>(kFrames));
    EXPECT_EQ(taken.size() + st.frames_dropped + st.frames_ready, static_cast<size_t>(kFrames));
    for (const Delivered &d : taken)
        EXPECT_EQ(d.bytes, frame_bytes(d.info.fridx, kLen));
}

}  // namespace
