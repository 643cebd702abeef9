// The USB transport over libusb-1.0: the private record of an open camera and the operations of
// ll_op_usb. Commands (usb_ll_cmd.cpp) and the bulk stream (usb_ll_stream.cpp) work on the
// private record that open (usb_ll.cpp) builds.
#pragma once

#include <tarvo/ll.h>
#include <tarvo/log.h>

#include <libusb.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ll/byte_order.h"

namespace tarvo::ll {

inline constexpr uint16_t kVendorId = 0x111B;
inline constexpr uint16_t kProductId = 0x1238;

inline constexpr int kXferCount = 16;
inline constexpr int kXferBufSize = 153600;
inline constexpr unsigned char kStreamEp = 0x81;
inline constexpr unsigned kStreamTimeoutMs = 6000;
inline constexpr unsigned kCmdTimeoutMs = 1000;

// Command types and values of the vendor protocol.
inline constexpr uint8_t kCmdStatus = 0xB0;
inline constexpr uint8_t kCmdDevice = 0xC0;
inline constexpr uint8_t kCmdRegister = 0xC2;
inline constexpr uint8_t kValReset = 0;
inline constexpr uint8_t kValParamSet = 3;
inline constexpr uint8_t kValParamGet = 4;
inline constexpr uint8_t kValRegWrite = 0;
inline constexpr uint8_t kValRegRead = 1;
inline constexpr uint8_t kValCapStart = 4;
inline constexpr uint8_t kValCapStop = 5;

struct CmdWait;

struct XferDeleter {
    void operator()(libusb_transfer *xfer) const { libusb_free_transfer(xfer); }
};
using XferPtr = std::unique_ptr<libusb_transfer, XferDeleter>;

}  // namespace tarvo::ll

// Private record of an open camera; allocated at the first open of a record and freed at close.
// The transfers and buffers of the stream live as long as the record, so capture allocates
// nothing.
struct usb_ll_dev_priv_t {
    libusb_context *ctx = nullptr;
    libusb_device_handle *handle = nullptr;
    std::array<tarvo::ll::XferPtr, tarvo::ll::kXferCount> xfer;
    std::array<std::unique_ptr<uint8_t[]>, tarvo::ll::kXferCount> buf;
    // Written by stop (application thread) and by the capture callback (event thread); read on
    // the event thread after every callback.
    std::atomic<uint8_t> cap_abort{0};
    // Written at start; read on the event thread. Atomic because a transfer of an earlier
    // capture may still be completing when a new start stores them.
    std::atomic<tarvo_ll_cap_cb_t> cap_cb{nullptr};
    std::atomic<void *> cap_cb_arg{nullptr};
    std::thread evt_thread;
    std::atomic<int> evt_stop{0};
    std::atomic<uint8_t> evt_running{0};
    // 1 while stream transfer i is submitted or its completion is being handled; a busy
    // transfer is never refilled. Cleared (last) when a completion is not resubmitted.
    std::array<std::atomic<uint8_t>, tarvo::ll::kXferCount> xfer_busy{};
    // Last libusb status of stream transfer i, written on the event thread.
    std::array<std::atomic<int>, tarvo::ll::kXferCount> xfer_status{};
    // Set when the record is about to be closed: commands in flight give up, new ones are refused.
    std::atomic<bool> closing{false};
    // Control transfers whose caller gave up waiting; their completion frees them, and close frees
    // those that never complete. Lock order: taken alone.
    std::mutex cmd_mutex;
    std::vector<tarvo::ll::CmdWait *> abandoned;  // guarded by cmd_mutex
};

namespace tarvo::ll {

// The private record of a record, or null.
inline usb_ll_dev_priv_t *priv_of(const tarvo_ll_dev_t *dev) {
    return dev ? static_cast<usb_ll_dev_priv_t *>(dev->priv) : nullptr;
}

// The private record of a record whose USB handle is open; null after an ERR line naming `tag`.
inline usb_ll_dev_priv_t *open_priv(const tarvo_ll_dev_t *dev, const char *tag) {
    usb_ll_dev_priv_t *priv = priv_of(dev);
    if (priv == nullptr || priv->handle == nullptr) {
        zr_log(4, "ERR", "[%s]  USB handler Is NULL!\r\n", tag);
        return nullptr;
    }
    return priv;
}

using bytes::get_le32;
using bytes::put_le32;

// Waits, in 10 ms steps and at most `polls` of them, until pred() holds. Returns pred().
template <class Pred>
bool poll_until(Pred pred, int polls) {
    for (int i = 0; i < polls && !pred(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Frees, after the event thread has stopped, the control transfers that never completed.
void free_abandoned_cmds(usb_ll_dev_priv_t *priv);
// True while control transfers that their caller gave up on are still pending.
bool has_abandoned_cmds(usb_ll_dev_priv_t *priv);

// Before close: ends the stream and waits (bounded) for every transfer of ours to complete.
void drain_transfers(usb_ll_dev_priv_t *priv);

// The event-handling call of the event thread. Replaceable so that the thread's reaction to
// libusb errors can be exercised; null restores libusb_handle_events_timeout_completed.
using handle_events_fn = int (*)(libusb_context *ctx, struct timeval *tv, int *completed);
void set_handle_events(handle_events_fn fn);

// The libusb log level that new contexts get (after usb_ll_set_debug's mapping).
int debug_level();

}  // namespace tarvo::ll

bool usb_ll_init();
void usb_ll_uninit();
void usb_ll_set_debug(unsigned level);
tarvo_ll_dev_t *usb_ll_dev_open(tarvo_ll_dev_t *dev);
tarvo_ll_dev_t *usb_ll_dev_open_by_fd(tarvo_ll_dev_t *dev);
void usb_ll_dev_close(tarvo_ll_dev_t *dev);
void usb_ll_begin_close(tarvo_ll_dev_t *dev);
int usb_ll_dev_list(tarvo_ll_dev_t *list, int max);
bool usb_ll_exe_cmd(tarvo_ll_dev_t *dev, uint8_t dir, uint8_t type, uint16_t value, uint8_t *data,
                    int len, unsigned timeout_ms);
bool usb_ll_check_last_cmd(tarvo_ll_dev_t *dev, uint8_t type, uint8_t value);
void usb_ll_cap_abort(tarvo_ll_dev_t *dev);
bool usb_ll_cap_start(tarvo_ll_dev_t *dev, uint32_t arg, tarvo_ll_cap_cb_t cb, void *cb_arg);
bool usb_ll_cap_stop(tarvo_ll_dev_t *dev);
bool usb_ll_dev_reset(tarvo_ll_dev_t *dev, uint8_t target);
bool usb_ll_reg_write(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base,
                      const uint32_t *values, uint16_t count);
bool usb_ll_reg_read(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                     uint16_t count);
bool usb_ll_param_set(tarvo_ll_dev_t *dev, const tarvo_ll_param_item_t *items, int count);
bool usb_ll_param_get(tarvo_ll_dev_t *dev, tarvo_ll_param_item_t *items, int count);
void on_usb_trans_event(libusb_transfer *xfer);
