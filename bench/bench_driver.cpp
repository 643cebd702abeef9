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
#include "epc_bench.h"
#include "drivers/epc_driver_state.h"

namespace {

using namespace tarvo::bench;

// An open EPC device as the driver leaves it after start-up, without USB: the handle, its
// context and the driver's state with the default switches.
struct OpenDevice {
    OpenDevice() {
        setup_pipeline();
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
    const std::vector<uint16_t> frame = make_wall_frame();
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
    time_fast_route(state, make_wall_frame());
}
BENCHMARK(BM_FastRouteAlone);

void BM_MemcpyFrame(benchmark::State &state) {
    const std::vector<uint16_t> frame = make_wall_frame();
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
    const std::vector<uint16_t> frame = make_wall_frame();
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
