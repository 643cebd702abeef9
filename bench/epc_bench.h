// What the EPC benchmarks share: the 320 x 240 frame of four DCS planes, a wall to fill it with,
// the pipeline as the driver sets it up, and the timed loop of the driver's fast route.
#pragma once

#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <vector>

namespace tarvo::bench {

constexpr int kCols = 320;
constexpr int kRows = 240;
constexpr int kPixels = kCols * kRows;
constexpr uint32_t kFrameBytes = kPixels * 8;

// A tilted wall 1.5 .. 4.5 m away at 12 MHz, with a little noise, in read-out order (the order
// does not change the work per pixel).
inline std::vector<uint16_t> make_wall_frame() {
    std::vector<uint16_t> frame(4 * kPixels);
    uint32_t seed = 12345;
    for (int p = 0; p < kPixels; ++p) {
        const double d = 1.5 + 3.0 * (p % kCols) / kCols;
        const double phase = 4 * M_PI * 12e6 * d / 299792458.0;
        const double amp = 1500.0 / (d * d);
        for (int k = 0; k < 4; ++k) {
            seed = seed * 1664525u + 1013904223u;
            const double noise = ((seed >> 16) & 7) - 3.5;
            frame[k * kPixels + p] = static_cast<uint16_t>(
                std::lround(2048 + amp * std::cos(phase - k * M_PI / 2) + noise));
        }
    }
    return frame;
}

// The pipeline as the driver leaves it after start-up for this sensor, without a camera: four
// DCS planes at 12 MHz, and the distance-image correction off.
inline void setup_pipeline() {
    zr_log_disable();
    configSetPartType(2);
    configFindModulationFrequencies_simulate();
    configSetModulationFrequency_simulate(2);
    pruInit();
    pruSetSize(kCols, kRows / 2);
    pruSetDCS(4);
    hysteresisSetThresholds(30, 20);
    adcOverflowEnable(1);
    calculationSetEnableDRNU_simulate(0);
}

// CPU time of the calling thread: side-by-side timings interleave their items in one loop and
// sum this, so that a busy machine slows each alike.
inline double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Times the fast route, which turns every decoded frame into distances of the given type.
inline void time_fast_route(benchmark::State &state, const std::vector<uint16_t> &frame,
                            int type = 2) {
    std::vector<float> out(kPixels);
    for (auto _ : state) {
        calcDefPiDelayGetDataSorted_opt(type, out.data(), frame.data(), kPixels);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

}  // namespace tarvo::bench
