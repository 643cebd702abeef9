// tarvo publish at 60 frames/s against the virtual camera, side by side with tarvo capture alone:
// the tool's CPU time per frame of each (as the tools report it), their ratio, and the latency
// from a message's stamp (the frame's arrival) to its arrival at a subscriber in this process,
// median and 99th percentile, for the depth image and the cloud. One run each; the counters are
// the figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "dds/dds_test_support.h"

namespace {

using namespace tarvo;

constexpr unsigned kFrames = 600;  // ten seconds at 60 frames/s

// "cpu X ms per frame" of a tool's summary; negative when missing.
double cpu_ms_per_frame(const std::string &output) {
    const size_t at = output.find("cpu ");
    double ms = -1;
    if (at != std::string::npos && std::sscanf(output.c_str() + at, "cpu %lf ms", &ms) != 1)
        ms = -1;
    return ms;
}

std::vector<std::string> under_vcam(std::vector<std::string> command) {
    std::vector<std::string> args = {TARVO_VCAM_PATH, "--scene", "wall:1.0", "--fps", "60", "--",
                                     TARVO_CLI_PATH};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    const auto k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

void BM_PublishAt60(benchmark::State &state) {
    test::use_loopback_dds();
    const uint32_t domain = test::test_domain(20);
    const std::string ns = test::test_namespace("bench");
    const std::string frames = std::to_string(kFrames);
    for (auto _ : state) {
        test::Child capture(under_vcam({"capture", "-n", frames}));
        capture.wait();
        std::string error;
        auto sub = dds::Subscriber::create(domain, ns, error);
        if (!sub) {
            state.SkipWithError(error.c_str());
            return;
        }
        test::Child publish(under_vcam(
            {"publish", "--domain", std::to_string(domain), "--namespace", ns, "-n", frames}));
        std::vector<double> depth_ms, points_ms;
        while (publish.running())
            sub->poll(100, [&](const dds::Received &r) {
                const double stamp = r.header.stamp.sec * 1e9 + r.header.stamp.nanosec;
                const double ms = (static_cast<double>(r.arrival_ns) - stamp) / 1e6;
                if (r.topic == dds::Topic::Depth)
                    depth_ms.push_back(ms);
                else if (r.topic == dds::Topic::Points)
                    points_ms.push_back(ms);
            });
        const double capture_cpu = cpu_ms_per_frame(capture.output());
        const double publish_cpu = cpu_ms_per_frame(publish.output());
        state.counters["capture_cpu_ms_per_frame"] = capture_cpu;
        state.counters["publish_cpu_ms_per_frame"] = publish_cpu;
        state.counters["publish_over_capture_cpu"] =
            capture_cpu > 0 ? publish_cpu / capture_cpu : 0;
        state.counters["depth_latency_median_ms"] = percentile(depth_ms, 0.5);
        state.counters["depth_latency_p99_ms"] = percentile(depth_ms, 0.99);
        state.counters["points_latency_median_ms"] = percentile(points_ms, 0.5);
        state.counters["points_latency_p99_ms"] = percentile(points_ms, 0.99);
        state.counters["depth_received_share"] = static_cast<double>(depth_ms.size()) / kFrames;
        state.counters["points_received_share"] = static_cast<double>(points_ms.size()) / kFrames;
    }
}
BENCHMARK(BM_PublishAt60)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
