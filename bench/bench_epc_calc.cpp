// Cost of turning one 320 x 240 frame of four DCS planes into distances: the fast route the
// driver uses for every decoded frame, the general calculator of the sorted route, and two
// baselines (copying the frame; a plain float atan2 per pixel) to read the figures against.
#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "epc_bench.h"
#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "epc/frame_source.h"

namespace {

using namespace tarvo::bench;

void BM_Baseline_Memcpy(benchmark::State &state) {
    const std::vector<uint16_t> frame = make_wall_frame();
    std::vector<uint16_t> copy(frame.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), frame.size() * sizeof(uint16_t));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * frame.size() * 2);
}

// What the conversion costs with the C library's float arctangent instead of the table.
void BM_Baseline_FloatAtan2(benchmark::State &state) {
    const std::vector<uint16_t> frame = make_wall_frame();
    std::vector<float> out(kPixels);
    const float factor = 149896229.0f / 12e6f / (2.0f * static_cast<float>(M_PI));
    for (auto _ : state) {
        for (int p = 0; p < kPixels; ++p) {
            const float a = static_cast<float>(frame[3 * kPixels + p] - frame[kPixels + p]);
            const float b = static_cast<float>(frame[2 * kPixels + p] - frame[p]);
            out[p] = (std::atan2(a, b) + static_cast<float>(M_PI)) * factor;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

void BM_FastRoute(benchmark::State &state) {
    setup_pipeline();
    const int type = static_cast<int>(state.range(0));
    time_fast_route(state, make_wall_frame(), type);
}

// Metres with the distance-image correction of 30 calibration steps.
void BM_FastRoute_Drnu(benchmark::State &state) {
    setup_pipeline();
    calibrateSetNumDistances(30);
    gStepCalMM = 298.2;
    for (int q = 0; q < kPixels; ++q) {
        for (int s = 0; s < 30; ++s)
            distImagesDRNU[1][q * 30 + s] = static_cast<uint16_t>(8000 + 716 * s);
        distImagesDRNUMin[1][q] = 8000;
        distImagesDRNUMax[1][q] = 8000 + 716 * 29;
    }
    calculationSetEnableDRNU_simulate(2);
    time_fast_route(state, make_wall_frame());
    calculationSetEnableDRNU_simulate(0);
}

// The sorted route: frame hand-over, copy, per-pixel calculator and the (idle) filter chain.
void BM_SortedRoute(benchmark::State &state) {
    setup_pipeline();
    const std::vector<uint16_t> frame = make_wall_frame();
    pru_image_record rec{};
    rec.info.frame_size = static_cast<uint32_t>(frame.size() * 2);
    rec.data = frame.data();
    for (auto _ : state) {
        pruSetImage(&rec);
        uint16_t *out = nullptr;
        benchmark::DoNotOptimize(calculationDistanceSorted(&out));
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_Baseline_Memcpy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Baseline_FloatAtan2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FastRoute)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FastRoute_Drnu)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SortedRoute)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
