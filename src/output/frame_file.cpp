// Frame files on the application's descriptors: a text header line, then raw samples.
#include <tarvo/frame_file.h>

#include <tarvo/log.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <vector>

namespace {

enum class Sample { f32, u32, u16, u8 };

struct FileType {
    const char *kind;  // "ZR_DIST" or "ZR_GRAY"
    const char *name;  // sample type in the header and the log
    Sample sample;
    bool millimetres;  // integer samples carry millimetres of a metre value
    int save_format;
};

constexpr FileType kDistanceTypes[] = {{"ZR_DIST", "F32", Sample::f32, false, 0},
                                       {"ZR_DIST", "U32", Sample::u32, true, 1},
                                       {"ZR_DIST", "U16", Sample::u16, true, 2}};
// Gray headers are matched U8 first, as the camera tools wrote them.
constexpr FileType kGrayTypes[] = {{"ZR_GRAY", "U8", Sample::u8, false, 3},
                                   {"ZR_GRAY", "U16", Sample::u16, false, 2}};

constexpr size_t kHeaderRead = 256;
// A header beyond these sizes names no image of a camera: refused before anything is read.
constexpr long kMaxSide = 65535;
constexpr int64_t kMaxPixels = int64_t{1} << 24;
constexpr size_t kChunkBytes = 64 * 1024;

size_t sample_bytes(Sample s) {
    switch (s) {
        case Sample::f32:
        case Sample::u32:
            return 4;
        case Sample::u16:
            return 2;
        default:
            return 1;
    }
}

// trunc(v) as a 64-bit integer; values outside its range (and NaN) have no integer: 0.
int64_t truncated(double v) {
    if (!(std::fabs(v) < 9.2e18))
        return 0;
    return static_cast<int64_t>(v);
}

void put_le(uint8_t *out, uint64_t v, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t get_le(const uint8_t *in, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i)
        v |= uint64_t{in[i]} << (8 * i);
    return v;
}

void encode(const FileType &t, float value, uint8_t *out) {
    const size_t bytes = sample_bytes(t.sample);
    if (t.sample == Sample::f32) {
        put_le(out, std::bit_cast<uint32_t>(value), 4);
        return;
    }
    const double scaled = t.millimetres ? static_cast<double>(value) * 1000.0 : value;
    put_le(out, static_cast<uint64_t>(truncated(scaled)), bytes);
}

float decode(const FileType &t, const uint8_t *in) {
    const uint64_t raw = get_le(in, sample_bytes(t.sample));
    if (t.sample == Sample::f32)
        return std::bit_cast<float>(static_cast<uint32_t>(raw));
    return t.millimetres ? static_cast<float>(raw) / 1000.0f : static_cast<float>(raw);
}

const FileType *save_type(std::span<const FileType> types, int save_format) {
    for (const FileType &t : types) {
        if (t.save_format == save_format)
            return &t;
    }
    return nullptr;
}

bool write_all_at_once(int fd, const void *data, size_t bytes) {
    const ssize_t n = ::write(fd, data, bytes);
    return n >= 0 && static_cast<size_t>(n) == bytes;
}

// Writes the header line when the descriptor stands at the start of the file.
bool write_header(int fd, const FileType &t, int width, int height) {
    if (::lseek(fd, 0, SEEK_CUR) != 0)
        return true;
    char line[64];
    const int len =
        std::snprintf(line, sizeof line, "%s,%s,%d,%d\n", t.kind, t.name, width, height);
    return write_all_at_once(fd, line, static_cast<size_t>(len));
}

bool save_samples(const char *func, int fd, const FileType &t, const float *values, size_t count) {
    const size_t bytes = count * sample_bytes(t.sample);
    std::vector<uint8_t> out;
    try {
        out.resize(bytes);
    } catch (const std::bad_alloc &) {
        zr_log(4, "ERR", "[%s] malloc failed!\n", func);
        return false;
    }
    for (size_t i = 0; i < count; ++i)
        encode(t, values[i], out.data() + i * sample_bytes(t.sample));
    if (!write_all_at_once(fd, out.data(), bytes)) {
        zr_log(4, "ERR", "[%s] faile to save %s %s data: %d bytes\n", func, t.kind, t.name,
               static_cast<int>(bytes));
        return false;
    }
    return true;
}

bool valid_size(int width, int height) {
    return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
           int64_t{width} * height <= kMaxPixels;
}

// ---- loading ------------------------------------------------------------------------------

// What a loader remembers from the last header it read.
struct Remembered {
    int width = 0;
    int height = 0;
    const FileType *type = nullptr;
};

struct Loader {
    std::span<const FileType> types;
    std::mutex mutex;  // guards remembered
    Remembered remembered;
};

Loader g_distance_loader{kDistanceTypes, {}, {}};
Loader g_gray_loader{kGrayTypes, {}, {}};

// A decimal int as sscanf's %d reads it, refusing values that do not fit an int.
bool read_int(const char *&p, int &out) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    out = static_cast<int>(v);
    p = end;
    return true;
}

// "KIND,TYPE,%d,%d" at the start of the line.
bool match_header(const char *line, const FileType &t, int &width, int &height) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%s,%s,", t.kind, t.name);
    const size_t len = std::strlen(prefix);
    if (std::strncmp(line, prefix, len) != 0)
        return false;
    const char *p = line + len;
    if (!read_int(p, width) || *p++ != ',')
        return false;
    return read_int(p, height);
}

// Reads and parses the header at the start of the file; leaves fd at the first sample.
bool read_header(const char *func, int fd, Loader &loader, Remembered &out) {
    char buf[kHeaderRead + 1] = {};
    const ssize_t got = ::read(fd, buf, kHeaderRead);
    if (got <= 0) {
        zr_log(4, "ERR", "[%s] faile to load ZR file header\n", func);
        return false;
    }
    const char *lf = static_cast<const char *>(std::memchr(buf, '\n', static_cast<size_t>(got)));
    const size_t line_len =
        lf != nullptr ? static_cast<size_t>(lf - buf) : static_cast<size_t>(got);
    buf[line_len] = '\0';
    Remembered found;
    for (const FileType &t : loader.types) {
        int w = 0, h = 0;
        if (match_header(buf, t, w, h)) {
            found = {w, h, &t};
            break;
        }
    }
    if (found.type == nullptr || !valid_size(found.width, found.height)) {
        zr_log(4, "ERR", "[%s] faile to load ZR file header\n", func);
        return false;
    }
    const off_t first_sample = static_cast<off_t>(lf != nullptr ? line_len + 1 : line_len);
    if (::lseek(fd, first_sample, SEEK_SET) != first_sample) {
        zr_log(4, "ERR", "[%s] faile to load ZR file header\n", func);
        return false;
    }
    out = found;
    return true;
}

// Up to `bytes` bytes; fewer only at the end of the file or on an error (then -1).
ssize_t read_fully(int fd, uint8_t *buf, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::read(fd, buf + done, bytes - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Reads one frame in pieces, converting the first `keep` samples into dst.
bool read_frame(const char *func, int fd, const Remembered &r, float *dst, size_t keep) {
    const size_t size = sample_bytes(r.type->sample);
    const size_t samples = static_cast<size_t>(r.width) * static_cast<size_t>(r.height);
    const size_t wanted = samples * size;
    uint8_t chunk[kChunkBytes];
    size_t done = 0;
    while (done < wanted) {
        const size_t part = std::min(kChunkBytes, wanted - done);
        const ssize_t n = read_fully(fd, chunk, part);
        if (n != static_cast<ssize_t>(part)) {
            const ssize_t total = n < 0 ? n : static_cast<ssize_t>(done) + n;
            zr_log(4, "ERR", "[%s] read %d date failed: ret= %d\n", func, static_cast<int>(wanted),
                   static_cast<int>(total));
            return false;
        }
        const size_t first = done / size;
        for (size_t i = 0; i < part / size && first + i < keep; ++i)
            dst[first + i] = decode(*r.type, chunk + i * size);
        done += part;
    }
    return true;
}

int load(const char *func, Loader &loader, int fd, float *dst, int dst_len, int *width,
         int *height) {
    Remembered r;
    if (::lseek(fd, 0, SEEK_CUR) == 0) {
        const bool ok = read_header(func, fd, loader, r);
        std::lock_guard lock(loader.mutex);
        loader.remembered = ok ? r : Remembered{};
        if (!ok)
            return 0;
    } else {
        std::lock_guard lock(loader.mutex);
        r = loader.remembered;
    }
    if (r.width == 0 || r.height == 0 || r.type == nullptr)
        return 0;
    const size_t pixels = static_cast<size_t>(r.width) * static_cast<size_t>(r.height);
    const size_t keep = dst != nullptr && dst_len > 0 ? std::min(pixels, size_t(dst_len)) : 0;
    if (!read_frame(func, fd, r, dst, keep))
        return 0;
    if (width != nullptr)
        *width = r.width;
    if (height != nullptr)
        *height = r.height;
    return static_cast<int>(keep);
}

// What both save calls begin with: the format named among `types` (`what` in the log), the
// image checked and the header written. The type to write the samples in, or nullptr after an
// error line.
const FileType *begin_save(const char *func, int fd, std::span<const FileType> types,
                           const char *what, int save_format, const float *values, int len,
                           int width, int height) {
    const FileType *t = save_type(types, save_format);
    if (t == nullptr) {
        zr_log(4, "ERR", "[%s] wrong %s save format: %d\n", func, what, save_format);
        return nullptr;
    }
    if (!valid_size(width, height) || (values == nullptr && len > 0)) {
        zr_log(4, "ERR", "[%s] wrong image: %dx%d, %d values\n", func, width, height, len);
        return nullptr;
    }
    // Part of a frame would shift every later frame of the file: nothing is written.
    if (static_cast<int64_t>(len) < static_cast<int64_t>(width) * height) {
        zr_log(4, "ERR", "[%s] %d values are fewer than one %dx%d frame, nothing saved\n", func,
               len, width, height);
        return nullptr;
    }
    if (!write_header(fd, *t, width, height)) {
        zr_log(4, "ERR", "[%s] faile to save %s header\n", func, t->kind);
        return nullptr;
    }
    return t;
}

}  // namespace

extern "C" {

TARVO_API int tarvo_frame_save_distance(int fd, int save_format, const float *dist, int dist_len,
                                        int width, int height) {
    const FileType *t = begin_save(__func__, fd, kDistanceTypes, "distance", save_format, dist,
                                   dist_len, width, height);
    if (t == nullptr)
        return 0;
    const size_t frame = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t count = dist_len > 0 ? static_cast<size_t>(dist_len) / frame * frame : 0;
    return save_samples(__func__, fd, *t, dist, count) ? 1 : 0;
}

TARVO_API int tarvo_frame_save_gray(int fd, int save_format, const float *gray, int gray_len,
                                    int width, int height) {
    const FileType *t =
        begin_save(__func__, fd, kGrayTypes, "gray", save_format, gray, gray_len, width, height);
    if (t == nullptr)
        return 0;
    const size_t frame = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t count = gray_len > 0 ? std::min(static_cast<size_t>(gray_len), frame) : 0;
    return save_samples(__func__, fd, *t, gray, count) ? 1 : 0;
}

TARVO_API int tarvo_frame_load_distance(int fd, float *dst, int dst_len, int *width, int *height) {
    return load(__func__, g_distance_loader, fd, dst, dst_len, width, height);
}

TARVO_API int tarvo_frame_load_gray(int fd, float *dst, int dst_len, int *width, int *height) {
    return load(__func__, g_gray_loader, fd, dst, dst_len, width, height);
}

}  // extern "C"
