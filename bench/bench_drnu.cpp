// What the DRNU correction adds to the fast route per 320 x 240 frame: the same frame of a
// wall at 1.2 .. 3.6 m converted to metres with and without the distance-image correction of a
// full 30-step calibration (per-pixel offsets and a cyclic error in the tables, temperature
// compensation on in both). Read the two times side by side; their ratio is the cost.
#include <tarvo/epc_calc.h>
#include <tarvo/epc_calib.h>
#include <tarvo/log.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "epc/calibration_state.h"
#include "epc_bench.h"
#include "epc/config_state.h"

namespace {

using namespace tarvo::bench;

constexpr int kSteps = 30;
constexpr double kRangeM = 149896229.0 / 12e6;
constexpr double kStepM = 0.2775;
constexpr double kBoxM = 0.295;

double pixel_offset_m(int q) {
    return 0.03 * std::sin(q * 12.9898);
}

double cyclic_m(double d) {
    return 0.04 * std::sin(2 * M_PI * 4 * d / kRangeM);
}

uint16_t phase_of(double d) {
    return static_cast<uint16_t>(std::lround(std::fmod(d / kRangeM, 1.0) * 30000.0));
}

// The tables a calibration of this sensor leaves: step s of pixel q where the delay line put it.
void fill_tables() {
    calibrateSetNumDistances(kSteps);
    gStepCalMM = kStepM * 1000.0;
    for (int q = 0; q < kPixels; ++q) {
        for (int s = 0; s < kSteps; ++s) {
            const double seen = kBoxM + s * kStepM + pixel_offset_m(q);
            distImagesDRNU[1][q * kSteps + s] = phase_of(seen + cyclic_m(seen));
        }
        distImagesDRNUMin[1][q] = distImagesDRNU[1][q * kSteps];
        distImagesDRNUMax[1][q] = distImagesDRNU[1][q * kSteps + kSteps - 1];
    }
    calibrateDistanceImagesChanged();
}

// Four DCS planes of the wall as the sensor measures it.
std::vector<uint16_t> make_frame() {
    std::vector<uint16_t> frame(4 * kPixels);
    for (int q = 0; q < kPixels; ++q) {
        const double d = 1.2 + 2.4 * (q % kCols) / kCols;
        const double seen = d + pixel_offset_m(q);
        const double phase = 2 * M_PI * phase_of(seen + cyclic_m(seen)) / 30000.0;
        const double amp = 1500.0 / (d * d);
        for (int k = 0; k < 4; ++k)
            frame[k * kPixels + q] =
                static_cast<uint16_t>(std::lround(2048 + amp * std::cos(phase - k * M_PI / 2)));
    }
    return frame;
}

void setup_drnu_pipeline(int drnu_mode) {
    setup_pipeline();
    fill_tables();
    const int16_t header[2] = {400, 384};
    temperatureSetTemperatureByFrameHeader(header);
    calculationSetEnableTemperature_simulate(1);
    calculationSetEnableDRNU_simulate(drnu_mode);
}

void run(benchmark::State &state, int drnu_mode) {
    setup_drnu_pipeline(drnu_mode);
    time_fast_route(state, make_frame());
    state.SetItemsProcessed(state.iterations());
    calculationSetEnableDRNU_simulate(0);
}

void BM_FastRoute_DrnuOff(benchmark::State &state) {
    run(state, 0);
}

void BM_FastRoute_DrnuOn(benchmark::State &state) {
    run(state, 2);
}

// Both in one loop, interleaved so that a busy machine slows them alike, timed in this thread's
// CPU time; drnu_on_vs_off is the ratio of the summed times.
void BM_SideBySide(benchmark::State &state) {
    setup_drnu_pipeline(2);
    const std::vector<uint16_t> frame = make_frame();
    std::vector<float> out(kPixels);
    constexpr int kRepeats = 10;
    double seconds[2] = {};
    for (auto _ : state) {
        for (int drnu = 0; drnu < 2; ++drnu) {
            calculationSetEnableDRNU_simulate(drnu == 0 ? 0 : 2);
            calcDefPiDelayGetDataSorted_opt(2, out.data(), frame.data(), kPixels);  // warm
            const double start = thread_cpu_seconds();
            for (int r = 0; r < kRepeats; ++r) {
                calcDefPiDelayGetDataSorted_opt(2, out.data(), frame.data(), kPixels);
                benchmark::DoNotOptimize(out.data());
                benchmark::ClobberMemory();
            }
            seconds[drnu] += thread_cpu_seconds() - start;
        }
    }
    const double calls = static_cast<double>(state.iterations()) * kRepeats;
    state.counters["off_us"] = seconds[0] / calls * 1e6;
    state.counters["on_us"] = seconds[1] / calls * 1e6;
    state.counters["drnu_on_vs_off"] = seconds[1] / seconds[0];
    calculationSetEnableDRNU_simulate(0);
}

}  // namespace

BENCHMARK(BM_SideBySide)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastRoute_DrnuOff)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FastRoute_DrnuOn)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
