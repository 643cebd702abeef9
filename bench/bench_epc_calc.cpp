// Cost of turning one 320 x 240 frame of four DCS planes into distances: the fast route the
// driver uses for every decoded frame, the general calculator of the sorted route, and two
// baselines (copying the frame; a plain float atan2 per pixel) to read the figures against.
#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "epc_bench.h"
#include "epc/calc_kernel.h"
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
    calibrateDistanceImagesChanged();
    calculationSetEnableDRNU_simulate(2);
    time_fast_route(state, make_wall_frame());
    calculationSetEnableDRNU_simulate(0);
}

// Metres with each instruction-set tier of the kernels (0 portable, 1 AVX2, 2 AVX-512); a tier
// the processor lacks is skipped. Read each against the portable one.
void BM_FastRoute_Tier(benchmark::State &state) {
    using tarvo::epc::KernelTier;
    const auto wanted = static_cast<KernelTier>(state.range(0));
    if (wanted > tarvo::epc::best_kernel_tier()) {
        state.SkipWithError("tier not supported by this processor");
        return;
    }
    setup_pipeline();
    const KernelTier before = tarvo::epc::use_kernel_tier(wanted);
    state.SetLabel(tarvo::epc::kernel_tier_name(wanted));
    time_fast_route(state, make_wall_frame());
    tarvo::epc::use_kernel_tier(before == wanted ? tarvo::epc::best_kernel_tier() : before);
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

// Everything in one loop (the grayscale path of the sorted route too), interleaved so that a busy
// machine slows all alike, timed in this thread's CPU time; the counters are ratios of the summed
// times.
void BM_SideBySide(benchmark::State &state) {
    using tarvo::epc::KernelTier;
    setup_pipeline();
    calibrateSetNumDistances(30);
    gStepCalMM = 298.2;
    for (int q = 0; q < kPixels; ++q) {
        for (int s = 0; s < 30; ++s)
            distImagesDRNU[1][q * 30 + s] = static_cast<uint16_t>(8000 + 716 * s);
        distImagesDRNUMin[1][q] = 8000;
        distImagesDRNUMax[1][q] = 8000 + 716 * 29;
    }
    calibrateDistanceImagesChanged();
    const std::vector<uint16_t> frame = make_wall_frame();
    std::vector<uint16_t> copy(frame.size());
    std::vector<float> out(kPixels);
    const KernelTier best = tarvo::epc::best_kernel_tier();
    auto fast = [&](KernelTier tier, int drnu) {
        return [&, tier, drnu] {
            tarvo::epc::use_kernel_tier(tier);
            calculationSetEnableDRNU_simulate(drnu);
            calcDefPiDelayGetDataSorted_opt(2, out.data(), frame.data(), kPixels);
        };
    };
    pru_image_record rec{};
    rec.info.frame_size = static_cast<uint32_t>(frame.size() * 2);
    rec.data = frame.data();
    struct Item {
        const char *name;
        std::function<void()> run;
        double seconds = 0.0;
    };
    std::vector<Item> items = {
        {"memcpy", [&] { std::memcpy(copy.data(), frame.data(), frame.size() * 2); }},
        {"portable", fast(KernelTier::portable, 0)},
        {"avx2", fast(std::min(KernelTier::avx2, best), 0)},
        {"avx512", fast(best, 0)},
        {"best_drnu", fast(best, 2)},
        {"avx2_drnu", fast(std::min(KernelTier::avx2, best), 2)},
        {"sorted",
         [&] {
             tarvo::epc::use_kernel_tier(best);
             calculationSetEnableDRNU_simulate(0);
             pruSetImage(&rec);
             uint16_t *sorted = nullptr;
             calculationDistanceSorted(&sorted);
         }},
        {"gray",
         [&] {
             pruSetImage(&rec);
             uint16_t *gray = nullptr;
             calculationBWSorted(&gray);
         }},
    };
    constexpr int kRepeats = 20;
    for (auto _ : state) {
        for (Item &item : items) {
            item.run();  // once untimed: the mode switch and a warm cache
            const double start = thread_cpu_seconds();
            for (int r = 0; r < kRepeats; ++r) {
                item.run();
                benchmark::DoNotOptimize(out.data());
                benchmark::DoNotOptimize(copy.data());
                benchmark::ClobberMemory();
            }
            item.seconds += thread_cpu_seconds() - start;
        }
    }
    auto seconds = [&](const char *name) {
        for (const Item &item : items)
            if (std::strcmp(item.name, name) == 0)
                return item.seconds;
        return 0.0;
    };
    const double calls = static_cast<double>(state.iterations()) * kRepeats;
    state.counters["best_us"] = seconds("avx512") / calls * 1e6;
    state.counters["best_drnu_us"] = seconds("best_drnu") / calls * 1e6;
    state.counters["memcpy_us"] = seconds("memcpy") / calls * 1e6;
    state.counters["best_vs_memcpy"] = seconds("avx512") / seconds("memcpy");
    state.counters["avx2_vs_portable"] = seconds("avx2") / seconds("portable");
    state.counters["best_vs_portable"] = seconds("avx512") / seconds("portable");
    state.counters["drnu_on_vs_off"] = seconds("best_drnu") / seconds("avx512");
    state.counters["avx2_drnu_on_vs_off"] = seconds("avx2_drnu") / seconds("avx2");
    state.counters["sorted_vs_fast"] = seconds("sorted") / seconds("avx512");
    state.counters["gray_vs_fast"] = seconds("gray") / seconds("avx512");
    state.SetLabel(std::string("best tier ") + tarvo::epc::kernel_tier_name(best));
    calculationSetEnableDRNU_simulate(0);
}

}  // namespace

BENCHMARK(BM_SideBySide)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_Memcpy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Baseline_FloatAtan2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FastRoute)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FastRoute_Tier)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FastRoute_Drnu)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SortedRoute)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
