// Recording one second of a 60 fps camera (60 raw frames of 614400 bytes, with the 40-byte
// message header of /tarvo/raw) into an MCAP file with zstd chunks, against writing the same
// frames plainly with fwrite, side by side in one run.
//
// Counters: cpu_ms_per_frame (the writer's CPU per frame), MB/s of frame bytes taken in,
// x_60fps (how many times faster than the camera the writer runs on one core; above 1 keeps
// up), and for MCAP the compression ratio (frame bytes over file bytes).
//
// The frames are four planes of 12-bit samples: a smooth scene with a few counts of read noise,
// as the sensor sends them, each frame with its own noise.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "mcap_writer.h"

namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 8;
constexpr int kFramesPerSecond = 60;
constexpr int kDistinctFrames = 8;
constexpr size_t kHeaderBytes = 40;

std::vector<std::vector<uint8_t>> camera_frames() {
    std::vector<std::vector<uint8_t>> frames;
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (int f = 0; f < kDistinctFrames; ++f) {
        std::vector<uint8_t> bytes(kFrameBytes);
        for (uint32_t plane = 0; plane < 4; ++plane) {
            for (uint32_t y = 0; y < kHeight; ++y) {
                for (uint32_t x = 0; x < kWidth; ++x) {
                    const double base =
                        2048.0 + 600.0 * std::sin(0.02 * x + 0.9 * plane) * std::cos(0.015 * y);
                    const auto v =
                        static_cast<uint16_t>(std::clamp(base + noise(rng), 0.0, 4095.0));
                    const size_t at =
                        (size_t{plane} * kWidth * kHeight + size_t{y} * kWidth + x) * 2;
                    bytes[at] = static_cast<uint8_t>(v);
                    bytes[at + 1] = static_cast<uint8_t>(v >> 8);
                }
            }
        }
        frames.push_back(std::move(bytes));
    }
    return frames;
}

const std::vector<std::vector<uint8_t>> &frames() {
    static const auto f = camera_frames();
    return f;
}

std::string temp_path() {
    char path[] = "/tmp/tarvo_bench_record_XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0)
        close(fd);
    return path;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void report(benchmark::State &state, double cpu, uint64_t frames_written) {
    const double per_frame = cpu / static_cast<double>(frames_written);
    state.counters["cpu_ms_per_frame"] = per_frame * 1e3;
    state.counters["x_60fps"] = 1.0 / (per_frame * kFramesPerSecond);
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(frames_written * kFrameBytes) / 1e6 / cpu);
    state.SetBytesProcessed(static_cast<int64_t>(frames_written * kFrameBytes));
}

void BM_WriteRawPlainly(benchmark::State &state) {
    const std::string path = temp_path();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    const std::vector<uint8_t> header(kHeaderBytes);
    uint64_t written = 0;
    const double cpu_begin = cpu_seconds();
    for (auto _ : state) {
        for (int i = 0; i < kFramesPerSecond; ++i) {
            const auto &frame = frames()[written % kDistinctFrames];
            std::fwrite(header.data(), 1, header.size(), file);
            std::fwrite(frame.data(), 1, frame.size(), file);
            ++written;
        }
        std::fflush(file);
    }
    std::fclose(file);
    report(state, cpu_seconds() - cpu_begin, written);
    std::remove(path.c_str());
}

void BM_RecordMcapZstd(benchmark::State &state) {
    const std::string path = temp_path();
    tarvo::recording::McapWriter writer;
    tarvo::recording::McapWriter::Options options;
    options.profile = "ros2";
    options.zstd_level = static_cast<int>(state.range(0));
    std::string error;
    if (!writer.open(path, options, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const uint16_t channel = writer.add_channel(0, "/tarvo/raw", "tarvo-raw", {});
    const std::vector<uint8_t> header(kHeaderBytes);
    uint64_t written = 0;
    uint64_t log_time = 1'700'000'000'000'000'000ull;
    const double cpu_begin = cpu_seconds();
    for (auto _ : state) {
        for (int i = 0; i < kFramesPerSecond; ++i) {
            const auto &frame = frames()[written % kDistinctFrames];
            writer.add_message(channel, static_cast<uint32_t>(written), log_time, log_time,
                               header.data(), header.size(), frame.data(), frame.size());
            log_time += 1'000'000'000ull / kFramesPerSecond;
            ++written;
        }
        writer.flush();  // at least one chunk a second, as the recorder does
    }
    writer.close(error);
    report(state, cpu_seconds() - cpu_begin, written);
    state.counters["compression_ratio"] = static_cast<double>(writer.stats().message_bytes) /
                                          static_cast<double>(writer.stats().file_bytes);
    std::remove(path.c_str());
}

}  // namespace

BENCHMARK(BM_WriteRawPlainly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordMcapZstd)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
