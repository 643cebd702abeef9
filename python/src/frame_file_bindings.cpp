// Frame files: tarvo.save_distance / save_gray write numpy images through the library's savers,
// tarvo.load_distance / load_gray iterate over the frames of a file through its loaders.
//
// The library's loaders remember the header of the last file they read, process-wide. A reader
// here therefore notes which reader the loader last served; when another one came in between,
// it has the loader read its own header again (at position 0) before the next frame.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "bindings.h"
#include "failure.h"
#include "files/safe_file.h"

namespace tarvo_py {

namespace {

enum class Kind { distance, gray };

struct Format {
    const char *name;  // as the caller writes it
    const char *type;  // as the header names it
    int code;          // the savers' format code
    int sample_bytes;
};

constexpr Format kDistanceFormats[] = {
    {"f32", "F32", 0, 4}, {"u32", "U32", 1, 4}, {"u16", "U16", 2, 2}};
constexpr Format kGrayFormats[] = {{"u16", "U16", 2, 2}, {"u8", "U8", 3, 1}};

const char *tag_of(Kind kind) {
    return kind == Kind::distance ? "ZR_DIST" : "ZR_GRAY";
}

std::span<const Format> formats_of(Kind kind) {
    if (kind == Kind::distance)
        return kDistanceFormats;
    return kGrayFormats;
}

const Format &format_named(Kind kind, const std::string &name) {
    std::string known;
    for (const Format &f : formats_of(kind)) {
        if (name == f.name)
            return f;
        known += known.empty() ? f.name : std::string(", ") + f.name;
    }
    throw BadArgument("format must be one of " + known + ", not '" + name + "'");
}

std::string system_error(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// A file descriptor closed on every path.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { close(); }
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int close() {
        const int r = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return r;
    }

  private:
    int fd_;
};

// ---- Saving -----------------------------------------------------------------------------------

using FloatImages = py::array_t<float, py::array::c_style | py::array::forcecast>;

struct Geometry {
    int frames = 0;
    int height = 0;
    int width = 0;
};

Geometry geometry_of(const FloatImages &images) {
    if (images.ndim() != 2 && images.ndim() != 3)
        throw BadArgument("images have the shape (height, width) or (frames, height, width)");
    Geometry g;
    const py::ssize_t frames = images.ndim() == 3 ? images.shape(0) : 1;
    const py::ssize_t height = images.shape(images.ndim() - 2);
    const py::ssize_t width = images.shape(images.ndim() - 1);
    if (frames < 1 || height < 1 || width < 1 || height > 65535 || width > 65535 ||
        frames * height * width > INT32_MAX) {
        throw BadArgument("images must have 1 to 65535 rows and columns");
    }
    g.frames = static_cast<int>(frames);
    g.height = static_cast<int>(height);
    g.width = static_cast<int>(width);
    return g;
}

std::string header_line(Kind kind, const Format &f, const Geometry &g) {
    return std::string(tag_of(kind)) + "," + f.type + "," + std::to_string(g.width) + "," +
           std::to_string(g.height) + "\n";
}

// Appending continues a file of the same kind, sample type and size, or starts a new one.
Fd open_for_append(const std::string &path, const std::string &header) {
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        throw Failure(system_error("cannot open", path));
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end > 0) {
        std::string head(header.size(), '\0');
        if (::pread(fd.get(), head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) ||
            head != header) {
            throw BadArgument(path + " does not hold frames of this kind, sample type and size");
        }
    }
    return fd;
}

bool save_frames(int fd, Kind kind, const Format &f, const Geometry &g, const FloatImages &images) {
    const int pixels = g.width * g.height;
    if (kind == Kind::distance) {
        return tarvo_frame_save_distance(fd, f.code, images.data(), pixels * g.frames, g.width,
                                         g.height) == 1;
    }
    for (int i = 0; i < g.frames; ++i) {
        if (tarvo_frame_save_gray(fd, f.code, images.data() + size_t(i) * pixels, pixels, g.width,
                                  g.height) != 1) {
            return false;
        }
    }
    return true;
}

void save(Kind kind, const std::string &path, const FloatImages &images, const std::string &format,
          bool append) {
    const Format &f = format_named(kind, format);
    const Geometry g = geometry_of(images);
    const std::string header = header_line(kind, f, g);
    py::gil_scoped_release release;
    bool ok = false;
    if (append) {
        Fd fd = open_for_append(path, header);
        ok = save_frames(fd.get(), kind, f, g, images);
        ok = fd.close() == 0 && ok;
    } else {
        // A new file takes the name only once complete; a FIFO or device is written in place.
        tarvo::files::OutputFile out(path);
        if (!out.open())
            throw Failure(out.error());
        ok = save_frames(out.fd(), kind, f, g, images) && out.commit();
    }
    if (!ok)
        throw Failure("the frames were not saved to " + path);
}

// ---- Loading ----------------------------------------------------------------------------------

using Loader = int (*)(int, float *, int, int *, int *);

struct Header {
    size_t length = 0;  // bytes up to and including the line feed
    int width = 0;
    int height = 0;
    int sample_bytes = 0;
};

// The header as the loader will take it, to size the frames and to find the file's end. The
// loader itself decides whether the file is acceptable.
Header peek_header(int fd, Kind kind) {
    char line[257] = {};
    const ssize_t got = ::pread(fd, line, 256, 0);
    Header h;
    if (got <= 0)
        return h;
    const char *lf = static_cast<const char *>(std::memchr(line, '\n', static_cast<size_t>(got)));
    h.length = lf != nullptr ? static_cast<size_t>(lf - line) + 1 : static_cast<size_t>(got);
    for (const Format &f : formats_of(kind)) {
        const std::string prefix = std::string(tag_of(kind)) + "," + f.type + ",";
        if (std::strncmp(line, prefix.c_str(), prefix.size()) == 0 &&
            std::sscanf(line + prefix.size(), "%d,%d", &h.width, &h.height) == 2) {
            h.sample_bytes = f.sample_bytes;
            break;
        }
    }
    return h;
}

class FrameFileReader;

// Which reader each loader served last; guarded by g_loader_mutex, which is held across every
// load so that the loader's remembered header and the reader's position move together.
std::mutex g_loader_mutex;
const FrameFileReader *g_last_reader[2] = {nullptr, nullptr};

class FrameFileReader {
  public:
    FrameFileReader(Kind kind, const std::string &path)
        : kind_(kind), path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_.get() < 0)
            throw Failure(system_error("cannot open", path));
        header_ = peek_header(fd_.get(), kind);
        const int64_t pixels = int64_t{header_.width} * header_.height;
        if (header_.sample_bytes == 0 || header_.width < 1 || header_.height < 1 ||
            header_.width > 65535 || header_.height > 65535 || pixels > 16777216) {
            throw Failure(path + " is not a " + std::string(tag_of(kind)) + " frame file");
        }
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0)
            throw Failure(system_error("cannot read", path));
        file_size_ = static_cast<uint64_t>(st.st_size);
        frame_bytes_ = static_cast<uint64_t>(pixels) * header_.sample_bytes;
    }
    ~FrameFileReader() {
        std::lock_guard lock(g_loader_mutex);
        if (g_last_reader[slot()] == this)
            g_last_reader[slot()] = nullptr;
    }

    py::array next() {
        const size_t pixels = size_t(header_.width) * header_.height;
        // Frames end where the next would not fit whole; a short tail is a truncated file.
        if (fd_.get() < 0 || header_.length + (frames_read_ + 1) * frame_bytes_ > file_size_) {
            const bool truncated = fd_.get() >= 0 && remaining_bytes() > 0;
            fd_.close();
            if (truncated)
                throw Failure(path_ + " ends inside a frame");
            throw py::stop_iteration();
        }
        MallocBuffer buf(static_cast<uint8_t *>(std::malloc(pixels * sizeof(float))));
        if (!buf)
            throw std::bad_alloc();
        {
            py::gil_scoped_release release;
            load_into(reinterpret_cast<float *>(buf.get()), static_cast<int>(pixels));
        }
        ++frames_read_;
        return adopt(std::move(buf), py::dtype::of<float>(), {header_.height, header_.width});
    }

  private:
    int slot() const { return kind_ == Kind::distance ? 0 : 1; }
    Loader loader() const {
        return kind_ == Kind::distance ? &tarvo_frame_load_distance : &tarvo_frame_load_gray;
    }
    uint64_t remaining_bytes() const {
        const uint64_t used = header_.length + frames_read_ * frame_bytes_;
        return file_size_ > used ? file_size_ - used : 0;
    }

    void load_into(float *dst, int pixels) {
        std::lock_guard lock(g_loader_mutex);
        int w = 0;
        int h = 0;
        if (frames_read_ > 0 && g_last_reader[slot()] != this) {
            // Another file's header is remembered: read ours again, then come back.
            const off_t here = ::lseek(fd_.get(), 0, SEEK_CUR);
            ::lseek(fd_.get(), 0, SEEK_SET);
            if (loader()(fd_.get(), nullptr, 0, &w, &h) == 0 && w == 0)
                throw Failure("the header of " + path_ + " cannot be read again");
            ::lseek(fd_.get(), here, SEEK_SET);
        }
        g_last_reader[slot()] = this;
        w = h = 0;
        const int got = loader()(fd_.get(), dst, pixels, &w, &h);
        if (got != pixels || w != header_.width || h != header_.height)
            throw Failure("frame " + std::to_string(frames_read_) + " of " + path_ +
                          " cannot be read");
    }

    Kind kind_;
    std::string path_;
    Fd fd_;
    Header header_;
    uint64_t file_size_ = 0;
    uint64_t frame_bytes_ = 0;
    uint64_t frames_read_ = 0;
};

}  // namespace

void bind_frame_files(py::module_ &m) {
    py::class_<FrameFileReader>(m, "FrameFileReader")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &FrameFileReader::next);

    m.def(
        "save_distance",
        [](const std::string &path, const FloatImages &images, const std::string &format,
           bool append) { save(Kind::distance, path, images, format, append); },
        py::arg("path"), py::arg("images"), py::arg("format") = "f32", py::arg("append") = false);
    m.def(
        "save_gray",
        [](const std::string &path, const FloatImages &images, const std::string &format,
           bool append) { save(Kind::gray, path, images, format, append); },
        py::arg("path"), py::arg("images"), py::arg("format") = "u16", py::arg("append") = false);
    m.def(
        "load_distance",
        [](const std::string &path) {
            return std::make_unique<FrameFileReader>(Kind::distance, path);
        },
        py::arg("path"));
    m.def(
        "load_gray",
        [](const std::string &path) { return std::make_unique<FrameFileReader>(Kind::gray, path); },
        py::arg("path"));
}

}  // namespace tarvo_py
