#include "ll/cmd_reply.h"

#include <tarvo/log.h>

#include <cstring>

#include "ll/byte_order.h"

namespace tarvo::ll {

CmdStatus decode_status(std::span<const uint8_t, kStatusReplyLen> reply, uint8_t type,
                        uint8_t value) {
    static const char *const tag = "usb_ll_check_last_cmd";
    if (reply[1] != type || reply[2] != value) {
        zr_log(3, "WRN", "[%s]  last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", tag,
               reply[1], reply[2], type, value);
        return CmdStatus::mismatch;
    }
    if (reply[0] == 0xFF) {
        zr_log(4, "ERR", "[%s] %.*s\n", tag, static_cast<int>(kStatusMsgLen),
               reinterpret_cast<const char *>(reply.data() + 3));
        return CmdStatus::failed;
    }
    return reply[0] == 0xFE ? CmdStatus::busy : CmdStatus::done;
}

void decode_reg_values(std::span<const uint8_t> raw, std::span<uint32_t> values) {
    for (size_t i = 0; i < values.size() && 4 * i + 4 <= raw.size(); ++i)
        values[i] = bytes::get_le32(raw.data() + 4 * i);
}

void decode_param_items(std::span<const uint8_t> wire, std::span<tarvo_ll_param_item_t> items) {
    for (size_t i = 0; i < items.size() && kParamItemLen * (i + 1) <= wire.size(); ++i) {
        const uint8_t *p = wire.data() + kParamItemLen * i;
        items[i].param_id = p[0];
        items[i].param_val_len = p[1];
        std::memcpy(items[i].param_val, p + 2, sizeof items[i].param_val);
    }
}

}  // namespace tarvo::ll
