// A minimal libusb client for the tests of the virtual camera: what any program does with
// plain libusb calls, asynchronous transfers completed on an event thread of its own.
#pragma once

#include <libusb-1.0/libusb.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vcam_test {

struct Listed {
    int bus, port, address, speed;
};

// Lists the cameras with a fresh context, as the library does for every listing.
inline std::vector<Listed> list_cameras() {
    std::vector<Listed> out;
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        return out;
    }
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor dd{};
        if (libusb_get_device_descriptor(list[i], &dd) == 0 && dd.idVendor == 0x111B &&
            dd.idProduct == 0x1238) {
            out.push_back({libusb_get_bus_number(list[i]), libusb_get_port_number(list[i]),
                           libusb_get_device_address(list[i]), libusb_get_device_speed(list[i])});
        }
    }
    if (n >= 0) {
        libusb_free_device_list(list, 1);
    }
    libusb_exit(ctx);
    return out;
}

struct Result {
    int submit = 0;   // libusb_submit_transfer result
    int status = -1;  // libusb_transfer_status
    int actual = 0;
    std::vector<uint8_t> data;  // data stage of a device-to-host transfer
};

class Client {
  public:
    // Opens the camera on `port` (any camera when 0) and claims `iface` (0, falling back to 1).
    explicit Client(int port = 0) {
        if (libusb_init(&ctx_) != 0) {
            ctx_ = nullptr;
            return;
        }
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n && !h_; ++i) {
            libusb_device_descriptor dd{};
            if (libusb_get_device_descriptor(list[i], &dd) == 0 && dd.idVendor == 0x111B &&
                dd.idProduct == 0x1238 && (port == 0 || libusb_get_port_number(list[i]) == port)) {
                open_result_ = libusb_open(list[i], &h_);
                if (open_result_ != 0) {
                    h_ = nullptr;
                }
            }
        }
        if (n >= 0) {
            libusb_free_device_list(list, 1);
        }
        if (h_) {
            evt_ = std::thread([this] {
                timeval tv{0, 50000};
                while (!stop_) {
                    libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
                }
            });
        }
    }
    ~Client() {
        if (h_) {
            for (int i : {0, 1}) {
                if (claimed_ & (1 << i)) {
                    libusb_release_interface(h_, i);
                }
            }
            stop_ = true;
            libusb_close(h_);  // wakes the event thread
            evt_.join();
        }
        if (ctx_) {
            libusb_exit(ctx_);
        }
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool opened() const { return h_ != nullptr; }
    int open_result() const { return open_result_; }
    libusb_device_handle *handle() const { return h_; }
    libusb_context *context() const { return ctx_; }

    // Configuration 1, auto-detach, claim `iface`; returns the libusb result.
    int setup(int iface = 0) {
        int r = libusb_set_configuration(h_, 1);
        if (r != 0) {
            return r;
        }
        libusb_set_auto_detach_kernel_driver(h_, 1);
        r = libusb_claim_interface(h_, iface);
        if (r == 0) {
            claimed_ |= 1 << iface;
        }
        return r;
    }

    // One asynchronous control transfer. Waits `wait` for its completion; if it has not
    // completed by then, cancels it and waits for the cancellation.
    Result control(uint8_t request_type, uint8_t request, uint16_t value, std::vector<uint8_t> out,
                   uint16_t in_length,
                   std::chrono::milliseconds wait = std::chrono::milliseconds(2000),
                   unsigned timeout_ms = 1000) {
        const bool in = request_type & 0x80;
        const uint16_t len = in ? in_length : static_cast<uint16_t>(out.size());
        std::vector<uint8_t> buf(LIBUSB_CONTROL_SETUP_SIZE + len);
        libusb_fill_control_setup(buf.data(), request_type, request, value, 0, len);
        if (!in && len) {
            std::memcpy(buf.data() + LIBUSB_CONTROL_SETUP_SIZE, out.data(), len);
        }
        Waiter w;
        libusb_transfer *t = libusb_alloc_transfer(0);
        libusb_fill_control_transfer(t, h_, buf.data(), &Waiter::callback, &w, timeout_ms);
        Result res;
        res.submit = libusb_submit_transfer(t);
        if (res.submit == 0) {
            if (!w.wait(wait)) {
                libusb_cancel_transfer(t);
                w.wait(std::chrono::milliseconds(5000));
            }
            res.status = t->status;
            res.actual = t->actual_length;
            if (in) {
                const uint8_t *d = libusb_control_transfer_get_data(t);
                res.data.assign(d, d + t->actual_length);
            }
        }
        libusb_free_transfer(t);
        return res;
    }

    Result out(uint8_t type, uint16_t value, std::vector<uint8_t> data) {
        return control(0x22, type, value, std::move(data), 0);
    }
    Result in(uint8_t type, uint16_t value, uint16_t length) {
        return control(0xA2, type, value, {}, length);
    }
    // The 63-byte status reply, or nullopt when the request failed.
    std::optional<std::vector<uint8_t>> status() {
        auto r = in(0xB0, 0, 63);
        if (r.submit != 0 || r.status != LIBUSB_TRANSFER_COMPLETED || r.actual != 63) {
            return std::nullopt;
        }
        return r.data;
    }

  private:
    struct Waiter {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        static void LIBUSB_CALL callback(libusb_transfer *t) {
            auto *w = static_cast<Waiter *>(t->user_data);
            std::lock_guard lk(w->mu);
            w->done = true;
            w->cv.notify_all();
        }
        bool wait(std::chrono::milliseconds d) {
            std::unique_lock lk(mu);
            return cv.wait_for(lk, d, [&] { return done; });
        }
    };

    libusb_context *ctx_ = nullptr;
    libusb_device_handle *h_ = nullptr;
    int open_result_ = LIBUSB_ERROR_NOT_FOUND;
    unsigned claimed_ = 0;
    std::atomic<bool> stop_{false};
    std::thread evt_;
};

// Polls `pred` until it holds or `limit` passes; for state that changes on another thread.
inline bool eventually(const std::function<bool()> &pred,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vcam_test
