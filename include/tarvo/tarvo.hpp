/* libtarvo for C++ (an addition of ours over the C interface): header-only, C++17 or later.
 *
 *   tarvo::Library lib;                        // tarvo_init ... tarvo_uninit
 *   tarvo::Camera cam = tarvo::Camera::open(); // the first camera, closed by the destructor
 *   for (const tarvo::Frame &frame : cam.frames(10)) {
 *       std::vector<float> metres = cam.distance(frame);
 *   }
 *
 * Failures throw tarvo::Error, which carries the library's result code and its name
 * (tarvo_error_name). Thread context: as the C functions each method calls; a Camera is used
 * from one thread at a time, and its frames are decoded on that thread. */
#ifndef TARVO_TARVO_HPP
#define TARVO_TARVO_HPP

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if __cplusplus >= 202002L
#include <span>
#endif

#include <tarvo/tarvo.h>

namespace tarvo {

#if __cplusplus >= 202002L
template <class T>
using span = std::span<T>;
#else
/** A view of contiguous values, std::span's shape for C++17 consumers. */
template <class T>
class span {
public:
    constexpr span() noexcept = default;
    constexpr span(T *data, std::size_t size) noexcept : data_(data), size_(size) {}
    constexpr T *data() const noexcept { return data_; }
    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr T *begin() const noexcept { return data_; }
    constexpr T *end() const noexcept { return data_ + size_; }
    constexpr T &operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
};
#endif

/** A failed library call: code is the library's result (-1 for a refused call), name its name. */
class Error : public std::runtime_error {
public:
    Error(const std::string &what, int code)
        : std::runtime_error(what + ": " + tarvo_error_name(code)), code_(code) {}
    /** The library's result code. */
    int code() const noexcept { return code_; }
    /** The code's name, as tarvo_error_name gives it. */
    const char *name() const noexcept { return tarvo_error_name(code_); }

private:
    int code_;
};

namespace detail {
inline void check(bool ok, const char *what) {
    if (!ok)
        throw Error(what, -1);
}
}  // namespace detail

/** Starts the library for its lifetime (tarvo_init, tarvo_uninit). One per process. */
class Library {
public:
    /** log_file: the library's log file name, or null for the default. */
    explicit Library(const char *log_file = nullptr) { tarvo_init(log_file); }
    ~Library() { tarvo_uninit(); }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
};

/** A captured frame: its description, its raw bytes and, where the library recorded them, its
 * arrival time and sequence. The bytes are the frame's own copy. */
class Frame {
public:
    Frame() = default;
    Frame(const tarvo_frame_info_t &info, std::vector<std::uint8_t> bytes)
        : info_(info), bytes_(std::move(bytes)) {}
    /** The frame information the sensor driver filled. */
    const tarvo_frame_info_t &info() const noexcept { return info_; }
    /** The frame's raw bytes (info().frame_size of them). */
    span<const std::uint8_t> bytes() const noexcept { return {bytes_.data(), bytes_.size()}; }
    std::uint32_t width() const noexcept { return info_.width; }
    std::uint32_t height() const noexcept { return info_.height; }

private:
    tarvo_frame_info_t info_{};
    std::vector<std::uint8_t> bytes_;
};

class Camera;

/** Frames of a running capture, taken one by one as the loop advances; capture stops when the
 * range is left (by its end, a break or an exception). */
class FrameRange {
public:
    class iterator {
    public:
        using value_type = Frame;
        using difference_type = std::ptrdiff_t;
        using reference = const Frame &;
        using pointer = const Frame *;
        using iterator_category = std::input_iterator_tag;

        iterator() = default;
        explicit iterator(FrameRange *range) : range_(range) { advance(); }
        const Frame &operator*() const noexcept { return frame_; }
        const Frame *operator->() const noexcept { return &frame_; }
        iterator &operator++() {
            advance();
            return *this;
        }
        bool operator==(const iterator &other) const noexcept { return range_ == other.range_; }
        bool operator!=(const iterator &other) const noexcept { return range_ != other.range_; }

    private:
        void advance();
        FrameRange *range_ = nullptr;
        Frame frame_;
    };

    FrameRange(Camera &camera, std::uint64_t count) : camera_(&camera), left_(count) {}
    FrameRange(const FrameRange &) = delete;
    FrameRange &operator=(const FrameRange &) = delete;
    ~FrameRange();
    iterator begin();
    iterator end() noexcept { return iterator(); }

private:
    Camera *camera_;
    std::uint64_t left_;
    bool started_ = false;
};

/** An open camera (tarvo_dev_open ... tarvo_dev_close). Movable, not copyable. */
class Camera {
public:
    /** Bytes a fetch buffer needs for the largest frame of this camera. */
    static constexpr std::uint32_t kMaxFrameBytes = 4 * TARVO_CAP_FRAME_UNIT;

    /** The cameras on the bus, as tarvo_dev_list fills them (not opened). */
    static std::vector<tarvo_dev_t> list(int max = 16) {
        std::vector<tarvo_dev_t> handles(static_cast<std::size_t>(max));
        const int n = tarvo_dev_list(handles.data(), max);
        handles.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return handles;
    }

    /** Opens the index-th camera of list(). Throws Error when there is none or it fails. */
    static Camera open(std::size_t index = 0) {
        std::vector<tarvo_dev_t> handles = list();
        if (index >= handles.size())
            throw Error("no camera at index " + std::to_string(index), -1);
        Camera camera(handles[index]);
        detail::check(tarvo_dev_open(camera.handle_) != nullptr, "cannot open the camera");
        return camera;
    }

    Camera(Camera &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Camera &operator=(Camera &&other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;
    ~Camera() { close(); }

    /** Closes the camera (stopping capture); later calls throw. */
    void close() noexcept {
        if (handle_ == nullptr)
            return;
        tarvo_dev_close(handle_);
        delete handle_;
        handle_ = nullptr;
    }

    /** The C handle, for calls this class does not wrap. */
    tarvo_dev_t *handle() const {
        if (handle_ == nullptr)
            throw Error("the camera is closed", -1);
        return handle_;
    }
    /** Product string, e.g. "TV320-E2-1.3". */
    std::string product() const { return handle()->product; }
    /** Identification string (serial). */
    std::string ident() const { return handle()->ident; }

    /** A device parameter's bytes, little-endian for numbers. */
    std::vector<std::uint8_t> param(int id) const {
        tarvo_param_item_t item{};
        item.param_id = id;
        detail::check(tarvo_param_batch_get(handle(), &item, 1), "parameter read failed");
        return {item.param_val, item.param_val + item.param_val_len};
    }
    /** Sets a device parameter (at most 18 bytes). */
    void set_param(int id, span<const std::uint8_t> value) {
        tarvo_param_item_t item{};
        if (value.size() > sizeof item.param_val)
            throw Error("parameter value longer than 18 bytes", -1);
        item.param_id = id;
        item.param_val_len = static_cast<std::uint8_t>(value.size());
        for (std::size_t i = 0; i < value.size(); i++)
            item.param_val[i] = value[i];
        detail::check(tarvo_param_batch_set(handle(), &item, 1), "parameter write failed");
    }
    /** count 32-bit registers of target from address base. */
    std::vector<std::uint32_t> read_registers(std::uint8_t target, std::uint32_t base,
                                              std::uint16_t count) const {
        std::vector<std::uint32_t> values(count);
        detail::check(tarvo_reg_batch_read(handle(), target, base, values.data(),
                                           static_cast<std::uint16_t>(count)),
                      "register read failed");
        return values;
    }
    /** Writes consecutive 32-bit registers of target from address base. */
    void write_registers(std::uint8_t target, std::uint32_t base,
                         span<const std::uint32_t> values) {
        if (values.size() > 0xFFFF)
            throw Error("more than 65535 registers in one write", -1);
        detail::check(tarvo_reg_batch_write(handle(), target, base, values.data(),
                                            static_cast<std::uint16_t>(values.size())),
                      "register write failed");
    }

    /** Starts capture with room for buffer_frames frames in the library. */
    void start(std::uint32_t buffer_frames = 8) {
        detail::check(tarvo_cap_set_frame_buffer(handle(), nullptr,
                                                 buffer_frames * 2 * TARVO_CAP_FRAME_UNIT),
                      "cannot size the frame buffer");
        detail::check(tarvo_cap_start(handle()), "capture did not start");
    }
    /** Stops capture (nothing happens when it does not run). */
    void stop() noexcept {
        if (handle_ != nullptr && tarvo_cap_is_ongoing(handle_))
            tarvo_cap_stop(handle_);
    }
    bool capturing() const { return tarvo_cap_is_ongoing(handle()); }

    /** The next frame of the running capture; throws Error on a time-out or a capture error. */
    Frame next_frame() {
        std::vector<std::uint8_t> bytes(kMaxFrameBytes);
        tarvo_frame_info_t info{};
        const int got = tarvo_cap_get_frames(handle(), 1, bytes.data(),
                                             static_cast<std::uint32_t>(bytes.size()), &info);
        if (got != 1)
            throw Error("no frame", got < 0 ? got : TARVO_ERR_CAP_TIMEOUT);
        bytes.resize(info.frame_size);
        return Frame(info, std::move(bytes));
    }

    /** count frames, capture started on the first and stopped when the loop ends. */
    FrameRange frames(std::uint64_t count) { return FrameRange(*this, count); }

    /** The frame's distance image: width x height metres, row-major (65.3 and above: no
     * distance). */
    std::vector<float> distance(const Frame &frame) { return decode(frame, true); }
    /** The frame's gray (amplitude) image, width x height. */
    std::vector<float> gray(const Frame &frame) { return decode(frame, false); }

    /** x, y, z per pixel of a distance image (3 floats each), along each pixel's viewing ray. */
    std::vector<float> point_cloud(span<const float> metres, std::uint32_t width,
                                   std::uint32_t height) {
        std::vector<float> xyz(3 * static_cast<std::size_t>(width) * height);
        const int n = tarvo_frame_get_pcl(handle(), xyz.data(), static_cast<int>(xyz.size()),
                                          metres.data(), static_cast<int>(metres.size()),
                                          static_cast<int>(width), static_cast<int>(height),
                                          nullptr);
        detail::check(n > 0, "no point cloud");
        xyz.resize(3 * static_cast<std::size_t>(n));
        return xyz;
    }

private:
    explicit Camera(const tarvo_dev_t &listed) : handle_(new tarvo_dev_t(listed)) {}

    std::vector<float> decode(const Frame &frame, bool distance) {
        tarvo_frame_info_t info = frame.info();
        std::vector<float> image(static_cast<std::size_t>(info.width) * info.height);
        const int len = static_cast<int>(image.size());
        const int n =
            distance ? tarvo_frame_get_distance(handle(), image.data(), len, frame.bytes().data(),
                                                info.frame_size, &info)
                     : tarvo_frame_get_gray(handle(), image.data(), len, frame.bytes().data(),
                                            info.frame_size, &info);
        detail::check(n == len, distance ? "the frame could not be decoded into distances"
                                         : "the frame could not be decoded into gray values");
        return image;
    }

    tarvo_dev_t *handle_;
};

inline FrameRange::~FrameRange() {
    if (started_)
        camera_->stop();
}

inline FrameRange::iterator FrameRange::begin() {
    if (!started_ && left_ > 0) {
        camera_->start();
        started_ = true;
    }
    return iterator(this);
}

inline void FrameRange::iterator::advance() {
    if (range_ == nullptr)
        return;
    if (range_->left_ == 0) {
        range_ = nullptr;
        return;
    }
    range_->left_--;
    frame_ = range_->camera_->next_frame();
}

}  // namespace tarvo

#endif /* TARVO_TARVO_HPP */
