#include "reconnect.h"

#include <tarvo/hotplug.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace tarvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

bool camera_listed(const tarvo_dev_t *dev, bool same_address) {
    tarvo_dev_t list[16] = {};
    const int n = tarvo_dev_list(list, 16);
    for (int i = 0; i < n; ++i) {
        if (list[i].bus == dev->bus && list[i].port == dev->port &&
            (!same_address || list[i].address == dev->address))
            return true;
    }
    return false;
}

bool stopped(const ReconnectWait &wait) {
    return wait.stopping && wait.stopping();
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

    bool wait(const ReconnectWait &how) {
        const bool limited = how.seconds != kWaitUntilStopped;
        const auto deadline = Clock::now() + std::chrono::seconds(limited ? how.seconds : 0);
        std::unique_lock<std::mutex> lock(mutex_);
        while (!arrived_ && (!limited || Clock::now() < deadline)) {
            lock.unlock();
            if (camera_listed(dev_, false))
                return true;
            if (stopped(how))
                return false;
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

}  // namespace

// Transfers fail before the bus lists the camera as gone, so the bus gets a second to catch up.
bool camera_left(const tarvo_dev_t *dev) {
    for (int i = 0; i < 10; ++i) {
        if (!camera_listed(dev, true))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void add_reconnect_option(CLI::App *cmd, unsigned &seconds, const std::string &default_text) {
    cmd->add_option("--reconnect-wait", seconds,
                    "seconds to wait for an unplugged camera to return (default " + default_text +
                        ", 0: fail)")
        ->check(CLI::Range(0u, 86400u));
}

bool resume_after_unplug(tarvo_dev_t *dev, const ReconnectWait &wait,
                         const std::function<bool(tarvo_dev_t *)> &restart) {
    if (wait.seconds == kWaitUntilStopped)
        std::fprintf(stderr, "tarvo: camera left; waiting for it to return\n");
    else
        std::fprintf(stderr, "tarvo: camera left; waiting up to %u s for it to return\n",
                     wait.seconds);
    tarvo_dev_close(dev);
    ReturnWatch watch(dev);
    if (!watch.wait(wait))
        return false;
    // A camera that has just arrived may still be settling on the bus.
    for (int attempt = 0; attempt < 10 && !stopped(wait); ++attempt) {
        if (tarvo_dev_open(dev) != nullptr) {
            if (restart(dev)) {
                std::fprintf(stderr, "tarvo: camera back, capture resumed\n");
                return true;
            }
            tarvo_dev_close(dev);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    return false;
}

}  // namespace tarvo::tool
