// tarvo capture and tarvo demo: frames from the first camera, with a summary of what arrived.
#include <time.h>

#include <tarvo/hotplug.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "commands.h"

namespace tarvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

struct CaptureOptions {
    unsigned frames = 30;
    std::string output;
    unsigned reconnect_wait = 30;  // seconds a camera that left may take to return; 0: fail
};

// The error callback has no user pointer, and there is one capture per process.
std::atomic<uint32_t> g_discarded{0};

bool on_capture_error(tarvo_dev_t *, int err, uint32_t arg) {
    if (err == TARVO_ERR_CAP_FRAME_DISCARD)
        g_discarded = arg;  // the parser's running total
    return true;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Tally {
    unsigned received = 0;
    unsigned dropped = 0;
    uint16_t last_index = 0;
    Clock::time_point first, last;

    void add(const tarvo_frame_info_t &info) {
        const auto now = Clock::now();
        if (received == 0) {
            first = now;
        } else {
            // Frame indices count modulo 65536; a gap means frames the camera sent and we lost.
            const uint16_t step = static_cast<uint16_t>(info.frame_idx - last_index);
            if (step > 1)
                dropped += step - 1u;
        }
        last = now;
        last_index = info.frame_idx;
        ++received;
    }
    // From the first frame to the last, so the start-up does not count.
    double rate() const {
        const double secs = std::chrono::duration<double>(last - first).count();
        return received > 1 && secs > 0 ? (received - 1) / secs : 0.0;
    }
};

// Writes the frames to a temporary file that takes the target's name only when complete.
class FrameFile {
  public:
    bool open(const std::string &target) {
        target_ = target;
        temp_ = target + ".part";
        file_ = std::fopen(temp_.c_str(), "wb");
        return file_ != nullptr;
    }
    ~FrameFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
            std::remove(temp_.c_str());
        }
    }
    bool write(const uint8_t *data, size_t size) {
        return file_ == nullptr || std::fwrite(data, 1, size, file_) == size;
    }
    bool commit() {
        if (file_ == nullptr)
            return true;
        const bool ok = std::fclose(file_) == 0;
        file_ = nullptr;
        if (ok && std::rename(temp_.c_str(), target_.c_str()) == 0)
            return true;
        std::remove(temp_.c_str());
        return false;
    }

  private:
    std::string target_, temp_;
    std::FILE *file_ = nullptr;
};

constexpr uint32_t kBufferFrames = 10;

bool start_capture(tarvo_dev_t *dev) {
    tarvo_cap_set_callback_on_error(dev, on_capture_error);
    return tarvo_cap_set_frame_buffer(dev, nullptr, kBufferFrames * TARVO_CAP_FRAME_UNIT) &&
           tarvo_cap_start(dev);
}

bool camera_listed(const tarvo_dev_t *dev) {
    tarvo_dev_t list[16] = {};
    const int n = tarvo_dev_list(list, 16);
    for (int i = 0; i < n; ++i) {
        if (list[i].bus == dev->bus && list[i].port == dev->port && list[i].address == dev->address)
            return true;
    }
    return false;
}

// True when no camera sits at the handle's place any more: unplugged, or back under a new
// address after re-enumerating. Transfers fail before the bus lists the camera as gone, so the
// bus gets a second to catch up.
bool camera_left(const tarvo_dev_t *dev) {
    for (int i = 0; i < 10; ++i) {
        if (!camera_listed(dev))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool camera_at_port(const tarvo_dev_t *dev) {
    tarvo_dev_t list[16] = {};
    const int n = tarvo_dev_list(list, 16);
    for (int i = 0; i < n; ++i) {
        if (list[i].bus == dev->bus && list[i].port == dev->port)
            return true;
    }
    return false;
}

// Waits for a camera to arrive at the handle's port: woken by hot-plug notices, and looking at
// the bus itself now and then in case the camera came back before the notices were set up.
class ReturnWatch {
  public:
    explicit ReturnWatch(const tarvo_dev_t *dev) : dev_(dev) {
        tarvo_dev_set_hotplug_callback(on_notice, this);
    }
    ~ReturnWatch() { tarvo_dev_set_hotplug_callback(nullptr, nullptr); }
    ReturnWatch(const ReturnWatch &) = delete;
    ReturnWatch &operator=(const ReturnWatch &) = delete;

    bool wait(std::chrono::seconds limit) {
        const auto deadline = Clock::now() + limit;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!arrived_ && Clock::now() < deadline) {
            lock.unlock();
            if (camera_at_port(dev_))
                return true;
            lock.lock();
            changed_.wait_for(lock, std::chrono::milliseconds(500), [this] { return arrived_; });
        }
        return arrived_;
    }

  private:
    static void on_notice(const tarvo_dev_t *dev, int event, void *arg) {
        auto *self = static_cast<ReturnWatch *>(arg);
        if (event != TARVO_HOTPLUG_ARRIVED || dev->bus != self->dev_->bus ||
            dev->port != self->dev_->port)
            return;
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->arrived_ = true;
        self->changed_.notify_all();
    }

    const tarvo_dev_t *dev_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool arrived_ = false;  // guarded by mutex_
};

// After the camera left: closes the handle, waits for the camera to return to its port, opens
// it again and restarts capture. False when it did not return in time or did not start.
bool resume_after_unplug(tarvo_dev_t *dev, const CaptureOptions &opt) {
    std::fprintf(stderr, "tarvo: camera left; waiting up to %u s for it to return\n",
                 opt.reconnect_wait);
    tarvo_dev_close(dev);
    ReturnWatch watch(dev);
    if (!watch.wait(std::chrono::seconds(opt.reconnect_wait)))
        return false;
    // A camera that has just arrived may still be settling on the bus.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (tarvo_dev_open(dev) != nullptr) {
            if (start_capture(dev)) {
                std::fprintf(stderr, "tarvo: camera back, capture resumed\n");
                return true;
            }
            tarvo_dev_close(dev);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    return false;
}

int fetch_frames(tarvo_dev_t *dev, const CaptureOptions &opt, FrameFile &file, Tally &tally) {
    std::vector<uint8_t> frame(4 * TARVO_CAP_FRAME_UNIT);
    ProgressLine progress;
    while (tally.received < opt.frames) {
        tarvo_frame_info_t info{};
        const int n =
            tarvo_cap_get_frames(dev, 1, frame.data(), static_cast<uint32_t>(frame.size()), &info);
        if (n <= 0 && opt.reconnect_wait > 0 && camera_left(dev)) {
            progress.clear();
            if (!resume_after_unplug(dev, opt))
                return fail("the camera did not come back");
            continue;
        }
        if (n < 0) {
            progress.clear();
            return fail("capture failed: %s", tarvo_error_name(n));
        }
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
        return fail("cannot write %s", opt.output.c_str());
    g_discarded = 0;
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
        result = fail("cannot write %s", opt.output.c_str());
    std::printf("captured %u frame(s) in %.2f s (%.1f fps)\n", tally.received, secs, tally.rate());
    std::printf("received %u, dropped %u, discarded %u, %.1f fps, cpu %.2f ms per frame\n",
                tally.received, tally.dropped, g_discarded.load(), tally.rate(),
                tally.received > 0 ? cpu * 1e3 / tally.received : 0.0);
    return result;
}

int capture(const CaptureOptions &opt) {
    return with_camera([&](tarvo_dev_t *dev) {
        print_identification(dev);
        return capture_frames(dev, opt);
    });
}

int list_then_capture(const CaptureOptions &opt) {
    const int result = print_camera_list();
    return result == kDone ? capture(opt) : result;
}

void add_capture_options(CLI::App *cmd, CaptureOptions &opt) {
    cmd->add_option("-n,--frames", opt.frames, "frames to capture (default 30)")
        ->check(CLI::Range(1u, 1000000u));
    cmd->add_option("-o,--output", opt.output, "write the captured raw frames to FILE");
    cmd->add_option("--reconnect-wait", opt.reconnect_wait,
                    "seconds to wait for an unplugged camera to return (default 30, 0: fail)")
        ->check(CLI::Range(0u, 86400u));
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
    add_capture_options(capture_cmd, *opt);
    tool.on_run(capture_cmd, [opt] { return capture(*opt); });

    CLI::App *demo =
        tool.app.add_subcommand("demo", "list, show the first camera and capture from it");
    add_capture_options(demo, *opt);
    tool.on_run(demo, [opt] { return list_then_capture(*opt); });
}

}  // namespace tarvo::tool
