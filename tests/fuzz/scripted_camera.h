// A transport whose camera answers from a script of bytes (the fuzz input): every IN command
// takes its reply from the script and every status poll one verdict byte. When the script runs
// out, every command fails, so a protocol loop always ends.
#pragma once

#include <tarvo/ll.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "ll/cmd_reply.h"

namespace tarvo::fuzz {

class Script {
  public:
    void load(std::span<const uint8_t> bytes) {
        bytes_ = bytes;
        at_ = 0;
    }
    // The next n bytes, or an empty span when fewer are left.
    std::span<const uint8_t> take(size_t n) {
        if (bytes_.size() - at_ < n)
            return {};
        const auto piece = bytes_.subspan(at_, n);
        at_ += n;
        return piece;
    }
    bool exhausted() const { return at_ >= bytes_.size(); }

  private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

inline Script &script() {
    static Script s;
    return s;
}

inline bool scripted_exe_cmd(tarvo_ll_dev_t *, uint8_t dir, uint8_t, uint16_t, uint8_t *data,
                             int len, unsigned) {
    if (script().exhausted())
        return false;
    if (dir != 0 || len <= 0)
        return true;
    const auto reply = script().take(static_cast<size_t>(len));
    if (reply.empty())
        return false;
    std::memcpy(data, reply.data(), reply.size());
    return true;
}

// A status reply of 63 bytes goes through the transport's own decoder; the type and value
// bytes are forced to the expected ones in most replies so the script reaches further.
inline bool scripted_check_last_cmd(tarvo_ll_dev_t *, uint8_t type, uint8_t value) {
    for (;;) {
        const auto verdict = script().take(1);
        if (verdict.empty())
            return false;
        std::array<uint8_t, ll::kStatusReplyLen> reply{};
        if (verdict[0] >= 0xF0) {
            const auto raw = script().take(reply.size());
            if (raw.empty())
                return false;
            std::copy(raw.begin(), raw.end(), reply.begin());
        } else {
            reply = {verdict[0] == 0 ? uint8_t{0xFE} : uint8_t{0}, type, value};
        }
        const ll::CmdStatus status = ll::decode_status(reply, type, value);
        if (status != ll::CmdStatus::busy)
            return status == ll::CmdStatus::done;
    }
}

inline bool scripted_reg_read(tarvo_ll_dev_t *, uint8_t, uint32_t, uint32_t *values,
                              uint16_t count) {
    const auto raw = script().take(4u * count);
    if (raw.empty() && count > 0)
        return false;
    ll::decode_reg_values(raw, std::span<uint32_t>(values, count));
    return true;
}

inline bool scripted_param_get(tarvo_ll_dev_t *, tarvo_ll_param_item_t *items, int count) {
    const auto wire = script().take(ll::kParamItemLen * static_cast<size_t>(count));
    if (wire.empty() && count > 0)
        return false;
    ll::decode_param_items(wire, std::span<tarvo_ll_param_item_t>(items, count));
    return true;
}

inline bool refuse_reg_write(tarvo_ll_dev_t *, uint8_t, uint32_t, const uint32_t *, uint16_t) {
    return false;
}
inline bool refuse_param_set(tarvo_ll_dev_t *, const tarvo_ll_param_item_t *, int) {
    return false;
}
inline bool refuse_reset(tarvo_ll_dev_t *, uint8_t) {
    return false;
}

inline const tarvo_ll_ops_t *scripted_ops() {
    static const tarvo_ll_ops_t ops = [] {
        tarvo_ll_ops_t o{};
        o.exe_cmd = scripted_exe_cmd;
        o.check_last_cmd = scripted_check_last_cmd;
        o.dev_reset = refuse_reset;
        o.reg_write = refuse_reg_write;
        o.reg_read = scripted_reg_read;
        o.param_set = refuse_param_set;
        o.param_get = scripted_param_get;
        return o;
    }();
    return &ops;
}

}  // namespace tarvo::fuzz
