// tarvo capture and tarvo demo: frames from the first camera, with a summary of what arrived.
#include <signal.h>
#include <time.h>

#include <csignal>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "files/safe_file.h"
#include "reconnect.h"

namespace tarvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

struct CaptureOptions {
    unsigned frames = 30;
    std::string output;
    unsigned reconnect_wait = 30;  // seconds a camera that left may take to return; 0: fail
    CameraSelector camera;
    CaptureSettings settings;
};

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Tally {
    unsigned received = 0;
    unsigned dropped = 0;
    FrameGaps gaps;
    Clock::time_point first, last;

    void add(const tarvo_frame_info_t &info) {
        const auto now = Clock::now();
        if (received == 0)
            first = now;
        dropped += gaps.lost_before(info.frame_idx);
        last = now;
        ++received;
    }
    // From the first frame to the last, so the start-up does not count.
    double rate() const {
        const double secs = std::chrono::duration<double>(last - first).count();
        return received > 1 && secs > 0 ? (received - 1) / secs : 0.0;
    }
};

// The frames go to a temporary file that takes the target's name only when complete
// (files::OutputFile); without -o nothing is written.
class FrameFile {
  public:
    bool open(const std::string &target) {
        out_.emplace(target);
        return out_->open();
    }
    bool write(const uint8_t *data, size_t size) { return !out_ || out_->write(data, size); }
    bool commit() { return !out_ || out_->commit(); }
    std::string error() const { return out_ ? out_->error() : std::string(); }

  private:
    std::optional<files::OutputFile> out_;
};

constexpr uint32_t kBufferFrames = 10;

// Ctrl-C ends the capture early: the frames so far are kept and summarised.
volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

// SIGINT sets g_interrupted while the object lives; the previous action comes back after.
class InterruptFlag {
  public:
    InterruptFlag() {
        g_interrupted = 0;
        struct sigaction action {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptFlag() { sigaction(SIGINT, &previous_, nullptr); }
    InterruptFlag(const InterruptFlag &) = delete;
    InterruptFlag &operator=(const InterruptFlag &) = delete;

  private:
    struct sigaction previous_ {};
};

bool start_capture(tarvo_dev_t *dev) {
    return tool::start_capture(dev, kBufferFrames);
}

int fetch_frames(tarvo_dev_t *dev, const CaptureOptions &opt, FrameFile &file, Tally &tally) {
    std::vector<uint8_t> frame(4 * TARVO_CAP_FRAME_UNIT);
    ProgressLine progress;
    while (tally.received < opt.frames && !g_interrupted) {
        tarvo_frame_info_t info{};
        const int n =
            tarvo_cap_get_frames(dev, 1, frame.data(), static_cast<uint32_t>(frame.size()), &info);
        if (n <= 0 && opt.reconnect_wait > 0 && camera_left(dev)) {
            progress.clear();
            // The camera returns with its driver's settings: the command line's come first.
            const auto restart = [&opt](tarvo_dev_t *d) {
                return apply_capture_settings(d, opt.settings) && start_capture(d);
            };
            if (!resume_after_unplug(dev, {opt.reconnect_wait, nullptr}, restart))
                return fail("the camera did not come back");
            tally.gaps.restart();
            continue;
        }
        if (n < 0) {
            progress.clear();
            return fail("capture failed: %s", tarvo_error_name(n));
        }
        if (n <= 0 && g_interrupted)
            break;
        if (n == 0) {
            progress.clear();
            return fail("no frame before the time-out");
        }
        tally.add(info);
        if (!file.write(frame.data(), info.frame_size)) {
            progress.clear();
            return fail("cannot write %s", opt.output.c_str());
        }
        progress.show("frames %u/%u, %.1f fps", tally.received, opt.frames, tally.rate());
        if (!progress.shown() && (tally.received == 1 || tally.received == opt.frames)) {
            std::printf("frame %u: index %u, %u bytes, %ux%u, format %u\n", tally.received,
                        info.frame_idx, info.frame_size, info.width, info.height,
                        info.frame_format);
        }
    }
    return kDone;
}

int capture_frames(tarvo_dev_t *dev, const CaptureOptions &opt) {
    FrameFile file;
    if (!opt.output.empty() && !file.open(opt.output))
        return fail("%s", file.error().c_str());
    reset_discarded_frames();
    const InterruptFlag interrupt;
    if (!start_capture(dev))
        return fail("capture did not start");
    const auto begin = Clock::now();
    const double cpu_begin = cpu_seconds();
    Tally tally;
    int result = fetch_frames(dev, opt, file, tally);
    tarvo_cap_stop(dev);
    tarvo_cap_set_callback_on_error(dev, nullptr);
    const double cpu = cpu_seconds() - cpu_begin;
    const double secs = std::chrono::duration<double>(Clock::now() - begin).count();
    if (result == kDone && !file.commit())
        result = fail("%s", file.error().c_str());
    std::printf("captured %u frame(s) in %.2f s (%.1f fps)%s\n", tally.received, secs, tally.rate(),
                g_interrupted ? ", interrupted" : "");
    std::printf("received %u, dropped %u, discarded %u, %.1f fps, cpu %.2f ms per frame\n",
                tally.received, tally.dropped, discarded_frames(), tally.rate(),
                tally.received > 0 ? cpu * 1e3 / tally.received : 0.0);
    return result;
}

int capture(const CaptureOptions &opt) {
    return with_camera(opt.camera, opt.settings, [&](tarvo_dev_t *dev) {
        print_identification(dev);
        return capture_frames(dev, opt);
    });
}

int list_then_capture(const CaptureOptions &opt) {
    const int result = print_camera_list();
    return result == kDone ? capture(opt) : result;
}

void add_frame_options(CLI::App *cmd, CaptureOptions &opt) {
    cmd->add_option("-n,--frames", opt.frames, "frames to capture (default 30)")
        ->check(CLI::Range(1u, 1000000u));
    cmd->add_option("-o,--output", opt.output,
                    "write the captured frames to FILE as raw bytes, one frame after the other "
                    "(`tarvo record` writes a recording with times and settings); Ctrl-C keeps "
                    "the frames so far");
    add_reconnect_option(cmd, opt.reconnect_wait, "30");
    add_camera_option(cmd, opt.camera);
    add_capture_options(cmd, opt.settings);
}

}  // namespace

void add_capture_commands(Tool &tool) {
    auto opt = std::make_shared<CaptureOptions>();
    // The options before the command, as in earlier versions of the tool (tarvo -n 5 capture).
    tool.app.add_option("-n", opt->frames, "frames to capture (capture, demo)")
        ->check(CLI::Range(1u, 1000000u))
        ->group("");
    tool.app.add_option("-o", opt->output, "raw frame file (capture, demo)")->group("");

    CLI::App *capture_cmd =
        tool.app.add_subcommand("capture", "capture frames from the first camera");
    add_frame_options(capture_cmd, *opt);
    tool.on_run(capture_cmd, [opt] { return capture(*opt); });

    CLI::App *demo =
        tool.app.add_subcommand("demo", "list, show the first camera and capture from it");
    add_frame_options(demo, *opt);
    tool.on_run(demo, [opt] { return list_then_capture(*opt); });
}

}  // namespace tarvo::tool
