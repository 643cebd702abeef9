// tarvo publish: the first camera's depth, gray, camera info and point cloud on the DDS bus under
// ROS 2's topic and type names, for ROS 2 nodes and plain DDS programs anywhere on the network.
#if TARVO_TOOL_DDS
#include <time.h>

#include <memory>
#include <optional>
#include <vector>

#include "commands.h"
#include "dds_publisher.h"
#include "reconnect.h"
#include "stop_signal.h"

namespace tarvo::tool {
namespace {

struct PublishOptions {
    std::string ns = "tarvo";
    uint32_t domain = 0;
    std::string frame_id;  // empty: NS_optical_frame
    bool no_points = false;
    double rate = 0;      // most messages per topic and second; 0: every frame
    unsigned frames = 0;  // 0: until stopped
    bool json = false;    // the summary as one JSON object, nothing else on standard output
    unsigned reconnect_wait = kWaitUntilStopped;
    CameraSelector camera;
    CaptureSettings settings;
};

constexpr uint32_t kBufferFrames = 10;

bool start(tarvo_dev_t *dev) {
    return start_capture(dev, kBufferFrames);
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Publishes frame by frame until stopped, the frame count is reached or the camera is gone.
class FramePublisher {
  public:
    FramePublisher(tarvo_dev_t *dev, const PublishOptions &opt, dds::Publisher &pub)
        : dev_(dev),
          opt_(opt),
          pub_(pub),
          header_{{}, opt.frame_id.empty() ? dds::optical_frame_id(opt.ns) : opt.frame_id} {}

    int run() {
        std::vector<uint8_t> raw(4 * TARVO_CAP_FRAME_UNIT);
        while (!stop_requested() && (opt_.frames == 0 || published_ < opt_.frames)) {
            tarvo_frame_info_t info{};
            const int n =
                tarvo_cap_get_frames(dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info);
            const uint64_t arrival = arrival_time(n);
            if (stop_requested())
                break;
            if (n <= 0 && opt_.reconnect_wait > 0 && camera_left(dev_)) {
                // The camera returns with its driver's settings: the command line's come first.
                const auto restart = [this](tarvo_dev_t *d) {
                    return apply_capture_settings(d, opt_.settings) && start(d);
                };
                if (!resume_after_unplug(
                        dev_, {opt_.reconnect_wait, [] { return stop_requested().load(); }},
                        restart))
                    return stop_requested() ? kDone : fail("the camera did not come back");
                continue;
            }
            if (n < 0)
                return fail("capture failed: %s", tarvo_error_name(n));
            if (n == 0)
                continue;  // no frame before the time-out; the camera may be slow to start
            if (!due(arrival))
                continue;
            if (!publish(raw, info, arrival))
                return fail("cannot convert the camera's frames for publishing");
        }
        return kDone;
    }

    unsigned published() const { return published_; }

  private:
    // The wall-clock time the fetched frame's last byte arrived, as the library took it; the
    // time of the fetch when it has none.
    uint64_t arrival_time(int fetched) {
        tarvo_frame_time_t time{};
        if (fetched == 1 && tarvo_cap_get_frame_times(dev_, &time, 1) == 1)
            return time.realtime_ns;
        return dds::wall_clock_ns();
    }

    // With --rate, a frame is published when at least 1/rate has passed since the last one.
    bool due(uint64_t arrival) {
        if (opt_.rate <= 0)
            return true;
        const auto period = static_cast<uint64_t>(1e9 / opt_.rate);
        if (published_ > 0 && arrival - last_ns_ < period)
            return false;
        last_ns_ = published_ > 0 && arrival - last_ns_ < 2 * period ? last_ns_ + period : arrival;
        return true;
    }

    bool publish(const std::vector<uint8_t> &raw, const tarvo_frame_info_t &info,
                 uint64_t arrival) {
        if (!ros::decode_frame(dev_, raw.data(), info.frame_size, info, frame_))
            return true;  // the library logged it; the next frame may decode
        header_.stamp = ros::time_from_ns(arrival);
        if (!converter_.convert(dev_, frame_, header_, !opt_.no_points, content_))
            return false;
        if (!pub_.publish(content_, !opt_.no_points))
            std::fprintf(stderr, "tarvo: DDS refused a sample\n");
        ++published_;
        return true;
    }

    tarvo_dev_t *dev_;
    const PublishOptions &opt_;
    dds::Publisher &pub_;
    ros::Header header_;
    ros::DecodedFrame frame_;
    ros::FrameConverter converter_;
    ros::FrameContent content_;
    unsigned published_ = 0;
    uint64_t last_ns_ = 0;
};

int publish(tarvo_dev_t *dev, const PublishOptions &opt) {
    std::string error;
    const std::unique_ptr<dds::Publisher> pub = dds::Publisher::create(opt.domain, opt.ns, error);
    if (!pub)
        return fail("%s", error.c_str());
    std::optional<CleanStdout> clean;  // with --json only the summary goes to standard output
    if (opt.json)
        clean.emplace();
    else {
        print_identification(dev);
        std::printf("publishing on DDS domain %u: %s, %s, %s%s%s\n", opt.domain,
                    dds::dds_topic_name(opt.ns, dds::Topic::Depth).c_str(),
                    dds::dds_topic_name(opt.ns, dds::Topic::CameraInfo).c_str(),
                    dds::dds_topic_name(opt.ns, dds::Topic::Gray).c_str(),
                    opt.no_points ? "" : ", ",
                    opt.no_points ? "" : dds::dds_topic_name(opt.ns, dds::Topic::Points).c_str());
    }
    std::fflush(stdout);
    reset_discarded_frames();
    if (!start(dev))
        return fail("capture did not start");
    stop_on_signals();
    const double cpu_begin = cpu_seconds();
    FramePublisher frames(dev, opt, *pub);
    const int result = frames.run();
    const double cpu = cpu_seconds() - cpu_begin;
    tarvo_cap_stop(dev);
    tarvo_cap_set_callback_on_error(dev, nullptr);
    const double cpu_ms = frames.published() > 0 ? cpu * 1e3 / frames.published() : 0.0;
    if (clean)
        std::fprintf(clean->out(),
                     "{\"published\": %u, \"discarded\": %u, \"cpu_ms_per_frame\": %.3f}\n",
                     frames.published(), discarded_frames(), cpu_ms);
    else
        std::printf("published %u frame(s), discarded %u, cpu %.2f ms per frame\n",
                    frames.published(), discarded_frames(), cpu_ms);
    return result;
}

}  // namespace

void add_publish_command(Tool &tool) {
    auto opt = std::make_shared<PublishOptions>();
    opt->domain = dds::default_domain_id();
    CLI::App *cmd = tool.app.add_subcommand(
        "publish", "publish the first camera on the DDS bus as ROS 2 topics (Cyclone DDS)");
    cmd->add_option("--namespace", opt->ns, "ROS namespace of the topics (default tarvo)")
        ->check([](const std::string &ns) {
            return dds::valid_namespace(ns) ? std::string() : "not a ROS name: " + ns;
        });
    cmd->add_option("--domain", opt->domain, "DDS domain id (default ROS_DOMAIN_ID or 0)")
        ->check(CLI::Range(0u, 232u));
    cmd->add_option("--frame-id", opt->frame_id,
                    "frame id of the headers (default NS_optical_frame)");
    cmd->add_flag("--no-points", opt->no_points, "publish no point clouds");
    cmd->add_option("--rate", opt->rate, "publish at most HZ frames per second (default all)")
        ->check(CLI::Range(0.0, 1000.0));
    cmd->add_option("-n,--frames", opt->frames, "stop after N frames (default: until stopped)");
    add_reconnect_option(cmd, opt->reconnect_wait, "until stopped");
    add_camera_option(cmd, opt->camera);
    add_capture_options(cmd, opt->settings);
    cmd->add_flag("--json", opt->json, "the closing summary as one JSON object");
    tool.on_run(cmd, [opt] {
        return with_camera(opt->camera, opt->settings,
                           [&](tarvo_dev_t *dev) { return publish(dev, *opt); });
    });
}

}  // namespace tarvo::tool
#endif
