// Reader of MCAP recordings (major version 0): schemas, channels, messages in log-time order,
// metadata and attachments. Defensive: every length is checked against what the file holds,
// zstd chunks are checked against their CRC-32 and size, unknown opcodes are skipped, and a
// file cut short is read up to its last whole record, with or without summary and footer.
//
// The reader depends on the C++ standard library and libzstd only, so that the virtual camera
// (which shares no code with the library) can link it as well as the tools.
//
// Thread context: pure functions; the results belong to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace tarvo::recording {

struct McapSchema {
    uint16_t id = 0;
    std::string name;
    std::string encoding;
    std::vector<uint8_t> data;
};

struct McapChannel {
    uint16_t id = 0;
    uint16_t schema_id = 0;
    std::string topic;
    std::string message_encoding;
    std::map<std::string, std::string> metadata;
};

struct McapMessage {
    uint16_t channel_id = 0;
    uint32_t sequence = 0;
    uint64_t log_time = 0;
    uint64_t publish_time = 0;
    std::vector<uint8_t> data;
};

struct McapMetadata {
    std::string name;
    std::map<std::string, std::string> values;
};

struct McapAttachment {
    uint64_t log_time = 0;
    uint64_t create_time = 0;
    std::string name;
    std::string media_type;
    std::vector<uint8_t> data;
};

// Everything a recording holds. Messages are sorted by log time (stable: records of equal time
// keep their order in the file).
struct McapContents {
    std::string profile;
    std::string library;
    std::map<uint16_t, McapSchema> schemas;
    std::map<uint16_t, McapChannel> channels;
    std::vector<McapMessage> messages;
    std::vector<McapMetadata> metadata;
    std::vector<McapAttachment> attachments;
    bool complete = false;              // the footer and the closing magic were read
    uint64_t whole_bytes = 0;           // bytes read as whole records (with the leading magic)
    std::vector<std::string> warnings;  // what was skipped, one line each

    const McapChannel *channel_by_topic(const std::string &topic) const;
    const McapMetadata *metadata_named(const std::string &name) const;
    const McapAttachment *attachment_named(const std::string &name) const;
};

// Limits that keep a hostile file from exhausting memory.
inline constexpr uint64_t kMaxChunkBytes = uint64_t{1} << 30;  // uncompressed chunk

// Reads a recording held in memory. False with `error` (one line, no trailing newline) when the
// bytes are not an MCAP file or a record is damaged (bad CRC, impossible length, a message on
// an unknown channel); a file that only ends early is not an error (`complete` stays false).
bool read_mcap(std::span<const uint8_t> bytes, McapContents &out, std::string &error);

// The same for a file; `error` names the file.
bool read_mcap_file(const std::string &path, McapContents &out, std::string &error);

// Text taken from a file, fit for one line of an error message: bytes outside printable ASCII
// as \xNN, cut after 60 characters with "...".
std::string printable(const std::string &text);

// CRC-32 (the zlib polynomial), continued from `crc` (0 to start).
uint32_t mcap_crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

// The frame message of topic "/tarvo/raw": the 20-byte frame information as the library fills
// it, the frame's sequence, frames lost before it, its monotonic arrival time, the temperatures
// of its stream header (sensor chip, then illumination board, tenths of a degree, i16 each),
// then the raw frame bytes, all little-endian. Recordings of earlier versions lack the
// temperatures; the channel's "layout" metadata tells which layout its messages have.
inline constexpr const char *kRawTopic = "/tarvo/raw";
inline constexpr size_t kRawFrameInfoSize = 20;
inline constexpr const char *kRawLayoutKey = "layout";
inline constexpr const char *kRawLayoutWithoutTemperatures =
    "frame_info[20] sequence:u64 lost_before:u32 monotonic_ns:u64 frame_bytes (little-endian)";
inline constexpr const char *kRawLayout =
    "frame_info[20] sequence:u64 lost_before:u32 monotonic_ns:u64 sensor_temperature:i16 "
    "illumination_temperature:i16 frame_bytes (little-endian)";

enum class RawLayout { kWithoutTemperatures, kWithTemperatures };

// Header bytes before the frame's bytes.
inline constexpr size_t raw_header_size(RawLayout layout) {
    return kRawFrameInfoSize + 8 + 4 + 8 + (layout == RawLayout::kWithTemperatures ? 4 : 0);
}
inline constexpr size_t kRawHeaderSize = raw_header_size(RawLayout::kWithTemperatures);

// The layout of a raw frame channel's messages, from its "layout" metadata (a channel without
// one has the layout without temperatures). False with `error` for a layout this reader does
// not know.
bool raw_layout_of(const McapChannel &channel, RawLayout &out, std::string &error);

struct RawFrameView {
    uint32_t frame_size = 0;
    uint16_t frame_format = 0;
    uint16_t frame_idx = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t pixel_size = 0;
    std::span<const uint8_t> info_bytes;  // the 20 bytes as recorded
    uint64_t sequence = 0;
    uint32_t lost_before = 0;
    uint64_t monotonic_ns = 0;
    bool has_temperatures = false;   // the layout carries them
    int16_t sensor_temperature = 0;  // tenths of a degree C; 0 without them
    int16_t illumination_temperature = 0;
    std::span<const uint8_t> frame;  // frame_size bytes
};

// Splits a raw frame message of `layout`; false with `error` when it is too short or its frame
// length disagrees with the bytes it carries.
bool parse_raw_frame(std::span<const uint8_t> message, RawLayout layout, RawFrameView &out,
                     std::string &error);

}  // namespace tarvo::recording
