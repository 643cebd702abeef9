// Throughput of the frame stream parser on the camera's stream: 614400-byte frames arriving in
// 153600-byte bulk transfers, against a plain copy of the same bytes.
//
// x_camera_rate is how many times faster than the camera's data rate (30 frames/s x 614400
// bytes = 18.432 MB/s) the work runs on one core; its inverse is the CPU share while capturing.
#include <tarvo/stream.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "stream_writer/stream_writer.h"

namespace {

constexpr uint32_t kFrameLen = 614400;
constexpr size_t kTransfer = 153600;
constexpr int kFrames = 8;
constexpr double kCameraBytesPerSecond = 30.0 * kFrameLen;

// kFrames frames, each cut into packets of `piece` payload bytes.
std::vector<uint8_t> camera_stream(uint32_t piece, bool data_sum) {
    tarvo::vcam::StreamWriterConfig cfg;
    cfg.max_packet_payload = piece;
    cfg.data_sum = data_sum;
    cfg.meta.width = 320;
    cfg.meta.height = 240;
    tarvo::vcam::StreamWriter writer(cfg);
    std::mt19937 rng(1);
    std::vector<uint8_t> frame(kFrameLen);
    std::vector<uint8_t> out;
    for (int i = 0; i < kFrames; ++i) {
        for (uint8_t &b : frame)
            b = static_cast<uint8_t>(rng());
        writer.write_frame(frame, out);
    }
    return out;
}

void report(benchmark::State &state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    // Seconds of camera data handled per second: the CPU share at the camera's rate is its
    // inverse.
    state.counters["x_camera_rate"] =
        benchmark::Counter(static_cast<double>(bytes) / kCameraBytesPerSecond,
                           benchmark::Counter::kIsIterationInvariantRate);
}

// Args: payload bytes per packet, payload sum on/off, frames copied out (1) or thrown away (0).
void BM_Parser(benchmark::State &state) {
    const std::vector<uint8_t> stream =
        camera_stream(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    const bool copy_out = state.range(2) != 0;
    std::vector<uint8_t> frame_buffer(kFrameLen);
    const zr_stream_cfg_t cfg{10};
    zr_stream_t *s = zr_stream_create(&cfg);
    for (auto _ : state) {
        for (size_t off = 0; off < stream.size(); off += kTransfer) {
            const size_t n = std::min(kTransfer, stream.size() - off);
            if (zr_stream_feed_input(s, stream.data() + off, static_cast<int>(n))) {
                while (zr_stream_fetch_frames(s, copy_out ? frame_buffer.data() : nullptr,
                                              kFrameLen, 1, nullptr, false) == 1) {
                }
            }
        }
        benchmark::DoNotOptimize(frame_buffer.data());
    }
    zr_stream_state_t st{};
    zr_stream_get_state(s, &st);
    if (st.frames_discarded != 0 || st.frames_queued == 0)
        state.SkipWithError("the parser did not take the frames");
    zr_stream_destroy(s);
    report(state, stream.size());
}
BENCHMARK(BM_Parser)
    ->ArgNames({"packet", "sum", "copy_out"})
    ->Args({kFrameLen, 0, 0})
    ->Args({kFrameLen, 0, 1})
    ->Args({kFrameLen, 1, 1})
    ->Args({153600, 1, 1})
    ->Args({16384, 1, 1})
    ->Unit(benchmark::kMillisecond);

// The baseline: every transfer copied once into a frame buffer, as a receiver that already knew
// where each byte goes would do.
void BM_Memcpy(benchmark::State &state) {
    const std::vector<uint8_t> stream = camera_stream(kFrameLen, false);
    std::vector<uint8_t> frame_buffer(kFrameLen + kTransfer);
    for (auto _ : state) {
        size_t at = 0;
        for (size_t off = 0; off < stream.size(); off += kTransfer) {
            const size_t n = std::min(kTransfer, stream.size() - off);
            std::memcpy(frame_buffer.data() + at, stream.data() + off, n);
            at = (at + n) % kFrameLen;
        }
        benchmark::DoNotOptimize(frame_buffer.data());
        benchmark::ClobberMemory();
    }
    report(state, stream.size());
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
