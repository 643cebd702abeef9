#include "mcap_writer.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "crc32.h"

namespace tarvo::recording {
namespace {

constexpr uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : uint8_t {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kMessageIndex = 0x07,
    kChunkIndex = 0x08,
    kAttachment = 0x09,
    kAttachmentIndex = 0x0A,
    kStatistics = 0x0B,
    kMetadata = 0x0C,
    kMetadataIndex = 0x0D,
    kSummaryOffset = 0x0E,
    kDataEnd = 0x0F,
};

constexpr size_t kRecordPrefix = 9;              // opcode u8 + length u64
constexpr size_t kMessageFixed = 2 + 4 + 8 + 8;  // channel, sequence, log and publish time

}  // namespace

uint64_t monotonic_now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void RecordBuffer::put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void RecordBuffer::str(const std::string &s) {
    u32(static_cast<uint32_t>(s.size()));
    raw(s.data(), s.size());
}

void RecordBuffer::raw(const void *data, size_t len) {
    const auto *p = static_cast<const uint8_t *>(data);
    bytes_.insert(bytes_.end(), p, p + len);
}

void RecordBuffer::string_map(const StringMap &map) {
    RecordBuffer entries;
    for (const auto &[key, value] : map) {
        entries.str(key);
        entries.str(value);
    }
    u32(static_cast<uint32_t>(entries.size()));
    raw(entries.bytes().data(), entries.size());
}

void RecordBuffer::u16_u64_map(const std::map<uint16_t, uint64_t> &map) {
    u32(static_cast<uint32_t>(map.size() * 10));
    for (const auto &[key, value] : map) {
        u16(key);
        u64(value);
    }
}

size_t RecordBuffer::begin_record(uint8_t opcode) {
    const size_t start = bytes_.size();
    u8(opcode);
    u64(0);
    return start;
}

void RecordBuffer::end_record(size_t start) {
    const uint64_t len = bytes_.size() - start - kRecordPrefix;
    for (int i = 0; i < 8; ++i)
        bytes_[start + 1 + i] = static_cast<uint8_t>(len >> (8 * i));
}

McapWriter::~McapWriter() {
    if (file_ != nullptr)
        std::fclose(file_);
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx *>(zstd_));
}

bool McapWriter::open(const std::string &path, const Options &options, std::string &error) {
    options_ = options;
    zstd_ = ZSTD_createCCtx();
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr || zstd_ == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(file_ == nullptr ? errno : ENOMEM);
        failed_ = true;
        return false;
    }
    write(kMagic, sizeof kMagic);
    RecordBuffer r;
    const size_t start = r.begin_record(kHeader);
    r.str(options_.profile);
    r.str(options_.library);
    r.end_record(start);
    write_record(r);
    flush();
    if (failed_)
        error = "cannot write " + path + ": " + std::strerror(write_errno_);
    return !failed_;
}

void McapWriter::write(const void *data, size_t len) {
    if (failed_ || len == 0)
        return;
    if (std::fwrite(data, 1, len, file_) != len) {
        failed_ = true;
        write_errno_ = errno != 0 ? errno : EIO;
        return;
    }
    if (in_summary_)
        summary_crc_ = crc32_update(summary_crc_, data, len);
    else
        data_crc_ = crc32_update(data_crc_, data, len);
    pos_ += len;
    stats_.file_bytes = pos_;
}

void McapWriter::write_record(RecordBuffer &record) {
    write(record.bytes().data(), record.size());
}

uint16_t McapWriter::add_schema(const std::string &name, const std::string &encoding,
                                const std::string &data) {
    const auto id = static_cast<uint16_t>(schema_records_.size() + 1);
    RecordBuffer r;
    const size_t start = r.begin_record(kSchema);
    r.u16(id);
    r.str(name);
    r.str(encoding);
    r.str(data);
    r.end_record(start);
    write_record(r);
    schema_records_.push_back(std::move(r));
    return id;
}

uint16_t McapWriter::add_channel(uint16_t schema_id, const std::string &topic,
                                 const std::string &message_encoding, const StringMap &metadata) {
    const auto id = static_cast<uint16_t>(channel_records_.size() + 1);
    RecordBuffer r;
    const size_t start = r.begin_record(kChannel);
    r.u16(id);
    r.u16(schema_id);
    r.str(topic);
    r.str(message_encoding);
    r.string_map(metadata);
    r.end_record(start);
    write_record(r);
    channel_records_.push_back(std::move(r));
    channel_counts_[id] = 0;
    return id;
}

void McapWriter::append_message_header(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                                       uint64_t publish_time, size_t payload_len) {
    RecordBuffer &r = chunk_.records;
    if (chunk_.empty()) {
        chunk_.start_time = log_time;
        chunk_.end_time = log_time;
        chunk_.opened_ns = monotonic_now_ns();
    }
    chunk_.start_time = std::min(chunk_.start_time, log_time);
    chunk_.end_time = std::max(chunk_.end_time, log_time);
    chunk_.index[channel_id].emplace_back(log_time, r.size());
    r.u8(kMessage);
    r.u64(kMessageFixed + payload_len);
    r.u16(channel_id);
    r.u32(sequence);
    r.u64(log_time);
    r.u64(publish_time);
    ++stats_.messages;
    stats_.message_bytes += payload_len;
    ++channel_counts_[channel_id];
    message_start_ = std::min(message_start_, log_time);
    message_end_ = std::max(message_end_, log_time);
}

void McapWriter::add_message(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                             uint64_t publish_time, const uint8_t *data, size_t len) {
    add_message(channel_id, sequence, log_time, publish_time, nullptr, 0, data, len);
}

void McapWriter::add_message(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                             uint64_t publish_time, const uint8_t *head, size_t head_len,
                             const uint8_t *data, size_t len) {
    append_message_header(channel_id, sequence, log_time, publish_time, head_len + len);
    chunk_.records.raw(head, head_len);
    chunk_.records.raw(data, len);
    if (chunk_.records.size() >= options_.chunk_bytes)
        write_chunk();
}

bool McapWriter::chunk_older_than(uint64_t now_ns, uint64_t max_age_ns) const {
    return !chunk_.empty() && now_ns - chunk_.opened_ns >= max_age_ns;
}

// The chunk record, then one message index per channel, then a flush: a reader of a file cut
// after it finds every message of the chunk.
void McapWriter::write_chunk() {
    if (chunk_.empty())
        return;
    std::vector<uint8_t> &plain = chunk_.records.bytes();
    compressed_.resize(ZSTD_compressBound(plain.size()));
    const size_t packed =
        ZSTD_compressCCtx(static_cast<ZSTD_CCtx *>(zstd_), compressed_.data(), compressed_.size(),
                          plain.data(), plain.size(), options_.zstd_level);
    const bool zstd_ok = ZSTD_isError(packed) == 0;
    const uint8_t *payload = zstd_ok ? compressed_.data() : plain.data();
    const size_t payload_len = zstd_ok ? packed : plain.size();

    ChunkIndex ci{};
    ci.start_time = chunk_.start_time;
    ci.end_time = chunk_.end_time;
    ci.offset = pos_;
    ci.compressed_size = payload_len;
    ci.uncompressed_size = plain.size();
    ci.compression = zstd_ok ? "zstd" : "";
    const std::string &compression = ci.compression;
    RecordBuffer head;
    head.u8(kChunk);
    head.u64(8 + 8 + 8 + 4 + 4 + compression.size() + 8 + payload_len);
    head.u64(chunk_.start_time);
    head.u64(chunk_.end_time);
    head.u64(plain.size());
    head.u32(crc32_update(0, plain.data(), plain.size()));
    head.str(compression);
    head.u64(payload_len);
    write_record(head);
    write(payload, payload_len);
    ci.length = pos_ - ci.offset;

    const uint64_t index_start = pos_;
    for (const auto &[channel, entries] : chunk_.index) {
        ci.index_offsets[channel] = pos_;
        RecordBuffer r;
        const size_t start = r.begin_record(kMessageIndex);
        r.u16(channel);
        r.u32(static_cast<uint32_t>(entries.size() * 16));
        for (const auto &[time, offset] : entries) {
            r.u64(time);
            r.u64(offset);
        }
        r.end_record(start);
        write_record(r);
    }
    ci.index_length = pos_ - index_start;
    chunk_indexes_.push_back(std::move(ci));
    ++stats_.chunks;
    stats_.chunk_bytes += payload_len;
    stats_.chunk_plain_bytes += plain.size();
    chunk_ = Chunk{};
    if (!failed_ && std::fflush(file_) != 0) {
        failed_ = true;
        write_errno_ = errno;
    }
}

void McapWriter::flush() {
    write_chunk();
    if (!failed_ && std::fflush(file_) != 0) {
        failed_ = true;
        write_errno_ = errno;
    }
}

void McapWriter::add_attachment(const std::string &name, const std::string &media_type,
                                uint64_t log_time, const std::vector<uint8_t> &data) {
    write_chunk();  // attachments never go inside a chunk
    RecordBuffer r;
    const size_t start = r.begin_record(kAttachment);
    r.u64(log_time);
    r.u64(log_time);  // create time
    r.str(name);
    r.str(media_type);
    r.u64(data.size());
    r.raw(data.data(), data.size());
    r.u32(crc32_update(0, r.bytes().data() + start + kRecordPrefix,
                       r.size() - start - kRecordPrefix));
    r.end_record(start);
    attachment_indexes_.push_back({pos_, r.size(), log_time, data.size(), name, media_type});
    write_record(r);
}

void McapWriter::add_metadata(const std::string &name, const StringMap &map) {
    write_chunk();
    RecordBuffer r;
    const size_t start = r.begin_record(kMetadata);
    r.str(name);
    r.string_map(map);
    r.end_record(start);
    metadata_indexes_.push_back({pos_, r.size(), name});
    write_record(r);
}

// Writes the records of one summary group and its summary offset into `offsets`; returns the
// group's length.
uint64_t McapWriter::write_group(uint8_t opcode, const std::vector<RecordBuffer> &records,
                                 RecordBuffer &offsets) {
    if (records.empty())
        return 0;
    const uint64_t start = pos_;
    for (const RecordBuffer &r : records)
        write(r.bytes().data(), r.bytes().size());
    const size_t s = offsets.begin_record(kSummaryOffset);
    offsets.u8(opcode);
    offsets.u64(start);
    offsets.u64(pos_ - start);
    offsets.end_record(s);
    return pos_ - start;
}

bool McapWriter::close(std::string &error) {
    if (file_ == nullptr) {
        error = "the recording was not open";
        return false;
    }
    write_chunk();
    RecordBuffer end;
    const size_t s = end.begin_record(kDataEnd);
    end.u32(data_crc_);
    end.end_record(s);
    write_record(end);

    const uint64_t summary_start = pos_;
    in_summary_ = true;
    RecordBuffer offsets;
    write_group(kSchema, schema_records_, offsets);
    write_group(kChannel, channel_records_, offsets);

    std::vector<RecordBuffer> group(1);
    RecordBuffer &st = group[0];
    const size_t ss = st.begin_record(kStatistics);
    st.u64(stats_.messages);
    st.u16(static_cast<uint16_t>(schema_records_.size()));
    st.u32(static_cast<uint32_t>(channel_records_.size()));
    st.u32(static_cast<uint32_t>(attachment_indexes_.size()));
    st.u32(static_cast<uint32_t>(metadata_indexes_.size()));
    st.u32(static_cast<uint32_t>(chunk_indexes_.size()));
    st.u64(stats_.messages != 0 ? message_start_ : 0);
    st.u64(message_end_);
    st.u16_u64_map(channel_counts_);
    st.end_record(ss);
    write_group(kStatistics, group, offsets);

    group.clear();
    for (const ChunkIndex &ci : chunk_indexes_) {
        RecordBuffer &r = group.emplace_back();
        const size_t rs = r.begin_record(kChunkIndex);
        r.u64(ci.start_time);
        r.u64(ci.end_time);
        r.u64(ci.offset);
        r.u64(ci.length);
        r.u16_u64_map(ci.index_offsets);
        r.u64(ci.index_length);
        r.str(ci.compression);
        r.u64(ci.compressed_size);
        r.u64(ci.uncompressed_size);
        r.end_record(rs);
    }
    write_group(kChunkIndex, group, offsets);

    group.clear();
    for (const AttachmentIndex &ai : attachment_indexes_) {
        RecordBuffer &r = group.emplace_back();
        const size_t rs = r.begin_record(kAttachmentIndex);
        r.u64(ai.offset);
        r.u64(ai.length);
        r.u64(ai.log_time);
        r.u64(ai.log_time);
        r.u64(ai.data_size);
        r.str(ai.name);
        r.str(ai.media_type);
        r.end_record(rs);
    }
    write_group(kAttachmentIndex, group, offsets);

    group.clear();
    for (const MetadataIndex &mi : metadata_indexes_) {
        RecordBuffer &r = group.emplace_back();
        const size_t rs = r.begin_record(kMetadataIndex);
        r.u64(mi.offset);
        r.u64(mi.length);
        r.str(mi.name);
        r.end_record(rs);
    }
    write_group(kMetadataIndex, group, offsets);

    const uint64_t offsets_start = pos_;
    write_record(offsets);
    RecordBuffer footer;
    footer.u8(kFooter);
    footer.u64(8 + 8 + 4);
    footer.u64(summary_start);
    footer.u64(offsets_start);
    write_record(footer);
    RecordBuffer crc;
    crc.u32(summary_crc_);
    in_summary_ = false;
    write_record(crc);
    write(kMagic, sizeof kMagic);
    const bool flushed = !failed_ && std::fflush(file_) == 0;
    const int close_failed = std::fclose(file_);
    file_ = nullptr;
    if (failed_ || !flushed || close_failed != 0) {
        error = std::string("cannot write the recording: ") +
                std::strerror(write_errno_ != 0 ? write_errno_ : errno);
        failed_ = true;
        return false;
    }
    return true;
}

}  // namespace tarvo::recording
