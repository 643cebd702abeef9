// The command channel: vendor control transfers on endpoint 0, the status poll that confirms
// them, and the register, parameter and reset operations built on both.
#include "ll/usb_ll.h"

#include "ll/cmd_reply.h"

#include <tarvo/log.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

static_assert(sizeof(tarvo_ll_param_item_t) == 20, "parameter items travel as 20 bytes");
static_assert(std::endian::native == std::endian::little,
              "parameter items and register values are sent in host order");

namespace tarvo::ll {

enum CmdState : int { kPending = 0, kDone = 1, kAbandoned = 2 };

// Shared between the thread that waits for a control transfer and the completion on the event
// thread. The waiting thread owns it (and the transfer) unless it gave up waiting, in which case
// the completion frees both.
struct CmdWait {
    std::atomic<int> state{kPending};
    usb_ll_dev_priv_t *priv = nullptr;
    libusb_transfer *xfer = nullptr;
};

namespace {

constexpr uint8_t kReqOut = 0x22;  // host to device, class, recipient endpoint
constexpr uint8_t kReqIn = 0xA2;   // device to host, class, recipient endpoint
constexpr int kRegReqHdrLen = 7;
constexpr int kRegChunk = 16;
constexpr int kParamChunk = 3;
constexpr int kCmdPolls = 100;  // of 10 ms: a command gets about one second, whatever its timeout
constexpr int kResetAttempts = 15;
// A camera that answers "busy" for ever would hold the caller for ever; no command of the camera
// has been seen busy for more than a fraction of this.
constexpr std::chrono::milliseconds kBusyLimit{10000};
constexpr int kMaxDataLen = 0xFFFF;  // wLength is 16 bits
// Result of a command that never reached the bus; its failure is already logged.
constexpr int kNotSent = INT_MIN;

void LIBUSB_CALL _usb_ll_on_cmd_finish(libusb_transfer *xfer) {
    zr_log(0, "TRC", "[%s] tx actual_len = %d, status  = %d\n", "_usb_ll_on_cmd_finish",
           xfer->actual_length, xfer->status);
    auto *wait = static_cast<CmdWait *>(xfer->user_data);
    usb_ll_dev_priv_t *priv = wait->priv;
    std::lock_guard<std::mutex> lock(priv->cmd_mutex);
    if (wait->state.load() == kAbandoned) {
        std::erase(priv->abandoned, wait);
        libusb_free_transfer(xfer);
        delete wait;
        return;
    }
    // The waiting thread may free `wait` as soon as it sees this.
    wait->state.store(kDone);
}

int status_result(const libusb_transfer *xfer) {
    static const char *const tag = "usb_ll_exe_cmd";
    switch (xfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return xfer->actual_length;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        case LIBUSB_TRANSFER_ERROR:
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_ERROR_IO;
        default:
            zr_log(3, "WRN", "[%s] unrecognised status code %d", tag, xfer->status);
            return LIBUSB_ERROR_OTHER;
    }
}

// Sends one command and returns libusb's count of data bytes moved, a negative libusb error, or
// kNotSent.
int exe_cmd(tarvo_ll_dev_t *dev, bool out, uint8_t type, uint16_t value, uint8_t *data, int len,
            unsigned timeout_ms) {
    static const char *const tag = "usb_ll_exe_cmd";
    usb_ll_dev_priv_t *priv = open_priv(dev, tag);
    if (priv == nullptr)
        return kNotSent;
    if (len < 0 || len > kMaxDataLen || (len > 0 && data == nullptr)) {
        zr_log(4, "ERR", "[%s] bad data stage: %p, len=%d\n", tag, static_cast<void *>(data), len);
        return kNotSent;
    }
    libusb_transfer *xfer = libusb_alloc_transfer(0);
    if (xfer == nullptr) {
        zr_log(4, "ERR", "[%s] no memory\n", tag);
        return kNotSent;
    }
    // libusb frees the buffer with the transfer (LIBUSB_TRANSFER_FREE_BUFFER), hence calloc.
    auto *buf = static_cast<uint8_t *>(std::calloc(1, LIBUSB_CONTROL_SETUP_SIZE + len));
    auto *wait = new (std::nothrow) CmdWait;
    if (buf == nullptr || wait == nullptr) {
        zr_log(4, "ERR", "[%s] no memory\n", tag);
        std::free(buf);
        delete wait;
        libusb_free_transfer(xfer);
        return kNotSent;
    }
    wait->priv = priv;
    wait->xfer = xfer;
    libusb_fill_control_setup(buf, out ? kReqOut : kReqIn, type, value, 0,
                              static_cast<uint16_t>(len));
    if (out && len > 0)
        std::memcpy(buf + LIBUSB_CONTROL_SETUP_SIZE, data, len);
    libusb_fill_control_transfer(xfer, priv->handle, buf, _usb_ll_on_cmd_finish, wait, timeout_ms);
    xfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;

    if (libusb_submit_transfer(xfer) < 0) {
        zr_log(4, "ERR", "[%s] libusb_submit_transfer failed\n", tag);
        libusb_free_transfer(xfer);
        delete wait;
        return kNotSent;
    }

    if (!poll_until([wait] { return wait->state.load() != kPending; }, kCmdPolls)) {
        zr_log(3, "WRN", "[%s] contrl trans timeout , cancel it\n", tag);
        libusb_cancel_transfer(xfer);
        bool abandoned = false;
        {
            std::lock_guard<std::mutex> lock(priv->cmd_mutex);
            if (wait->state.load() == kPending) {
                // The completion runs later, on the event thread, and frees what we leave.
                wait->state.store(kAbandoned);
                priv->abandoned.push_back(wait);
                abandoned = true;
            }
        }
        if (abandoned) {
            zr_log(4, "ERR", "[%s] control transfer timeout !\n", tag);
            return LIBUSB_ERROR_TIMEOUT;
        }
        // The cancellation may complete before we look again; it is still our time-out, not an
        // I/O error. A transfer that completed by itself at the last moment goes on as usual.
        if (xfer->status == LIBUSB_TRANSFER_CANCELLED) {
            zr_log(4, "ERR", "[%s] control transfer timeout !\n", tag);
            libusb_free_transfer(xfer);
            delete wait;
            return LIBUSB_ERROR_TIMEOUT;
        }
    }

    if (!out && xfer->actual_length > 0) {
        const int got = std::min(xfer->actual_length, len);
        std::memcpy(data, libusb_control_transfer_get_data(xfer), got);
    }
    const int result = status_result(xfer);
    libusb_free_transfer(xfer);
    delete wait;
    return result;
}

bool exe_cmd_exact(tarvo_ll_dev_t *dev, bool out, uint8_t type, uint16_t value, uint8_t *data,
                   int len, unsigned timeout_ms) {
    const int result = exe_cmd(dev, out, type, value, data, len, timeout_ms);
    if (result == len)
        return true;
    if (result == kNotSent)
        return false;
    zr_log(4, "ERR", "[%s] exe usb cmd failed: %s\n", "usb_ll_exe_cmd", libusb_error_name(result));
    return false;
}

// One register request header: target, first register, byte count of the values.
void put_reg_header(uint8_t *out, uint8_t target, uint32_t first, uint16_t count) {
    out[0] = target;
    put_le32(out + 1, first);
    const uint16_t bytes = static_cast<uint16_t>(4u * count);
    out[5] = static_cast<uint8_t>(bytes);
    out[6] = static_cast<uint8_t>(bytes >> 8);
}

}  // namespace

void free_abandoned_cmds(usb_ll_dev_priv_t *priv) {
    std::lock_guard<std::mutex> lock(priv->cmd_mutex);
    for (CmdWait *wait : priv->abandoned) {
        // libusb_close has detached the transfer from the handle; make sure nothing refers to
        // the freed handle.
        wait->xfer->dev_handle = nullptr;
        libusb_free_transfer(wait->xfer);
        delete wait;
    }
    priv->abandoned.clear();
}

bool has_abandoned_cmds(usb_ll_dev_priv_t *priv) {
    std::lock_guard<std::mutex> lock(priv->cmd_mutex);
    return !priv->abandoned.empty();
}

}  // namespace tarvo::ll

using namespace tarvo::ll;

bool usb_ll_exe_cmd(tarvo_ll_dev_t *dev, uint8_t dir, uint8_t type, uint16_t value, uint8_t *data,
                    int len, unsigned timeout_ms) {
    return exe_cmd_exact(dev, dir != 0, type, value, data, len, timeout_ms);
}

bool usb_ll_check_last_cmd(tarvo_ll_dev_t *dev, uint8_t type, uint8_t value) {
    const auto give_up = std::chrono::steady_clock::now() + kBusyLimit;
    for (;;) {
        std::array<uint8_t, kStatusReplyLen> reply{};
        if (!exe_cmd_exact(dev, false, kCmdStatus, 0, reply.data(),
                           static_cast<int>(kStatusReplyLen), kCmdTimeoutMs)) {
            return false;
        }
        // Busy: each poll waits at least one poll interval, so no sleep here.
        const CmdStatus status = decode_status(reply, type, value);
        if (status != CmdStatus::busy)
            return status == CmdStatus::done;
        if (std::chrono::steady_clock::now() >= give_up) {
            zr_log(4, "ERR", "[%s] camera still busy with (t=%u,v=%u) after %d ms, giving up\n",
                   "usb_ll_check_last_cmd", type, value, static_cast<int>(kBusyLimit.count()));
            return false;
        }
    }
}

bool usb_ll_reg_write(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base,
                      const uint32_t *values, uint16_t count) {
    static const char *const tag = "usb_ll_reg_write";
    const int len = kRegReqHdrLen + 4 * static_cast<int>(count);
    if (len > kMaxDataLen) {
        // Neither the request's byte count nor wLength could carry it.
        zr_log(4, "ERR", "[%s] too many registers for one request: %u\n", tag, count);
        return false;
    }
    if (count > 0 && values == nullptr) {
        zr_log(4, "ERR", "[%s] no register values\n", tag);
        return false;
    }
    std::unique_ptr<uint8_t[]> req(new (std::nothrow) uint8_t[len]);
    if (!req) {
        zr_log(4, "ERR", "[%s] malloc failed\n", tag);
        return false;
    }
    put_reg_header(req.get(), target, reg_base, count);
    for (int i = 0; i < count; ++i)
        put_le32(req.get() + kRegReqHdrLen + 4 * i, values[i]);
    if (!exe_cmd_exact(dev, true, kCmdRegister, kValRegWrite, req.get(), len, kCmdTimeoutMs)) {
        return false;
    }
    return usb_ll_check_last_cmd(dev, kCmdRegister, kValRegWrite);
}

bool usb_ll_reg_read(tarvo_ll_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                     uint16_t count) {
    static const char *const tag = "usb_ll_reg_read";
    if (count == 0)
        return true;
    if (values == nullptr) {
        zr_log(4, "ERR", "[%s] no register buffer\n", tag);
        return false;
    }
    uint32_t first = reg_base;
    int done = 0;
    while (done < count) {
        const int n = std::min(kRegChunk, count - done);
        uint8_t hdr[kRegReqHdrLen];
        put_reg_header(hdr, target, first, static_cast<uint16_t>(n));
        if (!exe_cmd_exact(dev, true, kCmdRegister, kValRegRead, hdr, kRegReqHdrLen,
                           kCmdTimeoutMs) ||
            !usb_ll_check_last_cmd(dev, kCmdRegister, kValRegRead)) {
            zr_log(4, "ERR", "[%s] write phase failed\n", tag);
            return false;
        }
        uint8_t raw[4 * kRegChunk];
        if (!exe_cmd_exact(dev, false, kCmdRegister, kValRegRead, raw, 4 * n, kCmdTimeoutMs) ||
            !usb_ll_check_last_cmd(dev, kCmdRegister, kValRegRead)) {
            zr_log(4, "ERR", "[%s] read phase failed\n", tag);
            return false;
        }
        decode_reg_values(std::span<const uint8_t>(raw, 4 * n),
                          std::span<uint32_t>(values + done, n));
        first += static_cast<uint32_t>(n);
        done += n;
    }
    return true;
}

bool usb_ll_param_set(tarvo_ll_dev_t *dev, const tarvo_ll_param_item_t *items, int count) {
    static const char *const tag = "usb_ll_param_set";
    if (count < 0 || count > kMaxDataLen / static_cast<int>(kParamItemLen) ||
        (count > 0 && items == nullptr)) {
        zr_log(4, "ERR", "[%s] bad parameter list: %p, count=%d\n", tag,
               static_cast<const void *>(items), count);
        return false;
    }
    // An OUT command only reads its data.
    auto *bytes = reinterpret_cast<uint8_t *>(const_cast<tarvo_ll_param_item_t *>(items));
    if (!exe_cmd_exact(dev, true, kCmdDevice, kValParamSet, bytes,
                       static_cast<int>(kParamItemLen) * count, kCmdTimeoutMs)) {
        return false;
    }
    return usb_ll_check_last_cmd(dev, kCmdDevice, kValParamSet);
}

bool usb_ll_param_get(tarvo_ll_dev_t *dev, tarvo_ll_param_item_t *items, int count) {
    static const char *const tag = "usb_ll_param_get";
    if (count < 0 || (count > 0 && items == nullptr)) {
        zr_log(4, "ERR", "[%s] bad parameter list: %p, count=%d\n", tag, static_cast<void *>(items),
               count);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        items[i].param_val_len = 0;
        std::memset(items[i].param_val, 0, sizeof items[i].param_val);
    }
    for (int done = 0; done < count;) {
        const int n = std::min(kParamChunk, count - done);
        const int len = static_cast<int>(kParamItemLen) * n;
        std::array<uint8_t, kParamItemLen * kParamChunk> wire{};
        std::memcpy(wire.data(), items + done, len);
        if (!exe_cmd_exact(dev, true, kCmdDevice, kValParamGet, wire.data(), len, kCmdTimeoutMs)) {
            zr_log(4, "ERR", "[%s] write phase failed\n", tag);
            return false;
        }
        if (!usb_ll_check_last_cmd(dev, kCmdDevice, kValParamGet))
            return false;
        if (!exe_cmd_exact(dev, false, kCmdDevice, kValParamGet, wire.data(), len, kCmdTimeoutMs) ||
            !usb_ll_check_last_cmd(dev, kCmdDevice, kValParamGet)) {
            zr_log(4, "ERR", "[%s] read phase failed\n", tag);
            return false;
        }
        decode_param_items(std::span<const uint8_t>(wire.data(), len),
                           std::span<tarvo_ll_param_item_t>(items + done, n));
        done += n;
    }
    return true;
}

bool usb_ll_dev_reset(tarvo_ll_dev_t *dev, uint8_t target) {
    static const char *const tag = "usb_ll_dev_reset";
    zr_log(0, "TRC", "[%s] rest device (target=%d)\n", tag, target);
    uint8_t arg[4];
    put_le32(arg, target);
    if (target != 3) {
        if (!exe_cmd_exact(dev, true, kCmdDevice, kValReset, arg, sizeof arg, kCmdTimeoutMs)) {
            return false;
        }
        return usb_ll_check_last_cmd(dev, kCmdDevice, kValReset);
    }
    // The camera drops off the bus and re-enumerates on the same port within about 3 s.
    zr_log(0, "TRC", "[%s] Reset usb if (timeout = %d ms) ...\n", tag, 3000);
    exe_cmd_exact(dev, true, kCmdDevice, kValReset, arg, sizeof arg, kCmdTimeoutMs);
    usb_ll_dev_close(dev);
    bool back = false;
    for (int i = 0; i < kResetAttempts && !back; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        back = tarvo_ll_dev_open(dev) != nullptr;
    }
    if (!back)
        zr_log(3, "WRN", "[%s] reopen device failed!\n", tag);
    zr_log(0, "TRC", "[%s] Reset usb if end. \n", tag);
    return false;
}
