// The bulk stream: a ring of 16 transfers on endpoint 0x81, each handed to the capture callback
// on the event thread and resubmitted until capture is aborted.
#include "ll/usb_ll.h"

#include <tarvo/log.h>

#include <thread>

namespace tarvo::ll {
namespace {

constexpr int kDrainPolls = 100;  // of 10 ms

bool stream_idle(usb_ll_dev_priv_t *priv) {
    for (auto &busy : priv->xfer_busy) {
        if (busy.load() != 0)
            return false;
    }
    return true;
}

void cancel_busy(usb_ll_dev_priv_t *priv) {
    for (int i = 0; i < kXferCount; ++i) {
        if (priv->xfer_busy[i].load() != 0)
            libusb_cancel_transfer(priv->xfer[i].get());
    }
}

// Cancels every transfer of the ring, logging each with its last status.
void cancel_all(usb_ll_dev_priv_t *priv, const char *tag) {
    for (int i = 0; i < kXferCount; ++i) {
        zr_log(0, "TRC", "[%s] trans[%d] cancel: status=%d\n", tag, i, priv->xfer_status[i].load());
        libusb_cancel_transfer(priv->xfer[i].get());
    }
}

// Waits until no stream transfer is in flight, so that stop and close return with nothing of
// ours left running. A completion that was being handled while we cancelled may have been
// resubmitted before it saw cap_abort, hence the repeated cancels. Bounded: without the event
// thread nothing completes.
void wait_stream_idle(usb_ll_dev_priv_t *priv, const char *tag) {
    if (std::this_thread::get_id() == priv->evt_thread.get_id())
        return;
    poll_until(
        [priv] {
            if (stream_idle(priv) || priv->evt_running.load() == 0)
                return true;
            cancel_busy(priv);
            return false;
        },
        kDrainPolls);
    if (!stream_idle(priv))
        zr_log(3, "WRN", "[%s] stream transfers still pending\n", tag);
}

int event_of(int status, int index, int len) {
    static const char *const tag = "on_usb_trans_event";
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_CANCELLED:
            zr_log(0, "TRC", "[%s] trans[%d] cancelled (last_tx=%d)\n", tag, index, len);
            return -3;
        case LIBUSB_TRANSFER_TIMED_OUT:
            zr_log(1, "DBG", "[%s] trans[%d] timeout (last_tx=%d)\n", tag, index, len);
            return -5;
        case LIBUSB_TRANSFER_STALL:
            zr_log(3, "WRN", "[%s] trans[%d] stall (last_tx=%d)\n", tag, index, len);
            return -7;
        default:
            zr_log(3, "WRN", "[%s] trans[%d] error (%d) (last_tx=%d)\n", tag, index, status, len);
            return -10;
    }
}

}  // namespace

void drain_transfers(usb_ll_dev_priv_t *priv) {
    if (!stream_idle(priv)) {
        priv->cap_abort.store(1);
        cancel_busy(priv);
        wait_stream_idle(priv, "usb_ll_dev_close");
    }
    // Control transfers given up on were cancelled then; let their completions free them.
    if (priv->evt_running.load() != 0) {
        poll_until([priv] { return !has_abandoned_cmds(priv); }, kDrainPolls);
    }
}

}  // namespace tarvo::ll

using namespace tarvo::ll;

void LIBUSB_CALL on_usb_trans_event(libusb_transfer *xfer) {
    static const char *const tag = "on_usb_trans_event";
    auto *dev = static_cast<tarvo_ll_dev_t *>(xfer->user_data);
    usb_ll_dev_priv_t *priv = priv_of(dev);
    const int i = static_cast<int>(libusb_transfer_get_stream_id(xfer));
    zr_log(0, "TRC", "[%s] trans[%d]: txlen=%d, status = %d\n", tag, i, xfer->actual_length,
           xfer->status);
    if (i < 0 || i >= kXferCount || priv->xfer[i].get() != xfer)
        return;  // not one of ours
    priv->xfer_status[i].store(xfer->status);
    const int event = event_of(xfer->status, i, xfer->actual_length);
    if (tarvo_ll_cap_cb_t cb = priv->cap_cb.load()) {
        cb(dev, event, xfer->buffer, xfer->actual_length, priv->cap_cb_arg.load());
    }
    // cap_abort is read after the callback, so that the callback can end the ring.
    if (xfer->length > 0 && priv->cap_abort.load() == 0) {
        zr_log(0, "TRC", "[%s] trans[%d] issue: size=%d \n", tag, i, xfer->length);
        xfer->timeout = kStreamTimeoutMs;
        const int rc = libusb_submit_transfer(xfer);
        if (rc == 0)
            return;
        zr_log(4, "ERR", "[%s] Unable to submit URB. libusb error code: %d\n", tag, rc);
    }
    priv->xfer_busy[i].store(0);
}

void usb_ll_cap_abort(tarvo_ll_dev_t *dev) {
    if (usb_ll_dev_priv_t *priv = priv_of(dev))
        priv->cap_abort.store(1);
}

bool usb_ll_cap_start(tarvo_ll_dev_t *dev, uint32_t arg, tarvo_ll_cap_cb_t cb, void *cb_arg) {
    static const char *const tag = "usb_ll_cap_start";
    usb_ll_dev_priv_t *priv = open_priv(dev, tag);
    if (priv == nullptr)
        return false;
    // A ring still running belongs to a capture that has not been stopped: leave it alone, so
    // that a refused start never cancels another one's transfers.
    if (!stream_idle(priv)) {
        zr_log(4, "ERR", "[%s] stream transfers still running\n", tag);
        return false;
    }
    priv->cap_abort.store(0);
    if (libusb_clear_halt(priv->handle, kStreamEp) < 0) {
        zr_log(4, "ERR", "[%s]  Clear halt failed on EP: %0x!\r\n", tag, kStreamEp);
    }
    priv->cap_cb.store(cb);
    priv->cap_cb_arg.store(cb_arg);
    for (int i = 0; i < kXferCount; ++i) {
        libusb_transfer *xfer = priv->xfer[i].get();
        // A transfer of an earlier capture still in flight must not be refilled under libusb.
        if (priv->xfer_busy[i].exchange(1) != 0) {
            zr_log(4, "ERR", "[%s] trans[%d] issue failed\n", tag, i);
            continue;
        }
        libusb_fill_bulk_transfer(xfer, priv->handle, kStreamEp, priv->buf[i].get(), kXferBufSize,
                                  on_usb_trans_event, dev, kStreamTimeoutMs);
        xfer->flags = 0;
        libusb_transfer_set_stream_id(xfer, static_cast<uint32_t>(i));
        if (libusb_submit_transfer(xfer) < 0) {
            priv->xfer_busy[i].store(0);
            zr_log(4, "ERR", "[%s] trans[%d] issue failed\n", tag, i);
            continue;
        }
        zr_log(0, "TRC", "[%s] trans[%d] issue: txlen=%d\n", tag, i, kXferBufSize);
    }
    zr_log(0, "TRC", "[%s] Enter\n", tag);
    uint8_t start_arg[4];
    put_le32(start_arg, arg);
    if (usb_ll_exe_cmd(dev, 1, kCmdRegister, kValCapStart, start_arg, sizeof start_arg,
                       kCmdTimeoutMs) &&
        usb_ll_check_last_cmd(dev, kCmdRegister, kValCapStart)) {
        return true;
    }
    zr_log(3, "WRN", "[%s] tarvo_ll_cap_start failed\n", tag);
    // Without this the ring would run on for a capture callback that does not abort on
    // cancellation (or for no callback at all).
    priv->cap_abort.store(1);
    cancel_all(priv, tag);
    wait_stream_idle(priv, tag);
    return false;
}

bool usb_ll_cap_stop(tarvo_ll_dev_t *dev) {
    static const char *const tag = "usb_ll_cap_stop";
    usb_ll_dev_priv_t *priv = open_priv(dev, tag);
    if (priv == nullptr)
        return false;
    priv->cap_abort.store(1);
    cancel_all(priv, tag);
    uint8_t stop_arg = kCmdRegister;
    const bool ok =
        usb_ll_exe_cmd(dev, 1, kCmdRegister, kValCapStop, &stop_arg, 1, kCmdTimeoutMs) &&
        usb_ll_check_last_cmd(dev, stop_arg, kValCapStop);
    wait_stream_idle(priv, tag);
    return ok;
}
