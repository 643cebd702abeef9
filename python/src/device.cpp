#include "device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include "failure.h"
#include "frame_decoder.h"

namespace tarvo_py {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kMaxCameras = 16;
// Frames the library keeps ready between two fetches.
constexpr uint32_t kReadyFrames = 8;
// Room for the largest frame the library hands to a callback; the buffer is shrunk to the
// frame's own size after the fetch, and the untouched rest of it never becomes resident.
constexpr size_t kFetchCapacity = 0x400000;
// Longest time one fetch attempt keeps the interpreter waiting before the caller looks for
// Ctrl-C again; frames are looked for every kPollNap meanwhile.
constexpr milliseconds kFetchSlice{20};
constexpr milliseconds kPollNap{2};

constexpr int kParamChipInfo = 7;

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::string bounded_string(const char *text, size_t capacity) {
    return std::string(text, strnlen(text, capacity));
}

MallocBuffer allocate(size_t size) {
    MallocBuffer buf(static_cast<uint8_t *>(std::malloc(size)));
    if (!buf)
        throw std::bad_alloc();
    return buf;
}

// Gives back the unused tail; glibc shrinks a block in place, so no byte is copied.
void shrink(MallocBuffer &buf, size_t size) {
    if (void *p = std::realloc(buf.get(), size)) {
        (void)buf.release();
        buf.reset(static_cast<uint8_t *>(p));
    }
}

void check_range(const char *what, long long value, long long low, long long high) {
    if (value < low || value > high) {
        throw BadArgument(std::string(what) + " must be " + std::to_string(low) + " to " +
                          std::to_string(high) + ", not " + std::to_string(value));
    }
}

}  // namespace

std::vector<Location> list_cameras() {
    std::array<tarvo_dev_t, kMaxCameras> list{};
    const int n = tarvo_dev_list(list.data(), kMaxCameras);
    std::vector<Location> out;
    for (int i = 0; i < n; ++i) {
        out.push_back({i, list[i].bus, list[i].port, list[i].address, list[i].speed});
    }
    return out;
}

Device::Device(int index) : decoder_(std::make_shared<FrameDecoder>(*this)) {
    if (index < 0)
        throw BadArgument("camera index must not be negative");
    std::array<tarvo_dev_t, kMaxCameras> list{};
    const int n = tarvo_dev_list(list.data(), kMaxCameras);
    if (n == 0)
        throw Failure("no camera found");
    if (index >= n) {
        throw Failure("no camera at index " + std::to_string(index) + " (" + std::to_string(n) +
                      " found)");
    }
    dev_ = list[index];
    if (tarvo_dev_open(&dev_) == nullptr)
        throw Failure("the camera at index " + std::to_string(index) + " cannot be opened");
    location_ = {index, dev_.bus, dev_.port, dev_.address, dev_.speed};
    identity_.product = bounded_string(dev_.product, sizeof dev_.product);
    identity_.ident = bounded_string(dev_.ident, sizeof dev_.ident);
    identity_.firmware = le16(dev_.version + 2);
    try {
        const std::vector<uint8_t> chip = get_param(kParamChipInfo);
        if (chip.size() >= 6) {
            identity_.part_version = le16(chip.data());
            identity_.chip_id = le16(chip.data() + 2);
            identity_.wafer_id = le16(chip.data() + 4);
        }
        if (!tarvo_cap_set_frame_buffer(&dev_, nullptr, kReadyFrames * TARVO_CAP_FRAME_UNIT))
            throw Failure("the capture buffer cannot be set");
    } catch (...) {
        tarvo_dev_close(&dev_);
        throw;
    }
}

Device::~Device() {
    close();
}

void Device::close(bool decode_frames) {
    // No frame decodes through the handle once the decoder has retired.
    decoder_->retire(decode_frames);
    if (dev_.ctx != nullptr)
        tarvo_dev_close(&dev_);
}

bool Device::is_open() const {
    return dev_.ctx != nullptr;
}

tarvo_dev_t *Device::handle() {
    if (!is_open())
        throw Failure("the camera is closed");
    return &dev_;
}

std::vector<uint8_t> Device::get_param(int id) {
    check_range("parameter number", id, 0, 255);
    tarvo_param_item_t item{};
    item.param_id = id;
    if (!tarvo_param_batch_get(handle(), &item, 1))
        throw Failure("parameter " + std::to_string(id) + " cannot be read");
    const size_t len = std::min<size_t>(item.param_val_len, sizeof item.param_val);
    return {item.param_val, item.param_val + len};
}

void Device::set_param(int id, std::span<const uint8_t> value) {
    check_range("parameter number", id, 0, 255);
    tarvo_param_item_t item{};
    check_range("parameter value length", static_cast<long long>(value.size()), 0,
                sizeof item.param_val);
    item.param_id = id;
    item.param_val_len = static_cast<uint8_t>(value.size());
    std::copy(value.begin(), value.end(), item.param_val);
    if (!tarvo_param_batch_set(handle(), &item, 1))
        throw Failure("parameter " + std::to_string(id) + " cannot be set");
}

void Device::read_registers(int target, uint32_t first, std::span<uint32_t> out) {
    check_range("register target", target, 0, 255);
    check_range("register count", static_cast<long long>(out.size()), 1, 0xFFFF);
    if (!tarvo_reg_batch_read(handle(), static_cast<uint8_t>(target), first, out.data(),
                              static_cast<uint16_t>(out.size()))) {
        throw Failure("registers of target " + std::to_string(target) + " cannot be read");
    }
}

void Device::write_registers(int target, uint32_t first, std::span<const uint32_t> values) {
    check_range("register target", target, 0, 255);
    check_range("register count", static_cast<long long>(values.size()), 1, 0xFFFF);
    if (!tarvo_reg_batch_write(handle(), static_cast<uint8_t>(target), first, values.data(),
                               static_cast<uint16_t>(values.size()))) {
        throw Failure("registers of target " + std::to_string(target) + " cannot be written");
    }
}

void Device::start() {
    tarvo_dev_t *dev = handle();
    if (!tarvo_cap_is_ongoing(dev) && !tarvo_cap_start(dev))
        throw Failure("capture does not start");
}

void Device::stop() {
    if (is_open() && !tarvo_cap_stop(&dev_))
        throw Failure("capture does not stop");
}

bool Device::capturing() {
    return is_open() && tarvo_cap_is_ongoing(&dev_);
}

std::optional<RawFrame> Device::try_fetch(const Deadline &deadline) {
    tarvo_dev_t *dev = handle();
    RawFrame frame;
    frame.data = allocate(kFetchCapacity);
    const auto slice_end = Clock::now() + kFetchSlice;
    for (;;) {
        // Never the library's blocking wait: it lasts up to seconds at a low frame rate.
        const int got = tarvo_cap_get_frame(dev, frame.data.get(), kFetchCapacity, &frame.info);
        if (got == 1)
            return finish_fetch(std::move(frame));
        if (got == kNotCapturing)
            throw Failure("capture is not running", kNotCapturing);
        if (got < 0)
            throw Failure(std::string("capture failed: ") + tarvo_error_name(got), got);
        const auto now = Clock::now();
        if (deadline && now >= *deadline)
            throw Failure("no frame arrived in time", kTimeout);
        if (now >= slice_end)
            return std::nullopt;
        auto nap = std::min<Clock::duration>(kPollNap, slice_end - now);
        if (deadline)
            nap = std::min<Clock::duration>(nap, *deadline - now);
        std::this_thread::sleep_for(nap);
    }
}

RawFrame Device::finish_fetch(RawFrame frame) {
    if (frame.info.frame_size == 0 || frame.info.frame_size > kFetchCapacity) {
        throw Failure("the camera sent a frame of " + std::to_string(frame.info.frame_size) +
                      " bytes that cannot be described");
    }
    shrink(frame.data, frame.info.frame_size);
    tarvo_cap_get_frame_times(&dev_, &frame.time, 1);
    // The frame's own header temperatures, kept with its time (the pipeline's copy belongs to
    // whichever frame was described last).
    frame.temp_sensor = frame.time.sensor_temperature / 10.0;
    frame.temp_illumination = frame.time.illumination_temperature / 10.0;
    std::lock_guard lock(temperatures_mutex_);
    temperatures_ = std::make_pair(frame.temp_sensor, frame.temp_illumination);
    return frame;
}

std::optional<std::pair<double, double>> Device::last_temperatures() const {
    std::lock_guard lock(temperatures_mutex_);
    return temperatures_;
}

zr_lens_param_t Device::lens(int width, int height) {
    tarvo_drv_t *drv = tarvo_dev_get_drv(handle());
    zr_lens_param_t out{};
    if (drv == nullptr || drv->ops == nullptr || drv->ops->lens_param_get == nullptr ||
        !drv->ops->lens_param_get(drv, &out, width, height)) {
        throw Failure("the camera's driver has no lens parameters for " + std::to_string(width) +
                      " x " + std::to_string(height) + " images");
    }
    return out;
}

void Device::write_data(int type, int version, const std::string &path) {
    check_range("data type", type, 0, 255);
    check_range("data version", version, 0, 0xFFFF);
    if (tarvo_data_download(handle(), path.c_str(), static_cast<uint8_t>(type),
                            static_cast<uint16_t>(version), 0) != 1) {
        throw Failure("data of type " + std::to_string(type) + " from " + path +
                      " was not written to the camera");
    }
}

void Device::read_data(int type, const std::string &path) {
    check_range("data type", type, 0, 255);
    if (tarvo_data_upload(handle(), static_cast<uint8_t>(type), path.c_str()) != 1)
        throw Failure("data of type " + std::to_string(type) + " was not read into " + path);
}

std::string code_name(int code) {
    const std::string name = tarvo_error_name(code);
    if (name != "**UNKNOWN**")
        return name;
    return code == kNotCapturing ? "TARVO_ERR_NOT_CAPTURING" : "TARVO_ERR_FAILED";
}

}  // namespace tarvo_py
