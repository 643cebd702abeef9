// tarvo subscribe NS: checks a network without ROS. Receives the topics of a namespace and prints
// each topic's rate, latency (header stamp to arrival) and message size; can save a received
// cloud as PLY.
#if TARVO_TOOL_DDS

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "commands.h"
#include "dds_subscriber.h"
#include "ply_file.h"
#include "stop_signal.h"

namespace tarvo::tool {
namespace {

struct SubscribeOptions {
    std::string ns = "tarvo";
    uint32_t domain = 0;
    double duration = 0;  // seconds; 0: until stopped
    unsigned count = 0;   // stop once every topic brought this many messages; 0: never
    std::string save_ply;
    bool json = false;
};

// What one topic brought during a report period and in all.
struct TopicStats {
    unsigned total = 0;
    unsigned period_count = 0;
    uint64_t period_bytes = 0;
    std::vector<double> latencies_ms;  // of the period

    void add(const dds::Received &r) {
        ++total;
        ++period_count;
        period_bytes += r.bytes;
        const uint64_t stamp =
            static_cast<uint64_t>(r.header.stamp.sec) * 1000000000u + r.header.stamp.nanosec;
        latencies_ms.push_back((static_cast<double>(r.arrival_ns) - static_cast<double>(stamp)) /
                               1e6);
    }
    double median_latency() {
        if (latencies_ms.empty())
            return 0;
        auto mid = latencies_ms.begin() + static_cast<std::ptrdiff_t>(latencies_ms.size() / 2);
        std::nth_element(latencies_ms.begin(), mid, latencies_ms.end());
        return *mid;
    }
    void restart() {
        period_count = 0;
        period_bytes = 0;
        latencies_ms.clear();
    }
};

// Where field `name` of a cloud lies when it is a float32 inside the point; none otherwise.
std::optional<uint32_t> float_field(const ros::PointCloud2 &cloud, const char *name) {
    for (const ros::PointField &f : cloud.fields)
        if (f.name == name && f.datatype == ros::PointField::kFloat32 && f.count >= 1 &&
            uint64_t{f.offset} + 4 <= cloud.point_step)
            return f.offset;
    return std::nullopt;
}

// The cloud's points with a position as x, y, z and a gray colour word from the intensity;
// false with the reason when the message does not describe its data consistently.
bool cloud_points(const ros::PointCloud2 &cloud, std::vector<float> &xyzc, std::string &why) {
    const auto x = float_field(cloud, "x"), y = float_field(cloud, "y"),
               z = float_field(cloud, "z");
    const auto intensity = float_field(cloud, "intensity");
    const uint64_t points = uint64_t{cloud.width} * cloud.height;
    if (!x || !y || !z)
        why = "no float32 x, y and z fields inside the point";
    else if (cloud.is_bigendian)
        why = "big-endian data";
    else if (uint64_t{cloud.row_step} < uint64_t{cloud.point_step} * cloud.width ||
             uint64_t{cloud.row_step} * cloud.height > cloud.data.size())
        why = "data shorter than its rows and points";
    if (!why.empty())
        return false;
    auto at = [&](uint64_t row, uint64_t col, uint32_t offset) {
        float v;
        std::memcpy(&v, &cloud.data[row * cloud.row_step + col * cloud.point_step + offset],
                    sizeof v);
        return v;
    };
    xyzc.clear();
    xyzc.reserve(points * 4);
    for (uint64_t r = 0; r < cloud.height; ++r)
        for (uint64_t c = 0; c < cloud.width; ++c) {
            const float px = at(r, c, *x), py = at(r, c, *y), pz = at(r, c, *z);
            if (!std::isfinite(px) || !std::isfinite(py) || !std::isfinite(pz))
                continue;
            const float g = intensity ? at(r, c, *intensity) : 0.0f;
            const auto level = static_cast<uint32_t>(std::clamp(g / 8.0f, 0.0f, 255.0f));
            xyzc.insert(xyzc.end(), {px, py, pz, static_cast<float>(level * 0x010101u)});
        }
    return true;
}

class Report {
  public:
    Report(const SubscribeOptions &opt) : opt_(opt) {}

    void add(const dds::Received &r) { stats_[static_cast<int>(r.topic)].add(r); }

    bool every_topic_has(unsigned n) const {
        return std::all_of(std::begin(stats_), std::end(stats_),
                           [n](const TopicStats &s) { return s.total >= n; });
    }

    // One line per topic for the `seconds` since the last report.
    void print(double seconds) {
        for (const dds::Topic topic : dds::kTopics) {
            TopicStats &s = stats_[static_cast<int>(topic)];
            const std::string name = opt_.ns + "/" + dds::topic_suffix(topic);
            const double rate = seconds > 0 ? s.period_count / seconds : 0.0;
            const double bytes = s.period_count > 0 ? double(s.period_bytes) / s.period_count : 0;
            if (opt_.json)
                std::printf(
                    "{\"topic\": %s, \"messages\": %u, \"rate_hz\": %.2f, "
                    "\"latency_ms\": %.3f, \"bytes\": %.0f}\n",
                    json_string(name).c_str(), s.total, rate, s.median_latency(), bytes);
            else
                std::printf("%-28s %7.2f Hz  latency %8.3f ms  %9.0f bytes  (%u in all)\n",
                            name.c_str(), rate, s.median_latency(), bytes, s.total);
            s.restart();
        }
        std::fflush(stdout);
    }

  private:
    const SubscribeOptions &opt_;
    TopicStats stats_[dds::kTopicCount];
};

using Clock = std::chrono::steady_clock;

int subscribe(const SubscribeOptions &opt) {
    std::string error;
    const std::unique_ptr<dds::Subscriber> sub = dds::Subscriber::create(opt.domain, opt.ns, error);
    if (!sub)
        return fail("%s", error.c_str());
    stop_on_signals();
    Report report(opt);
    bool ply_saved = opt.save_ply.empty();
    int result = kDone;
    const auto begin = Clock::now();
    auto last_report = begin;
    auto on_sample = [&](const dds::Received &r) {
        report.add(r);
        if (ply_saved || r.topic != dds::Topic::Points)
            return;
        std::vector<float> xyzc;
        std::string why;
        if (!cloud_points(r.cloud, xyzc, why)) {
            std::fprintf(stderr, "tarvo: ignoring a malformed cloud: %s\n", why.c_str());
            return;
        }
        if (!write_ply(opt.save_ply, xyzc, why)) {
            result = fail("cannot write %s: %s", opt.save_ply.c_str(), why.c_str());
            stop_requested() = true;
            return;
        }
        ply_saved = true;
        std::fprintf(stderr, "tarvo: saved a cloud of %zu points to %s\n", xyzc.size() / 4,
                     opt.save_ply.c_str());
    };
    while (!stop_requested()) {
        sub->poll(100, on_sample);
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - begin).count();
        const bool done = (opt.duration > 0 && elapsed >= opt.duration) ||
                          (opt.count > 0 && report.every_topic_has(opt.count) && ply_saved);
        if (done || now - last_report >= std::chrono::seconds(1)) {
            report.print(std::chrono::duration<double>(now - last_report).count());
            last_report = now;
        }
        if (done)
            break;
    }
    if (result == kDone && !ply_saved)
        result = fail("no cloud received to save");
    return result;
}

}  // namespace

void add_subscribe_command(Tool &tool) {
    auto opt = std::make_shared<SubscribeOptions>();
    opt->domain = dds::default_domain_id();
    CLI::App *cmd = tool.app.add_subcommand(
        "subscribe", "receive a namespace's ROS 2 topics over DDS and print rate, latency, size");
    cmd->add_option("namespace", opt->ns, "ROS namespace of the topics (default tarvo)")
        ->check([](const std::string &ns) {
            return dds::valid_namespace(ns) ? std::string() : "not a ROS name: " + ns;
        });
    cmd->add_option("--domain", opt->domain, "DDS domain id (default ROS_DOMAIN_ID or 0)")
        ->check(CLI::Range(0u, 232u));
    cmd->add_option("--duration", opt->duration, "stop after SECONDS (default: until stopped)")
        ->check(CLI::Range(0.0, 1e6));
    cmd->add_option("-n,--count", opt->count, "stop once every topic brought N messages");
    cmd->add_option("--save-ply", opt->save_ply, "save the first well-formed cloud as PLY");
    cmd->add_flag("--json", opt->json, "one JSON object per topic and report");
    tool.on_run(cmd, [opt] { return subscribe(*opt); });
}

}  // namespace tarvo::tool
#endif
