// An MCAP file writer (major version 0): header, schema and channel records in the data
// section, messages in zstd-compressed chunks with CRC-32 and message indexes, attachments,
// metadata, data end, and on close the summary (schemas, channels, statistics, chunk,
// attachment and metadata indexes), the summary offsets and the footer.
//
// Crash safety: every chunk goes to the file whole and is flushed to the kernel when it is
// written, so a file whose writer died is readable record by record up to its last chunk.
//
// Thread context: one thread at a time per writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::recording {

using StringMap = std::vector<std::pair<std::string, std::string>>;  // written in this order

// Little-endian record content, as MCAP lays out its fields.
class RecordBuffer {
  public:
    void u8(uint8_t v) { bytes_.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void str(const std::string &s);          // u32 length + bytes
    void raw(const void *data, size_t len);  // the bytes, no length
    void string_map(const StringMap &map);   // u32 byte length + entries
    void u16_u64_map(const std::map<uint16_t, uint64_t> &map);
    // Starts a record: opcode and a length field that end_record fills.
    size_t begin_record(uint8_t opcode);
    void end_record(size_t start);

    std::vector<uint8_t> &bytes() { return bytes_; }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }
    void clear() { bytes_.clear(); }

  private:
    void put(uint64_t v, int n);
    std::vector<uint8_t> bytes_;
};

class McapWriter {
  public:
    struct Options {
        std::string profile;  // "ros2" for ROS 2 CDR messages
        std::string library = "libtarvo";
        int zstd_level = 3;  // bench_record: better ratio than 1 on sensor data, CPU alike
        size_t chunk_bytes = 8u << 20;  // a chunk is written once it holds this much
    };
    struct Stats {
        uint64_t messages = 0;
        uint64_t message_bytes = 0;      // message payloads, uncompressed
        uint64_t file_bytes = 0;         // written so far
        uint64_t chunk_bytes = 0;        // chunk records as written (compressed)
        uint64_t chunk_plain_bytes = 0;  // the same records uncompressed
        uint32_t chunks = 0;
    };

    McapWriter() = default;
    ~McapWriter();
    McapWriter(const McapWriter &) = delete;
    McapWriter &operator=(const McapWriter &) = delete;

    // Creates (or truncates) `path` and writes the magic and the header. False with `error`
    // set when the file cannot be written.
    bool open(const std::string &path, const Options &options, std::string &error);
    // Ids start at 1. Schemas and channels go to the data section at once.
    uint16_t add_schema(const std::string &name, const std::string &encoding,
                        const std::string &data);
    uint16_t add_channel(uint16_t schema_id, const std::string &topic,
                         const std::string &message_encoding, const StringMap &metadata);
    // Appends a message to the open chunk; writes the chunk once it is full.
    void add_message(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                     uint64_t publish_time, const uint8_t *data, size_t len);
    // The same with the payload in two pieces (a header of ours, then the frame bytes).
    void add_message(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                     uint64_t publish_time, const uint8_t *head, size_t head_len,
                     const uint8_t *data, size_t len);
    void add_attachment(const std::string &name, const std::string &media_type, uint64_t log_time,
                        const std::vector<uint8_t> &data);
    void add_metadata(const std::string &name, const StringMap &map);
    // Writes the open chunk, if any, and flushes the file.
    void flush();
    // True when the open chunk holds a message added more than `max_age_ns` before now_ns.
    bool chunk_older_than(uint64_t now_ns, uint64_t max_age_ns) const;
    // Writes the rest (data end, summary, footer) and closes. False with `error` on a write
    // failure (then and after any earlier one).
    bool close(std::string &error);

    bool failed() const { return failed_; }
    const Stats &stats() const { return stats_; }

  private:
    struct ChunkIndex {
        uint64_t start_time, end_time, offset, length;
        std::map<uint16_t, uint64_t> index_offsets;
        uint64_t index_length, compressed_size, uncompressed_size;
        std::string compression;
    };
    struct AttachmentIndex {
        uint64_t offset, length, log_time, data_size;
        std::string name, media_type;
    };
    struct MetadataIndex {
        uint64_t offset, length;
        std::string name;
    };
    struct Chunk {
        RecordBuffer records;
        uint64_t start_time = 0, end_time = 0;
        uint64_t opened_ns = 0;  // the writer's clock when the first message came
        std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> index;
        bool empty() const { return records.size() == 0; }
    };

    void write(const void *data, size_t len);
    void write_record(RecordBuffer &record);
    void write_chunk();
    void append_message_header(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                               uint64_t publish_time, size_t payload_len);
    uint64_t write_group(uint8_t opcode, const std::vector<RecordBuffer> &records,
                         RecordBuffer &offsets);

    std::FILE *file_ = nullptr;
    Options options_;
    bool failed_ = false;
    int write_errno_ = 0;
    uint64_t pos_ = 0;
    uint32_t data_crc_ = 0;  // of every byte written, while in the data section
    uint32_t summary_crc_ = 0;
    bool in_summary_ = false;
    void *zstd_ = nullptr;  // ZSTD_CCtx
    std::vector<uint8_t> compressed_;
    Chunk chunk_;
    std::vector<RecordBuffer> schema_records_, channel_records_;
    std::vector<ChunkIndex> chunk_indexes_;
    std::vector<AttachmentIndex> attachment_indexes_;
    std::vector<MetadataIndex> metadata_indexes_;
    std::map<uint16_t, uint64_t> channel_counts_;
    uint64_t message_start_ = UINT64_MAX, message_end_ = 0;
    Stats stats_;
};

// Nanoseconds of CLOCK_MONOTONIC, the clock the chunk age is measured on.
uint64_t monotonic_now_ns();

}  // namespace tarvo::recording
