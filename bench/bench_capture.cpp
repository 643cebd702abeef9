// The capture path of one frame without USB: the event thread's transfer callback feeding
// 153600-byte transfers into the parser, then a fetch on the application thread copying the frame
// out and describing it, against plain copies of the same bytes (USB buffer to parser, parser to
// caller) as the baseline.
//
// x_camera_rate is how many times faster than the camera (30 frames/s of 614400 bytes) the path
// runs on one core; its inverse is the CPU share that capture costs.
#include <tarvo/tarvo.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "api/dev_ctx.h"
#include "stream_writer/stream_writer.h"

namespace {

constexpr uint32_t kFrameLen = 614400;
constexpr size_t kTransfer = 153600;
constexpr int kFrames = 8;
constexpr double kCameraFramesPerSecond = 30.0;

void no_abort(tarvo_ll_dev_t *) {}

std::vector<uint8_t> camera_stream(bool data_sum) {
    tarvo::vcam::StreamWriterConfig cfg;
    cfg.data_sum = data_sum;
    cfg.meta.frfmt = 2;
    cfg.meta.width = 320;
    cfg.meta.height = 240;
    tarvo::vcam::StreamWriter writer(cfg);
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < kFrames; ++i) {
        writer.write_frame(tarvo::vcam::pattern_bytes(i, kFrameLen), out);
    }
    return out;
}

// An open, capturing device whose transport does nothing: only the library's own work remains.
struct FakeDevice {
    tarvo_ll_ops_t ops{};
    tarvo_drv_t drv{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr};
    tarvo_dev_ctx_t ctx;
    tarvo_dev_t dev{};

    FakeDevice() {
        ops.cap_abort = no_abort;
        ctx.ll.ops = &ops;
        ctx.drv = &drv;
        ctx.opened = true;
        ctx.capturing = true;
        ctx.stop = 0;
        zr_stream_cfg_t cfg{10};
        ctx.stream = zr_stream_create(&cfg);
        dev.ctx = &ctx;
    }
    ~FakeDevice() { zr_stream_destroy(ctx.stream); }
};

void feed_and_fetch(benchmark::State &state) {
    zr_log_disable();
    const std::vector<uint8_t> stream = camera_stream(state.range(0) != 0);
    FakeDevice fake;
    std::vector<uint8_t> usb(kTransfer);
    std::vector<uint8_t> frame(kFrameLen);
    int64_t frames = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < stream.size(); off += kTransfer) {
            const size_t n = std::min(kTransfer, stream.size() - off);
            std::memcpy(usb.data(), stream.data() + off, n);  // what libusb hands over
            tarvo::on_capture_event(&fake.ctx.ll, 0, usb.data(), static_cast<int>(n), &fake.dev);
            tarvo_frame_info_t info;
            while (tarvo_cap_get_frame(&fake.dev, frame.data(), kFrameLen, &info) == 1)
                ++frames;
        }
    }
    benchmark::DoNotOptimize(frame.data());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["x_camera_rate"] = benchmark::Counter(
        static_cast<double>(frames) / kCameraFramesPerSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(feed_and_fetch)->Arg(0)->Arg(1)->ArgName("data_sum")->Unit(benchmark::kMillisecond);

// The least any capture path does: the bytes copied into the parser and out to the caller.
void copy_baseline(benchmark::State &state) {
    const std::vector<uint8_t> stream = camera_stream(false);
    std::vector<uint8_t> usb(kTransfer);
    std::vector<uint8_t> held(stream.size());
    std::vector<uint8_t> frame(kFrameLen);
    for (auto _ : state) {
        for (size_t off = 0; off < stream.size(); off += kTransfer) {
            const size_t n = std::min(kTransfer, stream.size() - off);
            std::memcpy(usb.data(), stream.data() + off, n);
            std::memcpy(held.data() + off, usb.data(), n);
        }
        for (int i = 0; i < kFrames; ++i) {
            std::memcpy(frame.data(), held.data() + i * (kFrameLen + 36) + 36, kFrameLen);
        }
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["x_camera_rate"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kFrames) / kCameraFramesPerSecond,
        benchmark::Counter::kIsRate);
}
BENCHMARK(copy_baseline)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
