// Helpers of the stream parser tests: a parser that owns itself, feeding in exact-size copies
// (so the address sanitizer sees a one-byte overread), and taking frames back out.
#pragma once

#include <tarvo/stream.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace tarvo::test {

using Bytes = std::vector<uint8_t>;

struct Delivered {
    zr_stream_frame_info_t info;
    Bytes bytes;
};

inline Bytes concat(std::initializer_list<std::span<const uint8_t>> parts) {
    Bytes out;
    for (std::span<const uint8_t> p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Parser {
  public:
    explicit Parser(uint32_t max_frames = 1000) {
        const zr_stream_cfg_t cfg{max_frames};
        s_ = zr_stream_create(&cfg);
    }
    ~Parser() { zr_stream_destroy(s_); }
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;

    zr_stream_t *get() const { return s_; }

    // One feed of exactly these bytes, from a heap block of exactly their size.
    bool feed(std::span<const uint8_t> bytes) {
        const Bytes exact(bytes.begin(), bytes.end());
        return zr_stream_feed_input(s_, exact.data(), static_cast<int>(exact.size()));
    }

    // The bytes in feeds of `chunk` bytes (the last may be shorter).
    bool feed_chunks(std::span<const uint8_t> bytes, size_t chunk) {
        bool ready = false;
        for (size_t off = 0; off < bytes.size(); off += chunk)
            ready = feed(bytes.subspan(off, std::min(chunk, bytes.size() - off)));
        return ready;
    }

    // Takes every ready frame, one by one, each into a buffer of exactly its length.
    std::vector<Delivered> take_all() {
        std::vector<Delivered> out;
        zr_stream_frame_info_t info{};
        while (zr_stream_fetch_frames(s_, nullptr, 0, 1, &info, true) == 1) {
            Delivered d{};
            d.bytes.resize(info.frlen);
            const unsigned n = zr_stream_fetch_frames(
                s_, d.bytes.data(), static_cast<int>(d.bytes.size()), 1, &d.info, false);
            EXPECT_EQ(n, 1u);
            out.push_back(std::move(d));
        }
        return out;
    }

    zr_stream_state_t state() const {
        zr_stream_state_t st{};
        zr_stream_get_state(s_, &st);
        return st;
    }

  private:
    zr_stream_t *s_ = nullptr;
};

inline std::vector<int> indices_of(const std::vector<Delivered> &frames) {
    std::vector<int> idx;
    for (const Delivered &d : frames)
        idx.push_back(d.info.fridx);
    return idx;
}

}  // namespace tarvo::test
