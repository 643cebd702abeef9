#include "transfer/action_protocol.h"

#include <tarvo/log.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace tarvo::transfer {

namespace {

constexpr unsigned kInfoTimeoutMs = 1000;
constexpr unsigned kLongTimeoutMs = 10000;
constexpr unsigned kShortTimeoutMs = 1000;
constexpr unsigned kAckTimeoutMs = 5000;
// A whole-flash erase on the camera's NOR parts has been seen to take tens of seconds; two
// minutes leaves room for that and still gets a caller out of a camera that never finishes.
constexpr std::chrono::milliseconds kDefaultEraseLimit{120000};

}  // namespace

bool action_phase(tarvo_ll_dev_t *dev, uint8_t dir, unsigned action, uint8_t *data, int len,
                  unsigned timeout_ms) {
    return tarvo_ll_exe_cmd(dev, dir, kActionType, action, data, len, timeout_ms) &&
           tarvo_ll_check_last_cmd(dev, kActionType, action);
}

std::array<uint8_t, AL_DATA_INFO_SIZE> encode_info_request(uint8_t type) {
    std::array<uint8_t, AL_DATA_INFO_SIZE> wire{};
    wire[0] = type;
    return wire;
}

DataInfo decode_info(std::span<const uint8_t, AL_DATA_INFO_SIZE> wire) {
    DataInfo info;
    info.type = wire[0];
    info.version = get_le16(&wire[2]);
    info.size = get_le32(&wire[4]);
    info.addr = get_le32(&wire[8]);
    return info;
}

std::array<uint8_t, kTransferInfoSize> encode_transfer_info(uint8_t type, uint16_t version,
                                                            uint32_t size) {
    std::array<uint8_t, kTransferInfoSize> wire{};
    wire[0] = type;
    put_le16(&wire[2], version);
    put_le32(&wire[4], size);
    return wire;
}

std::array<uint8_t, kEraseRequestSize> encode_erase_request(uint8_t type, uint32_t size) {
    std::array<uint8_t, kEraseRequestSize> wire{};
    wire[0] = type;
    put_le32(&wire[1], size);
    put_le32(&wire[5], static_cast<uint32_t>(kChunkSize));
    return wire;
}

std::array<uint8_t, kChunkHeaderSize> encode_chunk_header(std::span<const uint8_t> chunk) {
    std::array<uint8_t, kChunkHeaderSize> wire{};
    put_le16(&wire[0], al_data_calc_crc(chunk.data(), static_cast<uint16_t>(chunk.size())));
    put_le32(&wire[2], static_cast<uint32_t>(chunk.size()));
    return wire;
}

Ack decode_ack(std::span<const uint8_t, AL_DATA_ACK_SIZE> wire) {
    return Ack{get_le32(&wire[0]), wire[4]};
}

int al_data_send_action_info(tarvo_ll_dev_t *dev, uint8_t action, const uint8_t *request,
                             const uint8_t *chunk) {
    static const char *const kTag = "al_data_send_action_info";
    if (request == nullptr) {
        zr_log(4, "ERR", "[%s] no request for action %u\n", kTag, action);
        return -1;
    }
    // Large enough for the biggest request: a full chunk behind its header.
    std::array<uint8_t, kChunkHeaderSize + kChunkSize> buf{};
    size_t len = 0;
    unsigned timeout_ms = kShortTimeoutMs;
    switch (action) {
        case kActionTransferInfo:
            len = kTransferInfoSize;
            timeout_ms = kLongTimeoutMs;
            std::memcpy(buf.data(), request, len);
            zr_log(2, "INF", "[%s] type = %hu, version = %hu, size = %d\n", kTag,
                   static_cast<unsigned short>(buf[0]), get_le16(&buf[2]),
                   static_cast<int>(get_le32(&buf[4])));
            break;
        case kActionAck:
            len = AL_DATA_ACK_SIZE;
            std::memcpy(buf.data(), request, len);
            break;
        case kActionChunk: {
            const uint32_t chunk_len = get_le32(request + 2);
            // The header sizes the copy: a length beyond one chunk would run past both buffers.
            if (chunk_len == 0 || chunk_len > kChunkSize || chunk == nullptr) {
                zr_log(4, "ERR", "[%s] bad chunk length %u\n", kTag,
                       static_cast<unsigned>(chunk_len));
                return -1;
            }
            std::memcpy(buf.data(), request, kChunkHeaderSize);
            std::memcpy(buf.data() + kChunkHeaderSize, chunk, chunk_len);
            len = kChunkHeaderSize + chunk_len;
            break;
        }
        case kActionErase:
            len = kEraseRequestSize;
            timeout_ms = kLongTimeoutMs;
            std::memcpy(buf.data(), request, len);
            break;
        default:
            zr_log(4, "ERR", "[%s] action %u has no request of its own\n", kTag, action);
            return -1;
    }
    return action_phase(dev, kHostToDevice, action, buf.data(), static_cast<int>(len), timeout_ms)
               ? 1
               : -1;
}

Timing &timing() {
    static Timing t{[](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); },
                    kDefaultEraseLimit};
    return t;
}

void reset_timing() {
    timing() = Timing{[](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); },
                      kDefaultEraseLimit};
}

}  // namespace tarvo::transfer

using namespace tarvo::transfer;

extern "C" {

TARVO_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len) {
    if (data == nullptr)
        return 0;
    uint16_t crc = 0;
    for (uint16_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(crc ^ (uint16_t{data[i]} << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                      : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

TARVO_API int al_get_data_info(tarvo_ll_dev_t *dev, uint16_t value, void *record, uint8_t size) {
    static const char *const kTag = "al_get_data_info";
    if (record == nullptr || size == 0) {
        zr_log(4, "ERR", "[%s] wrong params: record=%p, size=%u\n", kTag, record, size);
        return 0;
    }
    auto *bytes = static_cast<uint8_t *>(record);
    // The answer lands in a copy first, so a failed read leaves the caller's record as it was.
    std::array<uint8_t, 255> buf{};
    std::copy_n(bytes, size, buf.begin());
    if (!action_phase(dev, kHostToDevice, value, buf.data(), size, kInfoTimeoutMs)) {
        zr_log(4, "ERR", "[%s] write phase failed\n", kTag);
        return 0;
    }
    if (!action_phase(dev, kDeviceToHost, value, buf.data(), size, kInfoTimeoutMs)) {
        zr_log(4, "ERR", "[%s] read phase failed\n", kTag);
        return 0;
    }
    std::copy_n(buf.begin(), size, bytes);
    return 1;
}

TARVO_API int al_data_read_action_info(tarvo_ll_dev_t *dev, uint8_t action, void *out) {
    static const char *const kTag = "al_data_read_action_info";
    size_t len = 0;
    if (action == kActionAck)
        len = AL_DATA_ACK_SIZE;
    else if (action == kAction5)
        len = AL_DATA_ACTION5_SIZE;
    else
        return 1;
    if (out == nullptr) {
        zr_log(4, "ERR", "[%s] no output record\n", kTag);
        return -1;
    }
    std::array<uint8_t, AL_DATA_ACK_SIZE> buf{};
    if (!action_phase(dev, kHostToDevice, action, buf.data(), static_cast<int>(len),
                      kAckTimeoutMs)) {
        zr_log(4, "ERR", "[%s] Write phase failed\n", kTag);
        return 0;
    }
    if (!action_phase(dev, kDeviceToHost, action, buf.data(), static_cast<int>(len),
                      kAckTimeoutMs)) {
        zr_log(4, "ERR", "[%s] Read phase failed\n", kTag);
        return -1;
    }
    std::memcpy(out, buf.data(), len);
    return 1;
}

}  // extern "C"
