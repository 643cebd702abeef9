// Random streams in random feed sizes. A clean stream must come out exactly as it went in; a
// damaged one may lose frames but must never yield a frame the camera did not send.
#include <tarvo/stream.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "stream/stream_test_util.h"
#include "stream_writer.h"

namespace {

using tarvo::test::Bytes;
using tarvo::test::Delivered;
using tarvo::test::Parser;
using tarvo::vcam::kStreamHeaderSize;
using tarvo::vcam::pattern_bytes;
using tarvo::vcam::StreamWriter;
using tarvo::vcam::StreamWriterConfig;

struct Stream {
    Bytes bytes;
    std::vector<Bytes> frames;
    std::vector<size_t> packet_starts;
};

// A stream of random frames in random packings. With `aligned`, every length is a multiple of
// four, so that the payload sum covers every payload byte.
Stream random_stream(std::mt19937 &rng, bool sums, bool aligned) {
    auto pick = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    auto align = [&](uint32_t v) { return aligned ? std::max<uint32_t>(4, v & ~3u) : v; };
    StreamWriterConfig cfg;
    cfg.data_sum = sums;
    cfg.first_sidx = static_cast<uint16_t>(pick(0, 65535));
    cfg.first_fridx = static_cast<uint16_t>(pick(0, 65535));
    StreamWriter writer(cfg);
    Stream s;
    const int groups = static_cast<int>(pick(3, 12));
    for (int g = 0; g < groups; ++g) {
        const uint32_t frlen = align(pick(1, 3000));
        const uint32_t per_packet = pick(0, 3) == 0 ? pick(2, 4) : 1;
        const size_t before = s.bytes.size();
        if (per_packet > 1) {
            Bytes all;
            for (uint32_t i = 0; i < per_packet; ++i) {
                s.frames.push_back(pattern_bytes(static_cast<uint32_t>(rng()), frlen));
                all.insert(all.end(), s.frames.back().begin(), s.frames.back().end());
            }
            writer.write_frames(all, frlen, s.bytes);
        } else {
            writer.config().max_packet_payload = pick(0, 1) ? 0 : align(pick(1, frlen));
            s.frames.push_back(pattern_bytes(static_cast<uint32_t>(rng()), frlen));
            writer.write_frame(s.frames.back(), s.bytes);
        }
        for (size_t at = before; at < s.bytes.size();) {
            s.packet_starts.push_back(at);
            const uint32_t len = s.bytes[at + 4] | (s.bytes[at + 5] << 8) | (s.bytes[at + 6] << 16);
            at += kStreamHeaderSize + len;
        }
    }
    return s;
}

std::vector<Delivered> feed_randomly(Parser &p, std::mt19937 &rng, const Bytes &bytes) {
    std::vector<Delivered> got;
    const uint32_t max_chunk = std::uniform_int_distribution<uint32_t>(1, 6000)(rng);
    for (size_t off = 0; off < bytes.size();) {
        const size_t n = std::min<size_t>(
            bytes.size() - off, std::uniform_int_distribution<uint32_t>(1, max_chunk)(rng));
        p.feed(std::span<const uint8_t>(bytes).subspan(off, n));
        off += n;
        if (rng() % 4 == 0) {
            for (Delivered &d : p.take_all())
                got.push_back(std::move(d));
        }
    }
    for (Delivered &d : p.take_all())
        got.push_back(std::move(d));
    return got;
}

TEST(StreamFuzz, CleanStreamsComeOutExactly) {
    std::mt19937 rng(20240611);
    for (int iter = 0; iter < 150; ++iter) {
        SCOPED_TRACE(iter);
        const Stream s = random_stream(rng, rng() % 2 == 0, false);
        Parser p;
        const auto got = feed_randomly(p, rng, s.bytes);
        ASSERT_EQ(got.size(), s.frames.size());
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i].bytes, s.frames[i]) << "frame " << i;
        const zr_stream_state_t st = p.state();
        EXPECT_EQ(st.frames_discarded, 0u);
        EXPECT_EQ(st.bytes_discarded, 0u);
    }
}

// Changes one packet each in one of several ways. A single changed header byte always breaks
// the header checksum except 0x00 <-> 0xFF, which Fletcher-16 modulo 255 cannot see; such a
// change could give a frame a wrong length and is left out. Every payload byte is covered by
// the payload sum (lengths are multiples of four), so any other damage is detectable.
Bytes damage(std::mt19937 &rng, const Stream &s, int count) {
    std::vector<size_t> packets(s.packet_starts);
    std::shuffle(packets.begin(), packets.end(), rng);
    packets.resize(std::min<size_t>(packets.size(), static_cast<size_t>(count)));
    std::sort(packets.begin(), packets.end(), std::greater<>());  // back to front: offsets hold
    Bytes out = s.bytes;
    for (size_t start : packets) {
        const auto it = std::upper_bound(s.packet_starts.begin(), s.packet_starts.end(), start);
        const size_t end = it == s.packet_starts.end() ? s.bytes.size() : *it;
        const size_t at = start + rng() % (end - start);
        const size_t span = 1 + rng() % std::min<size_t>(64, end - at);
        switch (rng() % 4) {
            case 0: {  // change one byte
                uint8_t v;
                do {
                    v = static_cast<uint8_t>(rng());
                } while (v == out[at] || (v == 0xFF && out[at] == 0x00) ||
                         (v == 0x00 && out[at] == 0xFF));
                out[at] = v;
                break;
            }
            case 1:  // lose bytes
                out.erase(out.begin() + at, out.begin() + at + span);
                break;
            case 2: {  // insert noise
                const Bytes noise = pattern_bytes(static_cast<uint32_t>(rng()), span);
                out.insert(out.begin() + at, noise.begin(), noise.end());
                break;
            }
            default: {  // repeat bytes
                const Bytes copy(out.begin() + at, out.begin() + at + span);
                out.insert(out.begin() + at + span, copy.begin(), copy.end());
                break;
            }
        }
    }
    return out;
}

TEST(StreamFuzz, DamagedStreamsYieldOnlyFramesTheCameraSent) {
    std::mt19937 rng(7771);
    size_t delivered = 0;
    size_t sent = 0;
    for (int iter = 0; iter < 300; ++iter) {
        SCOPED_TRACE(iter);
        const Stream s = random_stream(rng, true, true);
        const Bytes bytes = damage(rng, s, 1 + static_cast<int>(rng() % 4));
        Parser p(1000);
        for (const Delivered &d : feed_randomly(p, rng, bytes)) {
            ASSERT_EQ(d.bytes.size(), d.info.frlen);
            // A search rather than a std::set: GCC 12 misreads the set's byte-vector ordering as
            // an overlong memcmp (-Wstringop-overread) in optimised builds.
            ASSERT_NE(std::find(s.frames.begin(), s.frames.end(), d.bytes), s.frames.end())
                << "a frame the camera never sent, " << d.bytes.size() << " bytes, index "
                << d.info.fridx;
            ++delivered;
        }
        sent += s.frames.size();
    }
    // Damage hits a few packets of each stream: most frames must still get through.
    EXPECT_GT(delivered, sent / 2);
}

TEST(StreamFuzz, NoiseNeitherCrashesNorYieldsFrames) {
    std::mt19937 rng(99);
    for (int iter = 0; iter < 100; ++iter) {
        Bytes noise = pattern_bytes(static_cast<uint32_t>(rng()), 1 + rng() % 20000);
        // Plenty of sync pairs, some at the very end of a feed.
        for (int k = 0; k < 50; ++k) {
            const size_t at = rng() % (noise.size());
            noise[at] = 0xFB;
            if (at + 1 < noise.size())
                noise[at + 1] = 0x98;
        }
        Parser p(4);
        const auto got = feed_randomly(p, rng, noise);
        EXPECT_TRUE(got.empty());
    }
}

}  // namespace
