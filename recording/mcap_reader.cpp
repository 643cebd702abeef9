#include "mcap_reader.h"

#include "crc32.h"

#include <zstd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tarvo::recording {

namespace {

constexpr std::array<uint8_t, 8> kMagic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
constexpr size_t kRecordHead = 9;  // opcode u8, content length u64

enum Opcode : uint8_t {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kAttachment = 0x09,
    kMetadata = 0x0C,
};

uint64_t le(const uint8_t *p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v |= uint64_t{p[i]} << (8 * i);
    return v;
}

// Reads the fields of one record's content; every read checks what is left. After a failed
// read `ok` stays false and later reads return zeros.
class Fields {
  public:
    explicit Fields(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    size_t offset() const { return pos_; }
    std::span<const uint8_t> rest() const { return ok_ ? bytes_.subspan(pos_) : bytes_.last(0); }

    uint64_t u(size_t n) {
        if (!take(n))
            return 0;
        return le(bytes_.data() + pos_ - n, n);
    }
    uint8_t u8() { return static_cast<uint8_t>(u(1)); }
    uint16_t u16() { return static_cast<uint16_t>(u(2)); }
    uint32_t u32() { return static_cast<uint32_t>(u(4)); }
    uint64_t u64() { return u(8); }

    std::span<const uint8_t> bytes(uint64_t n) {
        if (!take(n))
            return {};
        return bytes_.subspan(pos_ - n, n);
    }
    std::string string() {
        const auto b = bytes(u32());
        return {b.begin(), b.end()};
    }
    std::map<std::string, std::string> string_map() {
        std::map<std::string, std::string> out;
        Fields entries(bytes(u32()));
        while (ok_ && entries.ok() && !entries.rest().empty()) {
            std::string key = entries.string();
            std::string value = entries.string();
            if (entries.ok())
                out[std::move(key)] = std::move(value);
        }
        ok_ = ok_ && entries.ok();
        return out;
    }

  private:
    bool take(uint64_t n) {
        if (!ok_ || n > bytes_.size() - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    bool ok_ = true;
};

std::string at(uint64_t offset) {
    return "record at byte " + std::to_string(offset);
}

class Reader {
  public:
    explicit Reader(McapContents &out) : out_(out) {}

    bool read(std::span<const uint8_t> file, std::string &error) {
        if (file.size() < kMagic.size() ||
            !std::equal(kMagic.begin(), kMagic.end(), file.begin())) {
            error = "not an MCAP file (no MCAP magic at its start)";
            return false;
        }
        out_.whole_bytes = kMagic.size();
        if (!records(file, kMagic.size(), /*in_chunk=*/false, error))
            return false;
        std::stable_sort(
            out_.messages.begin(), out_.messages.end(),
            [](const McapMessage &a, const McapMessage &b) { return a.log_time < b.log_time; });
        return true;
    }

  private:
    // The records of `bytes` from `start` on; `base` locates them in the file for messages.
    bool records(std::span<const uint8_t> bytes, size_t start, bool in_chunk, std::string &error) {
        size_t pos = start;
        while (bytes.size() - pos >= kRecordHead) {
            const uint8_t opcode = bytes[pos];
            const uint64_t length = le(bytes.data() + pos + 1, 8);
            if (length > bytes.size() - pos - kRecordHead) {
                if (in_chunk) {
                    error = "chunk record runs past its chunk";
                    return false;
                }
                out_.warnings.push_back(at(pos) + " is cut short; read up to it");
                return true;
            }
            const auto content = bytes.subspan(pos + kRecordHead, length);
            if (!record(opcode, content, pos, in_chunk, error))
                return false;
            pos += kRecordHead + length;
            if (!in_chunk)
                out_.whole_bytes = pos;
            if (!in_chunk && opcode == kFooter) {
                const auto tail = bytes.subspan(pos);
                out_.complete = tail.size() >= kMagic.size() &&
                                std::equal(kMagic.begin(), kMagic.end(), tail.begin());
                if (out_.complete)
                    out_.whole_bytes = pos + kMagic.size();
                return true;
            }
        }
        if (in_chunk && pos != bytes.size()) {
            error = "chunk ends inside a record";
            return false;
        }
        if (!in_chunk && pos != bytes.size())
            out_.warnings.push_back("file ends inside a record header at byte " +
                                    std::to_string(pos));
        return true;
    }

    bool record(uint8_t opcode, std::span<const uint8_t> content, uint64_t offset, bool in_chunk,
                std::string &error) {
        switch (opcode) {
            case kHeader:
                return header(content, offset, error);
            case kSchema:
                return schema(content, offset, error);
            case kChannel:
                return channel(content, offset, error);
            case kMessage:
                return message(content, offset, error);
            case kChunk:
                if (in_chunk) {
                    error = "chunk inside a chunk";
                    return false;
                }
                return chunk(content, offset, error);
            case kAttachment:
                return in_chunk ? misplaced("attachment", error)
                                : attachment(content, offset, error);
            case kMetadata:
                return in_chunk ? misplaced("metadata", error) : metadata(content, offset, error);
            default:
                return true;  // indexes, statistics, data end and opcodes not known here
        }
    }

    static bool misplaced(const char *what, std::string &error) {
        error = std::string(what) + " record inside a chunk";
        return false;
    }

    static bool short_record(const char *what, uint64_t offset, std::string &error) {
        error = std::string(what) + " " + at(offset) + " is shorter than its fields";
        return false;
    }

    bool header(std::span<const uint8_t> content, uint64_t offset, std::string &error) {
        Fields f(content);
        out_.profile = f.string();
        out_.library = f.string();
        return f.ok() || short_record("header", offset, error);
    }

    bool schema(std::span<const uint8_t> content, uint64_t offset, std::string &error) {
        Fields f(content);
        McapSchema s;
        s.id = f.u16();
        s.name = f.string();
        s.encoding = f.string();
        const auto data = f.bytes(f.u32());
        if (!f.ok())
            return short_record("schema", offset, error);
        if (s.id == 0) {
            error = "schema " + at(offset) + " has id 0";
            return false;
        }
        s.data.assign(data.begin(), data.end());
        out_.schemas.try_emplace(s.id, std::move(s));  // the summary repeats them
        return true;
    }

    bool channel(std::span<const uint8_t> content, uint64_t offset, std::string &error) {
        Fields f(content);
        McapChannel c;
        c.id = f.u16();
        c.schema_id = f.u16();
        c.topic = f.string();
        c.message_encoding = f.string();
        c.metadata = f.string_map();
        if (!f.ok())
            return short_record("channel", offset, error);
        if (c.schema_id != 0 && !out_.schemas.contains(c.schema_id)) {
            error = "channel " + std::to_string(c.id) + " names unknown schema " +
                    std::to_string(c.schema_id);
            return false;
        }
        out_.channels.try_emplace(c.id, std::move(c));
        return true;
    }

    bool message(std::span<const uint8_t> content, uint64_t offset, std::string &error) {
        Fields f(content);
        McapMessage m;
        m.channel_id = f.u16();
        m.sequence = f.u32();
        m.log_time = f.u64();
        m.publish_time = f.u64();
        if (!f.ok())
            return short_record("message", offset, error);
        if (!out_.channels.contains(m.channel_id)) {
            error =
                "message " + at(offset) + " is on unknown channel " + std::to_string(m.channel_id);
            return false;
        }
        const auto data = f.rest();
        m.data.assign(data.begin(), data.end());
        out_.messages.push_back(std::move(m));
        return true;
    }

    bool chunk(std::span<const uint8_t> content, uint64_t offset, std::string &error) {
        Fields f(content);
        f.u64();  // message start and end time: the messages carry their own
        f.u64();
        const uint64_t size = f.u64();
        const uint32_t crc = f.u32();
        const std::string compression = f.string();
        const auto records_bytes = f.bytes(f.u64());
        if (!f.ok())
            return short_record("chunk", offset, error);
        if (size > kMaxChunkBytes) {
            error = "chunk " + at(offset) + " claims " + std::to_string(size) +
                    " bytes uncompressed, more than this reader takes";
            return false;
        }
        std::vector<uint8_t> plain;
        if (compression.empty()) {
            plain.assign(records_bytes.begin(), records_bytes.end());
        } else if (compression == "zstd") {
            if (!unzstd(records_bytes, size, plain, error)) {
                error = "chunk " + at(offset) + ": " + error;
                return false;
            }
        } else {
            out_.warnings.push_back("chunk " + at(offset) + " uses compression '" + compression +
                                    "', which this reader does not know; skipped");
            return true;
        }
        if (plain.size() != size) {
            error = "chunk " + at(offset) + " holds " + std::to_string(plain.size()) +
                    " bytes, its record says " + std::to_string(size);
            return false;
        }
        if (crc != 0 && mcap_crc32(plain) != crc) {
            error = "chunk " + at(offset) + " fails its CRC check";
            return false;
        }
        if (!records(plain, 0, /*in_chunk=*/true, error)) {
            error = "chunk " + at(offset) + ": " + error;
            return false;
        }
        return true;
    }

    // Decompresses at most `size` bytes, growing the output as it comes, so that a chunk that
    // only claims a large size allocates nothing up front.
    static bool unzstd(std::span<const uint8_t> in, uint64_t size, std::vector<uint8_t> &out,
                       std::string &error) {
        ZSTD_DCtx *ctx = ZSTD_createDCtx();
        if (ctx == nullptr) {
            error = "out of memory for zstd";
            return false;
        }
        ZSTD_inBuffer src{in.data(), in.size(), 0};
        size_t produced = 0;
        size_t last = 1;
        bool ok = true;
        while (ok) {
            const size_t room =
                std::min<uint64_t>(size - produced + 1, std::max<size_t>(produced, 1 << 20));
            out.resize(produced + room);
            ZSTD_outBuffer dst{out.data() + produced, room, 0};
            last = ZSTD_decompressStream(ctx, &dst, &src);
            produced += dst.pos;
            if (ZSTD_isError(last)) {
                error = std::string("zstd: ") + ZSTD_getErrorName(last);
                ok = false;
            } else if (produced > size) {
                error = "decompresses to more than its stated size";
                ok = false;
            } else if (last == 0 && src.pos == src.size) {
                break;
            } else if (src.pos == src.size && dst.pos == 0) {
                error = "zstd data ends early";
                ok = false;
            }
        }
        ZSTD_freeDCtx(ctx);
        out.resize(produced);
        return ok;
    }

    bool attachment(std::span<const uint8_t> content, uint64_t offset, std::string &error) {
        Fields f(content);
        McapAttachment a;
        a.log_time = f.u64();
        a.create_time = f.u64();
        a.name = f.string();
        a.media_type = f.string();
        const auto data = f.bytes(f.u64());
        const size_t crc_at = f.offset();
        const uint32_t crc = f.u32();
        if (!f.ok())
            return short_record("attachment", offset, error);
        if (crc != 0 && mcap_crc32(content.first(crc_at)) != crc) {
            error = "attachment '" + a.name + "' fails its CRC check";
            return false;
        }
        a.data.assign(data.begin(), data.end());
        out_.attachments.push_back(std::move(a));
        return true;
    }

    bool metadata(std::span<const uint8_t> content, uint64_t offset, std::string &error) {
        Fields f(content);
        McapMetadata m;
        m.name = f.string();
        m.values = f.string_map();
        if (!f.ok())
            return short_record("metadata", offset, error);
        out_.metadata.push_back(std::move(m));
        return true;
    }

    McapContents &out_;
};

}  // namespace

uint32_t mcap_crc32(std::span<const uint8_t> bytes, uint32_t crc) {
    return crc32_update(crc, bytes.data(), bytes.size());
}

const McapChannel *McapContents::channel_by_topic(const std::string &topic) const {
    for (const auto &[id, c] : channels)
        if (c.topic == topic)
            return &c;
    return nullptr;
}

const McapMetadata *McapContents::metadata_named(const std::string &name) const {
    for (const McapMetadata &m : metadata)
        if (m.name == name)
            return &m;
    return nullptr;
}

const McapAttachment *McapContents::attachment_named(const std::string &name) const {
    for (const McapAttachment &a : attachments)
        if (a.name == name)
            return &a;
    return nullptr;
}

bool read_mcap(std::span<const uint8_t> bytes, McapContents &out, std::string &error) {
    out = McapContents{};
    return Reader(out).read(bytes, error);
}

bool read_mcap_file(const std::string &path, McapContents &out, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    if (!read_mcap(bytes, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::string printable(const std::string &text) {
    constexpr size_t kMaxShown = 60;
    std::string out;
    for (size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char b[5];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        }
    }
    if (text.size() > kMaxShown)
        out += "...";
    return out;
}

bool raw_layout_of(const McapChannel &channel, RawLayout &out, std::string &error) {
    const auto it = channel.metadata.find(kRawLayoutKey);
    if (it == channel.metadata.end() || it->second == kRawLayoutWithoutTemperatures) {
        out = RawLayout::kWithoutTemperatures;
        return true;
    }
    if (it->second == kRawLayout) {
        out = RawLayout::kWithTemperatures;
        return true;
    }
    error = "raw frames on " + channel.topic + " have an unknown layout '" + printable(it->second) +
            "'";
    return false;
}

bool parse_raw_frame(std::span<const uint8_t> message, RawLayout layout, RawFrameView &out,
                     std::string &error) {
    out = RawFrameView{};
    Fields f(message);
    out.info_bytes = message.first(std::min(message.size(), kRawFrameInfoSize));
    out.frame_size = f.u32();
    out.frame_format = f.u16();
    out.frame_idx = f.u16();
    out.width = f.u32();
    out.height = f.u32();
    out.pixel_size = f.u8();
    f.bytes(3);  // reserved
    out.sequence = f.u64();
    out.lost_before = f.u32();
    out.monotonic_ns = f.u64();
    if (layout == RawLayout::kWithTemperatures) {
        out.has_temperatures = true;
        out.sensor_temperature = static_cast<int16_t>(f.u16());
        out.illumination_temperature = static_cast<int16_t>(f.u16());
    }
    if (!f.ok()) {
        error = "raw frame message shorter than its " + std::to_string(raw_header_size(layout)) +
                "-byte header";
        return false;
    }
    out.frame = f.rest();
    if (out.frame.size() != out.frame_size) {
        error = "raw frame message carries " + std::to_string(out.frame.size()) +
                " frame bytes, its frame information says " + std::to_string(out.frame_size);
        return false;
    }
    return true;
}

}  // namespace tarvo::recording
