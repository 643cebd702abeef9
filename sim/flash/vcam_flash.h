// The virtual camera's flash: the images it stores per data type and the action protocol on
// command type 0xCC that writes and reads them. Install it with
// camera->set_command_extension(kTypeAction, flash).
//
// Writing walks: transfer information (action 1) -> information accepted (acknowledgement
// status 3) -> erase request (action 7) -> "erasing" (status 4) for a settable number of
// acknowledgement reads -> ready (status 1, next 0) -> chunks (action 6), each checked for its
// CRC, length and place, acknowledged with the number of chunks accepted -> the image is stored
// when its last byte has arrived. Reading: the information query (action 0) selects a type and
// rewinds; payload requests (action 17) hand out its bytes in order.
//
// Requests that break the protocol (wrong sizes, non-zero reserved bytes, out of turn) are
// refused with a failed status and listed in Stats::errors, so a test sees them.
//
// Thread context: every member is thread-safe. write() and read() run on the simulator's
// thread; the setters may be called from a test at any time.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vcam.h"

namespace tarvo::vcam {

inline constexpr uint16_t kActionInfo = 0;
inline constexpr uint16_t kActionTransferInfo = 1;
inline constexpr uint16_t kActionAck = 4;
inline constexpr uint16_t kAction5 = 5;
inline constexpr uint16_t kActionChunk = 6;
inline constexpr uint16_t kActionErase = 7;
inline constexpr uint16_t kActionPayload = 17;

inline constexpr size_t kInfoRecordSize = 16;
inline constexpr size_t kTransferInfoSize = 12;
inline constexpr size_t kAckSize = 13;
inline constexpr size_t kAction5Size = 9;
inline constexpr size_t kEraseRequestSize = 13;
inline constexpr size_t kChunkHeaderSize = 6;
inline constexpr size_t kFlashChunkSize = 1018;
inline constexpr size_t kPayloadRequestSize = 12;
inline constexpr size_t kPayloadPieceSize = 450;
inline constexpr uint32_t kNoDataSize = 0xFFFFFFFF;

inline constexpr uint8_t kAckReady = 1;
inline constexpr uint8_t kAckInfoAccepted = 3;
inline constexpr uint8_t kAckErasing = 4;

// CRC-16/XMODEM, as the camera checks chunks.
uint16_t flash_crc16(std::span<const uint8_t> bytes);

class Flash final : public CommandExtension {
  public:
    struct Image {
        uint16_t version = 0;
        uint32_t address = 0;
        std::vector<uint8_t> bytes;
    };

    // What the acknowledgement after one chunk says instead of the truth.
    enum class AckFault {
        repeat,  // names the chunk just sent again
        skip,    // names the chunk after the next
    };

    struct Stats {
        std::vector<uint32_t> chunk_lengths;  // every chunk accepted, in order
        uint32_t crc_errors = 0;              // chunks refused for their CRC
        uint32_t erase_requests = 0;
        uint32_t transfer_infos = 0;            // action 1 requests accepted
        uint32_t ack_reads = 0;                 // acknowledgements answered
        std::vector<uint16_t> payload_lengths;  // every payload piece handed out
        std::vector<std::string> errors;        // requests refused as protocol violations
    };

    // Stores an image of `type` as if written earlier; its address defaults to a slot per type.
    void store(uint8_t type, uint16_t version, std::vector<uint8_t> bytes,
               std::optional<uint32_t> address = std::nullopt);
    // Nothing valid of `type` is stored: the information query reports size 0xFFFFFFFF.
    void erase(uint8_t type);
    std::optional<Image> image(uint8_t type) const;

    // "Erasing" answers before the camera is ready; -1: the erase never ends.
    void set_erase_acks(int count);
    // The acknowledgement after the transfer information, instead of (next 0, status 3).
    void set_info_ack(uint32_t next, uint8_t status);
    // The acknowledgement that ends the erase, instead of (next 0, status 1).
    void set_erase_end(uint32_t next, uint8_t status);
    // The acknowledgement read after chunk `chunk` (counting from 0) lies once.
    void set_chunk_ack_fault(uint32_t chunk, AckFault fault);
    // The information query reports this size for every stored type, whatever is stored.
    void set_reported_size(std::optional<uint32_t> size);
    // The matching command after `skip` earlier matches fails (status 0xFF), once.
    void fail_command(uint16_t action, Dir dir, int skip = 0);

    Stats stats() const;

    CommandOutcome write(uint16_t value, std::span<const uint8_t> data) override;
    CommandOutcome read(uint16_t value, std::span<uint8_t> reply) override;

  private:
    enum class State { idle, announced, erasing, receiving, stored };
    struct Injected {
        uint16_t action;
        Dir dir;
        int skip;
    };

    bool injected_failure_locked(uint16_t action, Dir dir);
    CommandOutcome refuse_locked(std::string why);
    CommandOutcome write_transfer_info_locked(std::span<const uint8_t> data);
    CommandOutcome write_erase_locked(std::span<const uint8_t> data);
    CommandOutcome write_chunk_locked(std::span<const uint8_t> data);
    CommandOutcome write_payload_request_locked(std::span<const uint8_t> data);
    CommandOutcome read_ack_locked(std::span<uint8_t> reply);
    CommandOutcome read_info_locked(std::span<uint8_t> reply);
    CommandOutcome read_payload_locked(std::span<uint8_t> reply);

    mutable std::mutex mutex_;
    std::map<uint8_t, Image> images_;
    Stats stats_;
    std::vector<Injected> injected_;
    int erase_acks_ = 0;
    uint32_t info_ack_next_ = 0;
    uint8_t info_ack_status_ = kAckInfoAccepted;
    uint32_t erase_end_next_ = 0;
    uint8_t erase_end_status_ = kAckReady;
    std::map<uint32_t, AckFault> ack_faults_;
    std::optional<uint32_t> reported_size_;

    // The write in progress.
    State state_ = State::idle;
    uint8_t type_ = 0;
    uint16_t version_ = 0;
    uint32_t size_ = 0;
    int erase_left_ = 0;
    std::vector<uint8_t> received_;
    uint32_t chunks_ = 0;
    std::optional<uint32_t> last_chunk_;  // index of the chunk the last action 6 carried
    bool ack_requested_ = false;

    // The read in progress.
    uint8_t query_type_ = 0;
    bool action5_requested_ = false;
    size_t read_pos_ = 0;
    uint16_t payload_pending_ = 0;
};

}  // namespace tarvo::vcam
