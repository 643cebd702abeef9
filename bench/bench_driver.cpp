// What the EPC driver adds to the distance calculation: tarvo_frame_get_distance on a 320 x 240
// frame of four DCS planes against the fast route alone (the driver's overhead) and against a
// copy of the frame's bytes. BM_SideBySide times all three in one loop and reports the ratios.
#include <tarvo/drv.h>
#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>
#include <tarvo/frame_image.h>
#include <tarvo/log.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "api/dev_ctx.h"
#include "drivers/epc_driver_state.h"

namespace {

constexpr int kCols = 320;
constexpr int kRows = 240;
constexpr int kPixels = kCols * kRows;
constexpr uint32_t kFrameBytes = kPixels * 8;

// A tilted wall 1.5 .. 4.5 m away at 12 MHz with a little noise.
std::vector<uint16_t> make_frame() {
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

// An open EPC device as the driver leaves it after start-up, without USB: the handle, its
// context and the driver's state with the default switches.
struct OpenDevice {
    OpenDevice() {
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
        state.work_metres.resize(tarvo::epc_driver::kMaxFramePixels);
        state.work_phases.resize(tarvo::epc_driver::kMaxFramePixels);
        drv.priv = &state;
        ctx.opened = true;
        ctx.drv = &drv;
        dev.ctx = &ctx;
        info.frame_size = kFrameBytes;
        info.frame_format = 2;
        info.width = kCols;
        info.height = kRows;
        info.pixel_size = 8;
    }
    tarvo::epc_driver::EpcDriverState state;
    tarvo_drv_t drv{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr};
    tarvo_dev_ctx_t ctx;
    tarvo_dev_t dev{};
    tarvo_frame_info_t info{};
};

void BM_FrameGetDistance(benchmark::State &state) {
    OpenDevice d;
    const std::vector<uint16_t> frame = make_frame();
    const auto *raw = reinterpret_cast<const uint8_t *>(frame.data());
    std::vector<float> out(kPixels);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            tarvo_frame_get_distance(&d.dev, out.data(), kPixels, raw, kFrameBytes, &d.info));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FrameGetDistance);

void BM_FastRouteAlone(benchmark::State &state) {
    OpenDevice d;
    const std::vector<uint16_t> frame = make_frame();
    std::vector<float> out(kPixels);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            calcDefPiDelayGetDataSorted_opt(2, out.data(), frame.data(), kPixels));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FastRouteAlone);

void BM_MemcpyFrame(benchmark::State &state) {
    const std::vector<uint16_t> frame = make_frame();
    std::vector<uint16_t> copy(frame.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), kFrameBytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_MemcpyFrame);

// The three in turn within each iteration, so that the machine's load falls on all alike.
void BM_SideBySide(benchmark::State &state) {
    using Clock = std::chrono::steady_clock;
    OpenDevice d;
    const std::vector<uint16_t> frame = make_frame();
    const auto *raw = reinterpret_cast<const uint8_t *>(frame.data());
    std::vector<float> out(kPixels);
    std::vector<uint16_t> copy(frame.size());
    Clock::duration driver{}, fast{}, memcpy_time{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        tarvo_frame_get_distance(&d.dev, out.data(), kPixels, raw, kFrameBytes, &d.info);
        benchmark::ClobberMemory();
        auto t1 = Clock::now();
        calcDefPiDelayGetDataSorted_opt(2, out.data(), frame.data(), kPixels);
        benchmark::ClobberMemory();
        auto t2 = Clock::now();
        std::memcpy(copy.data(), frame.data(), kFrameBytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
        auto t3 = Clock::now();
        driver += t1 - t0;
        fast += t2 - t1;
        memcpy_time += t3 - t2;
    }
    const double drv_s = std::chrono::duration<double>(driver).count();
    state.counters["driver_over_fast_route"] = drv_s / std::chrono::duration<double>(fast).count();
    state.counters["driver_over_memcpy"] =
        drv_s / std::chrono::duration<double>(memcpy_time).count();
}
BENCHMARK(BM_SideBySide)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
