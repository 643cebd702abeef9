// Decoding of what the camera answers on endpoint 0: the status reply that confirms a command,
// register values and parameter items. Pure functions over bytes, so that every reply the
// camera can send is testable without a device.
#pragma once

#include <tarvo/ll.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvo::ll {

inline constexpr size_t kStatusReplyLen = 63;
inline constexpr size_t kStatusMsgLen = 60;
inline constexpr size_t kParamItemLen = sizeof(tarvo_ll_param_item_t);

// What a status reply says about the command (type, value) it should confirm.
enum class CmdStatus {
    done,      // the camera finished the command
    busy,      // status byte 0xFE: poll again
    failed,    // status byte 0xFF: the camera refused; its message is logged
    mismatch,  // the reply is about another command; logged
};
// Reply layout: status byte, the command type and value it is about, a 60-byte message that is
// NUL-terminated only when shorter than its field.
CmdStatus decode_status(std::span<const uint8_t, kStatusReplyLen> reply, uint8_t type,
                        uint8_t value);

// Register values, 32-bit little-endian each; reads values.size() of them from raw, which must
// hold 4 bytes per value.
void decode_reg_values(std::span<const uint8_t> raw, std::span<uint32_t> values);

// Parameter items as the camera sends them, 20 bytes each with no padding; fills
// items.size() items from wire, which must hold 20 bytes per item.
void decode_param_items(std::span<const uint8_t> wire, std::span<tarvo_ll_param_item_t> items);

}  // namespace tarvo::ll
