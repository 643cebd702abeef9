// Hot-plug notices: one watching thread with its own libusb context, fed by libusb's hot-plug
// events or, where the platform has none, by comparing listings of the bus.
#include <tarvo/hotplug.h>

#include "api/hotplug_watch.h"

#include <tarvo/log.h>

#include <libusb.h>

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr const char *kTag = "tarvo_dev_set_hotplug_callback";
constexpr uint16_t kVendorId = 0x111B;
constexpr uint16_t kProductId = 0x1238;
constexpr auto kPollInterval = std::chrono::milliseconds(250);
constexpr int kEventWaitMs = 200;

std::atomic<bool> g_use_events{true};

struct Location {
    uint8_t bus = 0;
    uint8_t port = 0;
    uint8_t address = 0;
    uint8_t speed = 0;
    bool operator==(const Location &o) const {
        return std::tie(bus, port, address) == std::tie(o.bus, o.port, o.address);
    }
};

Location location_of(libusb_device *d) {
    return {libusb_get_bus_number(d), libusb_get_port_number(d), libusb_get_device_address(d),
            static_cast<uint8_t>(libusb_get_device_speed(d))};
}

bool is_camera(libusb_device *d) {
    libusb_device_descriptor desc{};
    return libusb_get_device_descriptor(d, &desc) == 0 && desc.idVendor == kVendorId &&
           desc.idProduct == kProductId;
}

std::vector<Location> cameras_on_bus(libusb_context *ctx) {
    std::vector<Location> found;
    libusb_device **devs = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &devs);
    for (ssize_t i = 0; i < n; ++i) {
        if (is_camera(devs[i]))
            found.push_back(location_of(devs[i]));
    }
    if (n >= 0)
        libusb_free_device_list(devs, 1);
    return found;
}

class Watcher {
  public:
    bool set(tarvo_hotplug_cb_t cb, void *arg) {
        if (std::this_thread::get_id() == thread_id_.load()) {
            zr_log(4, "ERR", "[%s] not allowed inside a hot-plug callback\n", kTag);
            return false;
        }
        std::lock_guard<std::mutex> control(control_);
        if (cb == nullptr) {
            stop();
            return true;
        }
        {
            std::lock_guard<std::mutex> lock(cb_mutex_);
            cb_ = cb;
            arg_ = arg;
        }
        return thread_.joinable() || start();
    }

  private:
    bool start() {
        const int rc = libusb_init(&ctx_);
        if (rc < 0) {
            zr_log(4, "ERR", "[%s] create usb context failed: %s\n", kTag, libusb_error_name(rc));
            ctx_ = nullptr;
            return false;
        }
        stop_ = false;
        use_events_ = g_use_events.load() && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 &&
                      register_events();
        if (!use_events_)
            known_ = cameras_on_bus(ctx_);
        zr_log(1, "DBG", "[%s] watching the bus (%s)\n", kTag,
               use_events_ ? "hot-plug events" : "polling");
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            zr_log(4, "ERR", "[%s] cannot start the hot-plug thread\n", kTag);
            release();
            return false;
        }
        return true;
    }

    void stop() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(wake_mutex_);
                stop_ = true;
            }
            wake_.notify_all();
            // Deregistering interrupts the event wait at once.
            if (use_events_)
                libusb_hotplug_deregister_callback(ctx_, handle_);
            thread_.join();
            use_events_ = false;
        }
        release();
        std::lock_guard<std::mutex> lock(cb_mutex_);
        cb_ = nullptr;
        arg_ = nullptr;
    }

    void release() {
        if (ctx_ != nullptr)
            libusb_exit(ctx_);
        ctx_ = nullptr;
        known_.clear();
    }

    bool register_events() {
        const int rc = libusb_hotplug_register_callback(
            ctx_,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), kVendorId, kProductId, LIBUSB_HOTPLUG_MATCH_ANY,
            on_libusb_event, this, &handle_);
        if (rc != LIBUSB_SUCCESS) {
            zr_log(3, "WRN", "[%s] no hot-plug events (%s), polling the bus\n", kTag,
                   libusb_error_name(rc));
            return false;
        }
        return true;
    }

    static int LIBUSB_CALL on_libusb_event(libusb_context *, libusb_device *d,
                                           libusb_hotplug_event event, void *self) {
        static_cast<Watcher *>(self)->deliver(
            location_of(d), event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? TARVO_HOTPLUG_ARRIVED
                                                                         : TARVO_HOTPLUG_LEFT);
        return 0;  // stay registered
    }

    void run() {
        thread_id_ = std::this_thread::get_id();
        while (!stopping()) {
            if (use_events_) {
                timeval tv{0, kEventWaitMs * 1000};
                libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
            } else {
                poll_bus();
                std::unique_lock<std::mutex> lock(wake_mutex_);
                wake_.wait_for(lock, kPollInterval, [this] { return stop_; });
            }
        }
        thread_id_ = std::thread::id();
    }

    bool stopping() {
        std::lock_guard<std::mutex> lock(wake_mutex_);
        return stop_;
    }

    // Departures first: a camera that re-enumerated between two listings left its old address
    // before it arrived at the new one.
    void poll_bus() {
        const std::vector<Location> now = cameras_on_bus(ctx_);
        for (const Location &was : known_) {
            if (std::find(now.begin(), now.end(), was) == now.end())
                deliver(was, TARVO_HOTPLUG_LEFT);
        }
        for (const Location &is : now) {
            if (std::find(known_.begin(), known_.end(), is) == known_.end())
                deliver(is, TARVO_HOTPLUG_ARRIVED);
        }
        known_ = now;
    }

    void deliver(const Location &at, int event) {
        tarvo_dev_t dev;
        std::memset(&dev, 0, sizeof dev);
        dev.bus = at.bus;
        dev.port = at.port;
        dev.address = at.address;
        dev.speed = at.speed;
        dev.located = 1;
        zr_log(2, "INF", "[%s] camera %s @ %03d:%03d:%03d\n", kTag,
               event == TARVO_HOTPLUG_ARRIVED ? "arrived" : "left", at.port, at.bus, at.address);
        // Held while the callback runs, so replacing the callback waits for it to finish.
        std::lock_guard<std::mutex> lock(cb_mutex_);
        if (cb_ != nullptr)
            cb_(&dev, event, arg_);
    }

    std::mutex control_;  // one set at a time; taken before cb_mutex_
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
    libusb_context *ctx_ = nullptr;
    libusb_hotplug_callback_handle handle_ = 0;
    bool use_events_ = false;      // written before the thread starts and after it ended
    std::vector<Location> known_;  // the watching thread's, between start and stop

    std::mutex cb_mutex_;  // guards cb_ and arg_; held while the callback runs
    tarvo_hotplug_cb_t cb_ = nullptr;
    void *arg_ = nullptr;

    std::mutex wake_mutex_;  // guards stop_
    std::condition_variable wake_;
    bool stop_ = false;
};

Watcher &watcher() {
    // Never destroyed: a thread still running at exit must not find it gone.
    static Watcher *w = new Watcher;
    return *w;
}

}  // namespace

void tarvo::hotplug_use_events(bool use) {
    g_use_events = use;
}

extern "C" {

TARVO_API bool tarvo_dev_set_hotplug_callback(tarvo_hotplug_cb_t cb, void *arg) {
    return watcher().set(cb, arg);
}

}  // extern "C"
