// Soak: capture at the camera's highest rate for a long time, with several threads fetching
// frames, one of them also decoding and switching filters, and report the process's resident
// memory, open file descriptors and threads over time. Left running for hours it shows a leak
// or a lost thread as a slope; with --check it fails when the figures did not stay flat.
//
//   tarvo-vcam --count 1 -- tarvo_soak [--seconds N] [--threads N] [--fps N]
//                                     [--report N] [--check] [--rss-slack MB]
//
// --seconds defaults to TARVO_SOAK_SECONDS, else 120. The camera is the first one listed.
#include <tarvo/tarvo.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxFrameBytes = 328 * 252 * 8;
constexpr int kFrameRateParam = 12;

struct Options {
    long seconds = 120;
    int threads = 3;
    int fps = 1000;  // more than the virtual camera delivers: it sends as fast as it can
    long report = 10;
    bool check = false;
    // Growth that --check tolerates between the first sample after warm-up and the last one:
    // allocator and sanitizer caches settle in steps of this order.
    long rss_slack_kb = 16 * 1024;
};

struct Sample {
    double t;
    long rss_kb;
    long fds;
    long threads;
    uint64_t frames;
};

long status_field(const char *name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t len = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ':')
            return std::atol(line.c_str() + len + 1);
    }
    return -1;
}

long open_fds() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    long n = 0;
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    closedir(dir);
    return n - 1;  // the listing's own descriptor
}

bool parse(int argc, char **argv, Options &o) {
    if (const char *env = std::getenv("TARVO_SOAK_SECONDS"))
        o.seconds = std::atol(env);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--check") {
            o.check = true;
        } else if (arg == "--seconds" && has_value) {
            o.seconds = std::atol(argv[++i]);
        } else if (arg == "--threads" && has_value) {
            o.threads = std::atoi(argv[++i]);
        } else if (arg == "--fps" && has_value) {
            o.fps = std::atoi(argv[++i]);
        } else if (arg == "--report" && has_value) {
            o.report = std::atol(argv[++i]);
        } else if (arg == "--rss-slack" && has_value) {
            o.rss_slack_kb = std::atol(argv[++i]) * 1024;
        } else {
            std::fprintf(stderr,
                         "usage: tarvo_soak [--seconds N] [--threads N] [--fps N] [--report N] "
                         "[--check] [--rss-slack MB]\n");
            return false;
        }
    }
    o.seconds = std::max(o.seconds, 1L);
    o.threads = std::clamp(o.threads, 1, 16);
    o.report = std::clamp(o.report, 1L, o.seconds);
    return true;
}

class Soak {
  public:
    explicit Soak(const Options &o) : opt_(o) {}

    bool open() {
        if (tarvo_dev_open(&dev_) == nullptr) {
            std::fprintf(stderr, "tarvo_soak: no camera to open\n");
            return false;
        }
        tarvo_param_item_t rate{};
        rate.param_id = kFrameRateParam;
        rate.param_val_len = 4;
        std::memcpy(rate.param_val, &opt_.fps, sizeof opt_.fps);
        return tarvo_param_batch_set(&dev_, &rate, 1) &&
               tarvo_cap_set_frame_buffer(&dev_, nullptr, 8 * TARVO_CAP_FRAME_UNIT) &&
               tarvo_cap_start(&dev_);
    }

    void run(std::vector<Sample> &samples) {
        std::vector<std::thread> workers;
        for (int i = 0; i < opt_.threads; ++i)
            workers.emplace_back([this, i] { fetch_loop(i == 0); });
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(opt_.seconds);
        auto next = start;
        while (Clock::now() < end) {
            next += std::chrono::seconds(opt_.report);
            std::this_thread::sleep_until(std::min(next, end));
            samples.push_back(sample(std::chrono::duration<double>(Clock::now() - start).count()));
            const Sample &s = samples.back();
            std::printf("t=%6.0fs rss=%ld kB fds=%ld threads=%ld frames=%llu errors=%llu\n", s.t,
                        s.rss_kb, s.fds, s.threads, static_cast<unsigned long long>(s.frames),
                        static_cast<unsigned long long>(errors_.load()));
            std::fflush(stdout);
        }
        stop_ = true;
        tarvo_cap_stop(&dev_);  // wakes every fetching thread
        for (auto &w : workers)
            w.join();
        tarvo_dev_close(&dev_);
    }

    uint64_t frames() const { return frames_.load(); }

  private:
    Sample sample(double t) const {
        return {t, status_field("VmRSS"), open_fds(), status_field("Threads"), frames_.load()};
    }

    // Only the first thread decodes and switches filters: the processing pipeline serves one
    // application thread at a time.
    void fetch_loop(bool decodes) {
        std::vector<uint8_t> buf(kMaxFrameBytes);
        std::vector<float> image(kMaxFrameBytes / sizeof(float));
        tarvo_drv_t *drv = decodes ? tarvo_dev_get_drv(&dev_) : nullptr;
        uint64_t mine = 0;
        while (!stop_) {
            tarvo_frame_info_t info{};
            const int n = tarvo_cap_get_frames(&dev_, 1, buf.data(), kMaxFrameBytes, &info);
            if (n != 1) {
                if (!stop_)
                    ++errors_;
                continue;
            }
            ++frames_;
            ++mine;
            if (drv == nullptr || drv->ops == nullptr)
                continue;
            if (drv->ops->frame_decode != nullptr) {
                drv->ops->frame_decode(
                    drv, image.data(), static_cast<uint32_t>(image.size() * sizeof(float)), 1,
                    reinterpret_cast<const uint16_t *>(buf.data()), info.frame_size, &info);
            }
            switch_filter(drv, mine);
        }
    }

    static void switch_filter(tarvo_drv_t *drv, uint64_t frame) {
        if (frame % 16 != 0)
            return;
        const int filter = static_cast<int>(frame / 16 % 4);
        if (frame / 64 % 2 == 0 && drv->ops->filter_enable != nullptr)
            drv->ops->filter_enable(drv, filter, nullptr, 0);
        else if (drv->ops->filter_disable != nullptr)
            drv->ops->filter_disable(drv, filter);
    }

    const Options opt_;
    tarvo_dev_t dev_{};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0};
    std::atomic<uint64_t> errors_{0};
};

// Flat: from the first sample after a warm-up of a fifth of the run, descriptors and threads
// do not change and resident memory grows by less than the slack.
bool flat(const std::vector<Sample> &samples, long rss_slack_kb) {
    if (samples.size() < 2) {
        std::fprintf(stderr, "tarvo_soak: too few samples to judge\n");
        return false;
    }
    const Sample &last = samples.back();
    const Sample *base = &samples.front();
    for (const Sample &s : samples) {
        if (s.t >= last.t / 5) {
            base = &s;
            break;
        }
    }
    bool ok = true;
    for (const Sample &s : samples) {
        if (s.t < base->t)
            continue;
        if (s.fds != base->fds || s.threads != base->threads) {
            std::fprintf(stderr, "tarvo_soak: at %.0f s %ld fds, %ld threads (were %ld, %ld)\n",
                         s.t, s.fds, s.threads, base->fds, base->threads);
            ok = false;
        }
    }
    if (last.rss_kb - base->rss_kb > rss_slack_kb) {
        std::fprintf(stderr, "tarvo_soak: resident memory grew from %ld kB to %ld kB\n",
                     base->rss_kb, last.rss_kb);
        ok = false;
    }
    if (last.frames <= base->frames) {
        std::fprintf(stderr, "tarvo_soak: no frames after %.0f s\n", base->t);
        ok = false;
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    if (!parse(argc, argv, opt))
        return 2;
    zr_log_enable(0, 4, nullptr);  // errors only on the console
    Soak soak(opt);
    if (!soak.open())
        return 1;
    std::vector<Sample> samples;
    samples.reserve(static_cast<size_t>(opt.seconds / opt.report + 2));
    soak.run(samples);
    const Sample &last = samples.back();
    std::printf("soak: %llu frames in %.0f s (%.1f frames/s)\n",
                static_cast<unsigned long long>(soak.frames()), last.t,
                static_cast<double>(soak.frames()) / last.t);
    if (opt.check && !flat(samples, opt.rss_slack_kb))
        return 1;
    return 0;
}
