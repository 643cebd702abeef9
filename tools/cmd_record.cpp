// tarvo record: the first camera's frames into an MCAP file (raw frames bit-exact, optionally
// the depth image with its camera info and the organized point cloud as ROS 2 messages). Ctrl-C
// or SIGTERM end the recording with a complete file.
#include <atomic>
#include <cinttypes>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include <unistd.h>

#include "commands.h"
#include "recorder.h"

namespace tarvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

struct RecordCommandOptions {
    std::string output;
    uint64_t frames = 0;  // 0: until stopped
    double seconds = 0;   // 0: until stopped
    bool depth = false;
    bool points = false;
    bool json = false;
    CameraSelector camera;
    CaptureSettings settings;
};

constexpr uint32_t kBufferFrames = 30;  // half a second at 60 fps while the writer catches up

std::atomic<bool> g_stop{false};

void on_stop_signal(int) {
    g_stop = true;
}

// Ctrl-C and SIGTERM end the recording instead of the process while it lives.
class StopSignals {
  public:
    StopSignals() {
        g_stop = false;
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

bool done(const RecordCommandOptions &opt, uint64_t frames, Clock::time_point begin) {
    if (g_stop.load())
        return true;
    if (opt.frames != 0 && frames >= opt.frames)
        return true;
    return opt.seconds > 0 &&
           std::chrono::duration<double>(Clock::now() - begin).count() >= opt.seconds;
}

// Captures into the recorder until done; kDone, or kFailed after a message.
int record_frames(tarvo_dev_t *dev, const RecordCommandOptions &opt, recording::Recorder &rec) {
    std::vector<uint8_t> frame(4 * TARVO_CAP_FRAME_UNIT);
    ProgressLine progress;
    const auto begin = Clock::now();
    uint64_t frames = 0;
    while (!done(opt, frames, begin)) {
        tarvo_frame_info_t info{};
        const int n =
            tarvo_cap_get_frames(dev, 1, frame.data(), static_cast<uint32_t>(frame.size()), &info);
        if (n < 0 || (n == 0 && !g_stop.load())) {
            progress.clear();
            return n < 0 ? fail("capture failed: %s", tarvo_error_name(n))
                         : fail("no frame before the time-out");
        }
        if (n == 0)
            break;
        if (info.frame_size > frame.size()) {
            progress.clear();
            return fail("frame %u of %u bytes is larger than any frame of the camera",
                        info.frame_idx, info.frame_size);
        }
        tarvo_frame_time_t time{};
        tarvo_cap_get_frame_times(dev, &time, 1);
        std::string error;
        if (!rec.add_frame(frame.data(), info, time, error)) {
            progress.clear();
            return fail("%s", error.c_str());
        }
        ++frames;
        const recording::RecordSummary s = rec.summary();
        progress.show("recording %s: %" PRIu64 " frames, %.1f MB", opt.output.c_str(), s.frames,
                      static_cast<double>(s.file_bytes) / 1e6);
    }
    progress.clear();
    return kDone;
}

void print_summary(const RecordCommandOptions &opt, const recording::RecordSummary &s,
                   double secs) {
    const double ratio = s.compression_ratio;
    if (opt.json) {
        std::printf("{\"file\":%s,\"frames\":%" PRIu64
                    ",\"lost\":%u,\"seconds\":%.3f,"
                    "\"bytes_written\":%" PRIu64 ",\"message_bytes\":%" PRIu64
                    ",\"compression_ratio\":%.3f}\n",
                    json_string(opt.output).c_str(), s.frames, s.lost, secs, s.file_bytes,
                    s.message_bytes, ratio);
        return;
    }
    std::printf("recorded %" PRIu64 " frames (%u lost) in %.2f s to %s: %" PRIu64
                " bytes written, compression ratio %.2f\n",
                s.frames, s.lost, secs, opt.output.c_str(), s.file_bytes, ratio);
}

int record(tarvo_dev_t *dev, const RecordCommandOptions &opt) {
    StopSignals signals;
    recording::RecordOptions ro;
    ro.depth = opt.depth;
    ro.points = opt.points;
    if (opt.settings.min_amplitude)
        ro.decoding.emplace_back("min_amplitude", std::to_string(*opt.settings.min_amplitude));
    ro.decoding.emplace_back("hdr", opt.settings.hdr ? "on" : "off");
    ro.decoding.emplace_back("undistort", opt.settings.undistort ? "on" : "off");
    recording::Recorder rec;
    std::string error;
    if (!rec.open(dev, opt.output, ro, error)) {
        std::remove(opt.output.c_str());
        return fail("%s", error.c_str());
    }
    reset_discarded_frames();
    const auto begin = Clock::now();
    int result = kFailed;
    if (!start_capture(dev, kBufferFrames))
        fail("capture did not start");
    else
        result = record_frames(dev, opt, rec);
    tarvo_cap_stop(dev);
    tarvo_cap_set_callback_on_error(dev, nullptr);
    if (!rec.finish(error))
        result = fail("%s", error.c_str());
    print_summary(opt, rec.summary(), std::chrono::duration<double>(Clock::now() - begin).count());
    return result;
}

// The output's folder must exist and take files before the camera is touched: a recording that
// cannot be written is refused at once, not after the camera was opened and set up.
int check_output_folder(const std::string &output) {
    std::filesystem::path folder = std::filesystem::path(output).parent_path();
    if (folder.empty())
        folder = ".";
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
        return fail("cannot create %s: %s is not a folder", output.c_str(), folder.c_str());
    if (access(folder.c_str(), W_OK) != 0)
        return fail("cannot create %s: %s", output.c_str(), std::strerror(errno));
    return kDone;
}

}  // namespace

void add_record_command(Tool &tool) {
    auto opt = std::make_shared<RecordCommandOptions>();
    CLI::App *cmd = tool.app.add_subcommand(
        "record", "record a camera's frames into an MCAP file (Ctrl-C ends it)");
    cmd->add_option("-o,--output", opt->output, "MCAP file to write")->required();
    auto *n = cmd->add_option("-n,--frames", opt->frames,
                              "frames to record (default: until "
                              "Ctrl-C)")
                  ->check(number_check(UINT32_MAX, 1));
    cmd->add_option("--seconds", opt->seconds, "seconds to record")
        ->check(CLI::PositiveNumber)
        ->excludes(n);
    cmd->add_flag("--depth", opt->depth,
                  "add the depth image (sensor_msgs/Image, 32FC1) and its camera info");
    cmd->add_flag("--points", opt->points, "add the organized point cloud (PointCloud2)");
    cmd->add_flag("--json", opt->json, "print the summary as one JSON object");
    add_camera_option(cmd, opt->camera);
    add_capture_options(cmd, opt->settings);
    tool.on_run(cmd, [opt] {
        if (check_output_folder(opt->output) != kDone)
            return kFailed;
        return with_camera(opt->camera, opt->settings,
                           [&](tarvo_dev_t *dev) { return record(dev, *opt); });
    });
}

}  // namespace tarvo::tool
