#include "vcam_flash.h"

#include "byte_order.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace tarvo::vcam {

namespace {

bool all_zero(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

CommandOutcome failure(std::string message) {
    CommandOutcome out;
    out.ok = false;
    out.message = std::move(message);
    return out;
}

CommandOutcome answered(size_t n) {
    CommandOutcome out;
    out.answered = n;
    return out;
}

uint32_t default_address(uint8_t type) {
    return 0x00100000u * (uint32_t{type} + 1);
}

}  // namespace

uint16_t flash_crc16(std::span<const uint8_t> bytes) {
    // Table-free and bytewise on purpose: a different shape from the host's bitwise loop.
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        uint16_t x = static_cast<uint16_t>((crc >> 8) ^ b);
        x = static_cast<uint16_t>(x ^ (x >> 4));
        crc = static_cast<uint16_t>((crc << 8) ^ (x << 12) ^ (x << 5) ^ x);
    }
    return crc;
}

void Flash::store(uint8_t type, uint16_t version, std::vector<uint8_t> bytes,
                  std::optional<uint32_t> address) {
    std::lock_guard lock(mutex_);
    images_[type] = Image{version, address.value_or(default_address(type)), std::move(bytes)};
}

void Flash::erase(uint8_t type) {
    std::lock_guard lock(mutex_);
    images_.erase(type);
}

std::optional<Flash::Image> Flash::image(uint8_t type) const {
    std::lock_guard lock(mutex_);
    auto it = images_.find(type);
    if (it == images_.end())
        return std::nullopt;
    return it->second;
}

void Flash::set_erase_acks(int count) {
    std::lock_guard lock(mutex_);
    erase_acks_ = count;
}

void Flash::set_info_ack(uint32_t next, uint8_t status) {
    std::lock_guard lock(mutex_);
    info_ack_next_ = next;
    info_ack_status_ = status;
}

void Flash::set_erase_end(uint32_t next, uint8_t status) {
    std::lock_guard lock(mutex_);
    erase_end_next_ = next;
    erase_end_status_ = status;
}

void Flash::set_chunk_ack_fault(uint32_t chunk, AckFault fault) {
    std::lock_guard lock(mutex_);
    ack_faults_[chunk] = fault;
}

void Flash::set_reported_size(std::optional<uint32_t> size) {
    std::lock_guard lock(mutex_);
    reported_size_ = size;
}

void Flash::fail_command(uint16_t action, Dir dir, int skip) {
    std::lock_guard lock(mutex_);
    injected_.push_back(Injected{action, dir, skip});
}

Flash::Stats Flash::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

bool Flash::injected_failure_locked(uint16_t action, Dir dir) {
    for (auto it = injected_.begin(); it != injected_.end(); ++it) {
        if (it->action != action || it->dir != dir)
            continue;
        if (it->skip > 0) {
            --it->skip;
            continue;
        }
        injected_.erase(it);
        return true;
    }
    return false;
}

CommandOutcome Flash::refuse_locked(std::string why) {
    stats_.errors.push_back(why);
    return failure(std::move(why));
}

CommandOutcome Flash::write(uint16_t value, std::span<const uint8_t> data) {
    std::lock_guard lock(mutex_);
    if (injected_failure_locked(value, Dir::out))
        return failure("injected failure");
    switch (value) {
        case kActionInfo:
            // Only the type counts in a query; the reserved bytes must be 0.
            if (data.size() != kInfoRecordSize || data[1] != 0 || !all_zero(data.subspan(12)))
                return refuse_locked("bad information query");
            query_type_ = data[0];
            read_pos_ = 0;
            payload_pending_ = 0;
            return {};
        case kActionTransferInfo:
            return write_transfer_info_locked(data);
        case kActionAck:
            if (data.size() != kAckSize || !all_zero(data))
                return refuse_locked("bad acknowledgement request");
            ack_requested_ = true;
            return {};
        case kAction5:
            if (data.size() != kAction5Size || !all_zero(data))
                return refuse_locked("bad action 5 request");
            action5_requested_ = true;
            return {};
        case kActionChunk:
            return write_chunk_locked(data);
        case kActionErase:
            return write_erase_locked(data);
        case kActionPayload:
            return write_payload_request_locked(data);
        default:
            return refuse_locked("unknown action " + std::to_string(value));
    }
}

CommandOutcome Flash::read(uint16_t value, std::span<uint8_t> reply) {
    std::lock_guard lock(mutex_);
    if (injected_failure_locked(value, Dir::in))
        return failure("injected failure");
    switch (value) {
        case kActionInfo:
            return read_info_locked(reply);
        case kActionAck:
            return read_ack_locked(reply);
        case kAction5:
            if (reply.size() != kAction5Size || !action5_requested_)
                return refuse_locked("action 5 read out of turn");
            action5_requested_ = false;
            std::fill(reply.begin(), reply.end(), 0);
            return answered(reply.size());
        case kActionPayload:
            return read_payload_locked(reply);
        default:
            return refuse_locked("action " + std::to_string(value) + " has no answer");
    }
}

CommandOutcome Flash::write_transfer_info_locked(std::span<const uint8_t> data) {
    if (data.size() != kTransferInfoSize || data[1] != 0 || !all_zero(data.subspan(8)))
        return refuse_locked("bad transfer information");
    const uint32_t size = get_le32(&data[4]);
    if (size == 0 || size == kNoDataSize)
        return refuse_locked("bad image size");
    state_ = State::announced;
    type_ = data[0];
    version_ = get_le16(&data[2]);
    size_ = size;
    received_.clear();
    chunks_ = 0;
    last_chunk_.reset();
    ++stats_.transfer_infos;
    return {};
}

CommandOutcome Flash::write_erase_locked(std::span<const uint8_t> data) {
    if (data.size() != kEraseRequestSize || !all_zero(data.subspan(9)))
        return refuse_locked("bad erase request");
    if (state_ != State::announced)
        return refuse_locked("erase request out of turn");
    if (data[0] != type_ || get_le32(&data[1]) != size_ || get_le32(&data[5]) != kFlashChunkSize)
        return refuse_locked("erase request does not match the transfer information");
    state_ = State::erasing;
    erase_left_ = erase_acks_;
    ++stats_.erase_requests;
    return {};
}

CommandOutcome Flash::write_chunk_locked(std::span<const uint8_t> data) {
    if (state_ != State::receiving)
        return refuse_locked("chunk out of turn");
    if (data.size() < kChunkHeaderSize)
        return refuse_locked("short chunk header");
    const uint32_t len = get_le32(&data[2]);
    if (len == 0 || len > kFlashChunkSize || data.size() != kChunkHeaderSize + len)
        return refuse_locked("bad chunk length");
    const size_t remaining = size_ - received_.size();
    // Every chunk but the last is full; none runs past the announced size.
    if (len > remaining || (len < kFlashChunkSize && len != remaining))
        return refuse_locked("chunk does not fit the image");
    last_chunk_ = chunks_;
    const auto bytes = data.subspan(kChunkHeaderSize);
    if (flash_crc16(bytes) != get_le16(&data[0])) {
        // Taken on the wire but not into the flash: the acknowledgement asks for it again.
        ++stats_.crc_errors;
        return {};
    }
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    ++chunks_;
    stats_.chunk_lengths.push_back(len);
    if (received_.size() == size_) {
        images_[type_] = Image{version_, default_address(type_), received_};
        state_ = State::stored;
    }
    return {};
}

CommandOutcome Flash::write_payload_request_locked(std::span<const uint8_t> data) {
    if (data.size() != kPayloadRequestSize || !all_zero(data.subspan(0, 4)) ||
        !all_zero(data.subspan(6)))
        return refuse_locked("bad payload request");
    const uint16_t len = get_le16(&data[4]);
    if (len == 0 || len > kPayloadPieceSize)
        return refuse_locked("bad payload length");
    payload_pending_ = len;
    return {};
}

CommandOutcome Flash::read_info_locked(std::span<uint8_t> reply) {
    if (reply.size() != kInfoRecordSize)
        return refuse_locked("bad information read");
    std::fill(reply.begin(), reply.end(), 0);
    reply[0] = query_type_;
    auto it = images_.find(query_type_);
    if (it == images_.end()) {
        put_le32(&reply[4], kNoDataSize);
        put_le32(&reply[8], default_address(query_type_));
    } else {
        put_le16(&reply[2], it->second.version);
        put_le32(&reply[4],
                 reported_size_.value_or(static_cast<uint32_t>(it->second.bytes.size())));
        put_le32(&reply[8], it->second.address);
    }
    return answered(reply.size());
}

CommandOutcome Flash::read_ack_locked(std::span<uint8_t> reply) {
    if (reply.size() != kAckSize || !ack_requested_)
        return refuse_locked("acknowledgement read out of turn");
    ack_requested_ = false;
    uint32_t next = 0;
    uint8_t status = 0;
    switch (state_) {
        case State::idle:
            break;
        case State::announced:
            next = info_ack_next_;
            status = info_ack_status_;
            break;
        case State::erasing:
            if (erase_left_ != 0) {
                if (erase_left_ > 0)
                    --erase_left_;
                status = kAckErasing;
                break;
            }
            state_ = State::receiving;
            next = erase_end_next_;
            status = erase_end_status_;
            break;
        case State::receiving:
        case State::stored:
            next = chunks_;
            status = kAckReady;
            if (last_chunk_) {
                auto fault = ack_faults_.find(*last_chunk_);
                if (fault != ack_faults_.end()) {
                    next = fault->second == AckFault::repeat ? *last_chunk_ : *last_chunk_ + 2;
                    ack_faults_.erase(fault);
                }
            }
            break;
    }
    std::fill(reply.begin(), reply.end(), 0);
    put_le32(&reply[0], next);
    reply[4] = status;
    ++stats_.ack_reads;
    return answered(reply.size());
}

CommandOutcome Flash::read_payload_locked(std::span<uint8_t> reply) {
    if (payload_pending_ == 0 || reply.size() != payload_pending_)
        return refuse_locked("payload read does not match its request");
    auto it = images_.find(query_type_);
    if (it == images_.end())
        return refuse_locked("no data stored");
    const std::vector<uint8_t> &bytes = it->second.bytes;
    if (read_pos_ + reply.size() > bytes.size())
        return refuse_locked("payload read beyond the stored data");
    std::memcpy(reply.data(), bytes.data() + read_pos_, reply.size());
    read_pos_ += reply.size();
    stats_.payload_lengths.push_back(payload_pending_);
    payload_pending_ = 0;
    return answered(reply.size());
}

}  // namespace tarvo::vcam
