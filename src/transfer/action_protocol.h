// The action protocol on command type 0xCC: wire records, the request sender shared by the write
// and read directions, and the waits of the write's finish, which tests replace.
#pragma once

#include <tarvo/ll.h>
#include <tarvo/transfer.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "ll/byte_order.h"

namespace tarvo::transfer {

inline constexpr uint8_t kActionType = 0xCC;

enum Action : uint8_t {
    kActionInfo = 0,
    kActionTransferInfo = 1,
    kActionAck = 4,
    kAction5 = 5,
    kActionChunk = 6,
    kActionErase = 7,
    kActionPayload = 17,
};

// Acknowledgement statuses.
inline constexpr uint8_t kAckReady = 1;
inline constexpr uint8_t kAckInfoAccepted = 3;
inline constexpr uint8_t kAckErasing = 4;

inline constexpr size_t kTransferInfoSize = 12;
inline constexpr size_t kEraseRequestSize = 13;
inline constexpr size_t kChunkHeaderSize = 6;
inline constexpr size_t kChunkSize = AL_DATA_CHUNK_SIZE;
inline constexpr size_t kPayloadRequestSize = 12;

using bytes::get_le16;
using bytes::get_le32;
using bytes::put_le16;
using bytes::put_le32;

// Data information record, decoded from its 16 wire bytes.
struct DataInfo {
    uint8_t type = 0;
    uint16_t version = 0;
    uint32_t size = 0;
    uint32_t addr = 0;
};
std::array<uint8_t, AL_DATA_INFO_SIZE> encode_info_request(uint8_t type);
DataInfo decode_info(std::span<const uint8_t, AL_DATA_INFO_SIZE> wire);

std::array<uint8_t, kTransferInfoSize> encode_transfer_info(uint8_t type, uint16_t version,
                                                            uint32_t size);
std::array<uint8_t, kEraseRequestSize> encode_erase_request(uint8_t type, uint32_t size);
std::array<uint8_t, kChunkHeaderSize> encode_chunk_header(std::span<const uint8_t> chunk);

struct Ack {
    uint32_t next = 0;
    uint8_t status = 0;
};
Ack decode_ack(std::span<const uint8_t, AL_DATA_ACK_SIZE> wire);

inline constexpr uint8_t kHostToDevice = 1;
inline constexpr uint8_t kDeviceToHost = 0;

// One phase of an action: the command, then the camera's confirmation of that very command.
bool action_phase(tarvo_ll_dev_t *dev, uint8_t dir, unsigned action, uint8_t *data, int len,
                  unsigned timeout_ms);

// Sends the request phase of action 1, 4, 6 or 7 and polls its status. For action 6 `request`
// is the chunk header and `chunk` the bytes it announces. Result 1, or -1 when the command or
// its poll fails, the action is not one of those, or a chunk header announces 0 or more than
// 1018 bytes.
int al_data_send_action_info(tarvo_ll_dev_t *dev, uint8_t action, const uint8_t *request,
                             const uint8_t *chunk);

// How long the write waits after a completed transfer, and for how long it keeps reading
// "erasing" acknowledgements. Tests replace them; the library itself never does.
struct Timing {
    std::function<void(std::chrono::milliseconds)> sleep;
    std::chrono::milliseconds erase_limit;
};
Timing &timing();
// Puts the defaults back: a real sleep and an erase bound of two minutes.
void reset_timing();

}  // namespace tarvo::transfer
