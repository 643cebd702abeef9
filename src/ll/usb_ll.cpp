#include "ll/usb_ll.h"

#include "ll/ll_internal.h"

#include <tarvo/log.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

namespace tarvo::ll {
namespace {

// libusb log level for new contexts: 4 debug, 3 info, 2 warning, 1 error, 0 none.
std::atomic<int> g_debug_level{0};

std::atomic<handle_events_fn> g_handle_events{nullptr};

bool is_camera(const libusb_device_descriptor &desc) {
    return desc.idVendor == kVendorId && desc.idProduct == kProductId;
}

struct Location {
    int port, bus, address, speed;
};

Location location_of(libusb_device *d) {
    return {libusb_get_port_number(d), libusb_get_bus_number(d), libusb_get_device_address(d),
            libusb_get_device_speed(d)};
}

// Marks a record as a located camera at `at`.
void set_location(tarvo_ll_dev_t *dev, const Location &at) {
    dev->located = 1;
    dev->kind = 0;
    dev->port = static_cast<uint8_t>(at.port);
    dev->bus = static_cast<uint8_t>(at.bus);
    dev->address = static_cast<uint8_t>(at.address);
    dev->speed = static_cast<uint8_t>(at.speed);
}

// Owns a device list and unreferences its devices when it goes.
class DeviceList {
  public:
    explicit DeviceList(libusb_context *ctx) : count_(libusb_get_device_list(ctx, &devs_)) {}
    ~DeviceList() {
        if (count_ >= 0)
            libusb_free_device_list(devs_, 1);
    }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;

    ssize_t count() const { return count_; }
    libusb_device *operator[](ssize_t i) const { return devs_[i]; }

  private:
    libusb_device **devs_ = nullptr;
    ssize_t count_;
};

// A fresh private record with the 16 stream transfers and their buffers. Running out of memory
// here leaves the camera unusable, so the process ends as it would on any other allocation
// failure of a device.
usb_ll_dev_priv_t *priv_alloc() {
    static const char *const tag = "_usb_ll_dev_priv_alloc";
    auto *priv = new (std::nothrow) usb_ll_dev_priv_t;
    if (priv == nullptr) {
        zr_log(4, "ERR", "[%s] malloc failed\n", tag);
        std::exit(-2);
    }
    for (int i = 0; i < kXferCount; ++i) {
        priv->xfer[i].reset(libusb_alloc_transfer(0));
        priv->buf[i].reset(new (std::nothrow) uint8_t[kXferBufSize]);
        if (!priv->xfer[i] || !priv->buf[i]) {
            zr_log(4, "ERR", "[%s] malloc failed!\n", tag);
            std::exit(-1);
        }
    }
    return priv;
}

// Releases everything of the record in the order libusb needs: closing the handle takes any
// transfer still in flight (a camera that vanished mid-stream) off libusb's lists, and the
// transfers are freed while their context still exists, since libusb consults it on the way.
void priv_free(tarvo_ll_dev_t *dev, usb_ll_dev_priv_t *priv) {
    if (priv->handle != nullptr) {
        libusb_release_interface(priv->handle, 0);
        libusb_release_interface(priv->handle, 1);
        libusb_close(priv->handle);
        priv->handle = nullptr;
    }
    for (auto &xfer : priv->xfer) {
        // A transfer that completed still names the handle, which is gone by now; libusb
        // consults it while freeing.
        if (xfer)
            xfer->dev_handle = nullptr;
        xfer.reset();
    }
    free_abandoned_cmds(priv);
    if (priv->ctx != nullptr) {
        libusb_exit(priv->ctx);
        priv->ctx = nullptr;
    }
    delete priv;
    dev->priv = nullptr;
}

// Finds and opens the camera that the record designates. Returns the handle, or null.
libusb_device_handle *open_scan(tarvo_ll_dev_t *dev, usb_ll_dev_priv_t *priv) {
    static const char *const tag = "_usb_ll_dev_open";
    DeviceList devs(priv->ctx);
    if (devs.count() < 0) {
        zr_log(4, "ERR", "[%s]   enum libusb device failed: %d \n", tag,
               static_cast<int>(devs.count()));
        return nullptr;
    }
    zr_log(0, "TRC", "[%s]   %d usb device found \n", tag, static_cast<int>(devs.count()));

    for (ssize_t i = 0; i < devs.count(); ++i) {
        libusb_device *d = devs[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(d, &desc) < 0) {
            zr_log(4, "ERR", "[%s]   Failed to get device desc of device %d\n", tag,
                   static_cast<int>(i));
            continue;
        }
        const Location at = location_of(d);
        libusb_device_handle *handle = nullptr;
        if (dev->located) {
            zr_log(0, "TRC", "[%s] [%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", tag,
                   static_cast<int>(i), desc.idVendor, desc.idProduct, at.speed, at.port, at.bus,
                   at.address);
            // The address is not compared: a camera that re-enumerated on the same port comes
            // back under a new one.
            if (!is_camera(desc) || at.bus != dev->bus || at.port != dev->port)
                continue;
            zr_log(1, "DBG", "[%s] open tarvo device @ %03d:%03d:%03d\n", tag, dev->port, dev->bus,
                   dev->address);
            const int rc = libusb_open(d, &handle);
            if (rc < 0) {
                zr_log(3, "WRN", "[%s] failed to open this device: %s\n", tag,
                       libusb_error_name(rc));
                continue;
            }
            return handle;
        }
        if (!is_camera(desc))
            continue;
        zr_log(1, "DBG", "[%s] found tarvo device (speed=%d) @ %03d:%03d:%03d\n", tag, at.speed,
               at.port, at.bus, at.address);
        if (at.speed < LIBUSB_SPEED_HIGH) {
            zr_log(3, "WRN", "[%s] found tarvo device not in HS mode (speed=%d) @ %03d:%03d:%03d\n",
                   tag, at.speed, at.port, at.bus, at.address);
        }
        const int rc = libusb_open(d, &handle);
        if (rc < 0) {
            zr_log(3, "WRN", "[%s]   failed to open this device: %s, try next ...\n", tag,
                   libusb_error_name(rc));
            continue;
        }
        set_location(dev, at);
        return handle;
    }
    return nullptr;
}

void event_loop(usb_ll_dev_priv_t *priv) {
    static const char *const tag = "_ll_event_loop";
    zr_log(0, "TRC", "[%s] Enter ll event loop...\n", tag);
    handle_events_fn handle_events = g_handle_events.load();
    if (handle_events == nullptr)
        handle_events = libusb_handle_events_timeout_completed;
    for (;;) {
        timeval tv{0, 200000};
        // libusb reads the "completed" flag without synchronisation, so it gets a copy that only
        // this thread touches; a stop request is seen at the latest after one 200 ms wait, and
        // close interrupts the wait.
        int completed = priv->evt_stop.load();
        const int rc = handle_events(priv->ctx, &tv, &completed);
        if (rc >= 0) {
            if (priv->evt_stop.load() != 0)
                break;
            continue;
        }
        zr_log(4, "ERR", "[%s] libusb reports error: %s\n", tag, libusb_error_name(rc));
        if (rc == LIBUSB_ERROR_INTERRUPTED) {
            zr_log(3, "WRN", "[%s] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n", tag);
            break;
        }
        if (rc == LIBUSB_ERROR_TIMEOUT) {
            zr_log(3, "WRN", "[%s] libusb_handle_events timeout \n", tag);
            break;
        }
        if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_OVERFLOW) {
            if (priv->evt_stop.load() != 0)
                break;
            continue;
        }
        break;
    }
    priv->evt_running.store(0);
    zr_log(0, "TRC", "[%s] Exit ll event loop...\n", tag);
}

void evt_thread_main(usb_ll_dev_priv_t *priv) {
    static const char *const tag = "_usb_ll_evt_thread";
    zr_log(1, "DBG", "[%s] enter\n", tag);
    priv->evt_running.store(1);
    event_loop(priv);
    zr_log(1, "DBG", "[%s] exit\n", tag);
}

// Set by the calling thread's last open when another open file held the camera.
thread_local bool t_open_found_in_use = false;

// The camera answered the configuration or the claim with "busy": another process (or another
// handle of this one) has it open. Undoes the open.
tarvo_ll_dev_t *refuse_in_use(tarvo_ll_dev_t *dev, const char *tag) {
    zr_log(4, "ERR", "[%s] camera in use by another process\n", tag);
    t_open_found_in_use = true;
    usb_ll_dev_close(dev);
    return nullptr;
}

}  // namespace

bool last_open_found_in_use() {
    return t_open_found_in_use;
}

void set_handle_events(handle_events_fn fn) {
    g_handle_events.store(fn);
}

int debug_level() {
    return g_debug_level.load();
}

}  // namespace tarvo::ll

using namespace tarvo::ll;

bool usb_ll_init() {
    return true;
}

void usb_ll_uninit() {}

void usb_ll_set_debug(unsigned level) {
    static constexpr int kMap[] = {LIBUSB_LOG_LEVEL_DEBUG, LIBUSB_LOG_LEVEL_DEBUG,
                                   LIBUSB_LOG_LEVEL_INFO,  LIBUSB_LOG_LEVEL_WARNING,
                                   LIBUSB_LOG_LEVEL_ERROR, LIBUSB_LOG_LEVEL_NONE};
    g_debug_level.store(level < std::size(kMap) ? kMap[level] : LIBUSB_LOG_LEVEL_NONE);
}

int usb_ll_dev_list(tarvo_ll_dev_t *list, int max) {
    static const char *const tag = "usb_ll_dev_list";
    if (list == nullptr || max <= 0)
        return 0;
    std::memset(list, 0, sizeof(*list) * static_cast<size_t>(max));
    libusb_context *ctx = nullptr;
    const int rc = libusb_init(&ctx);
    if (rc < 0) {
        zr_log(4, "ERR", "[%s]  create usb context failed: %s\n", tag, libusb_error_name(rc));
        return 0;
    }
    int found = 0;
    {
        DeviceList devs(ctx);
        if (devs.count() < 0) {
            zr_log(4, "ERR", "[%s]   enum usb device failed: %d \n", tag,
                   static_cast<int>(devs.count()));
        } else {
            zr_log(1, "DBG", "[%s] probe tarvo device (max=%d) in %d usb device\n", tag, max,
                   static_cast<int>(devs.count()));
            for (ssize_t i = 0; i < devs.count() && found < max; ++i) {
                libusb_device_descriptor desc{};
                if (libusb_get_device_descriptor(devs[i], &desc) < 0) {
                    zr_log(4, "ERR", "[%s]   Failed to get device desc of device %d\n", tag,
                           static_cast<int>(i));
                    continue;
                }
                const Location at = location_of(devs[i]);
                zr_log(0, "TRC", "[%s] [%02d] %04x:%04x @ %03d:%03d:%03d\n", tag,
                       static_cast<int>(i), desc.idVendor, desc.idProduct, at.port, at.bus,
                       at.address);
                if (!is_camera(desc))
                    continue;
                tarvo_ll_dev_t *entry = &list[found++];
                std::memset(entry, 0, sizeof(*entry));
                set_location(entry, at);
                entry->ops = &ll_op_usb;
                zr_log(1, "DBG", "[%s]   TARVO device (speed=%d) found @ %03d:%03d:%03d, %p\n", tag,
                       at.speed, at.port, at.bus, at.address, static_cast<void *>(entry));
            }
        }
    }
    libusb_exit(ctx);
    return found;
}

tarvo_ll_dev_t *usb_ll_dev_open(tarvo_ll_dev_t *dev) {
    static const char *const tag = "usb_ll_dev_open";
    t_open_found_in_use = false;
    if (dev == nullptr || dev->kind != 0)
        return nullptr;
    usb_ll_dev_priv_t *priv = priv_of(dev);
    if (priv != nullptr && priv->handle != nullptr) {
        // Opening twice would orphan the first handle and its event thread.
        zr_log(3, "WRN", "[%s] device already opened\n", tag);
        return dev;
    }
    if (priv == nullptr) {
        priv = priv_alloc();
        dev->priv = priv;
    }
    if (priv->ctx == nullptr) {
        zr_log(1, "DBG", "[%s]  create usb context\n", tag);
        const int rc = libusb_init(&priv->ctx);
        if (rc < 0) {
            zr_log(4, "ERR", "[%s]  create usb context failed: %s\n", tag, libusb_error_name(rc));
            priv->ctx = nullptr;
            priv_free(dev, priv);
            return nullptr;
        }
        libusb_set_option(priv->ctx, LIBUSB_OPTION_LOG_LEVEL, g_debug_level.load());
    }

    priv->handle = open_scan(dev, priv);
    if (priv->handle == nullptr) {
        // Nothing was opened: release the context and the buffers now, since a caller that
        // gives up on the record would otherwise leak them.
        priv_free(dev, priv);
        return nullptr;
    }

    dev->kind = 0;
    int rc = libusb_set_configuration(priv->handle, 1);
    if (rc == LIBUSB_ERROR_BUSY)
        return refuse_in_use(dev, tag);
    if (rc < 0) {
        zr_log(4, "ERR", "[%s] libusb_set_configuration failed: %s\n", tag, libusb_error_name(rc));
        usb_ll_dev_close(dev);
        return nullptr;
    }
    libusb_set_auto_detach_kernel_driver(priv->handle, 1);
    rc = libusb_claim_interface(priv->handle, 0);
    // Interface 1 is the fallback for a camera that lacks interface 0, not a way around a
    // claim that another process holds.
    if (rc == LIBUSB_ERROR_BUSY)
        return refuse_in_use(dev, tag);
    if (rc < 0)
        rc = libusb_claim_interface(priv->handle, 1);
    if (rc < 0) {
        zr_log(4, "ERR", "[%s] libusb_claim_interface failed: %s\n", tag, libusb_error_name(rc));
        usb_ll_dev_close(dev);
        return nullptr;
    }

    priv->evt_running.store(0);
    priv->evt_stop.store(0);
    try {
        priv->evt_thread = std::thread([priv] { evt_thread_main(priv); });
    } catch (const std::system_error &) {
        zr_log(4, "ERR", "[%s]  create evt thread failed\n", tag);
        usb_ll_dev_close(dev);
        return nullptr;
    }
    dev->ops = &ll_op_usb;
    return dev;
}

tarvo_ll_dev_t *usb_ll_dev_open_by_fd(tarvo_ll_dev_t *dev) {
    // No descriptor path on this platform: the record is opened by its location.
    return usb_ll_dev_open(dev);
}

void usb_ll_dev_close(tarvo_ll_dev_t *dev) {
    static const char *const tag = "usb_ll_dev_close";
    if (dev == nullptr || dev->kind != 0)
        return;
    usb_ll_dev_priv_t *priv = priv_of(dev);
    if (priv == nullptr || priv->ctx == nullptr || priv->handle == nullptr) {
        zr_log(3, "WRN", "[%s] device no need to closed!\n", tag);
        if (priv != nullptr) {
            // A half-built record still holds its context and buffers.
            priv_free(dev, priv);
        }
        return;
    }
    drain_transfers(priv);
    if (priv->evt_stop.load() == 0) {
        zr_log(0, "TRC", "[%s] stop evt thread...\n", tag);
        priv->evt_stop.store(1);
        libusb_interrupt_event_handler(priv->ctx);
    }
    if (priv->evt_thread.joinable())
        priv->evt_thread.join();
    priv_free(dev, priv);
}

extern "C" {

const tarvo_ll_ops_t ll_op_usb = {
    usb_ll_init,           usb_ll_uninit,    usb_ll_set_debug, usb_ll_dev_open,
    usb_ll_dev_open_by_fd, usb_ll_dev_close, usb_ll_dev_list,  usb_ll_exe_cmd,
    usb_ll_check_last_cmd, usb_ll_cap_abort, usb_ll_cap_start, usb_ll_cap_stop,
    usb_ll_dev_reset,      usb_ll_reg_write, usb_ll_reg_read,  usb_ll_param_set,
    usb_ll_param_get,
};

}  // extern "C"
