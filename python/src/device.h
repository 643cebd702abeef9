// One opened camera as the Python module sees it: the library's handle with the calls the
// module makes on it, failures turned into exceptions. Knows nothing of Python, so that every
// call here can run with the interpreter lock released.
//
// Thread context: one thread at a time per Device, except stop() and close(), which may come
// from another thread to end a wait (the library wakes the waiter and close waits for it).
#pragma once

#include <tarvo/tarvo.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tarvo_py {

// Where a camera sits on the bus.
struct Location {
    int index = 0;
    int bus = 0;
    int port = 0;
    int address = 0;
    int speed = 0;  // libusb speed code
};

// What a camera says about itself at open.
struct Identity {
    std::string product;
    std::string ident;
    int firmware = 0;  // second 16-bit word of the version block
    int part_version = 0;
    int chip_id = 0;
    int wafer_id = 0;
};

// A block of memory from malloc, so that it can be shrunk in place once its use is known.
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using MallocBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

// One captured frame with its own copy of the bytes.
struct RawFrame {
    MallocBuffer data;
    tarvo_frame_info_t info{};
    tarvo_frame_time_t time{};  // host arrival time, sequence and lost frames
    // Sensor and illumination-board temperatures of the frame header, degrees Celsius.
    double temp_sensor = 0.0;
    double temp_illumination = 0.0;
};

// The cameras on the bus, in the library's order.
std::vector<Location> list_cameras();

// The filter switches as last set through this module (the driver has no getters); the
// defaults are the driver's at open.
struct FilterSettings {
    std::optional<int> auto_exposure;      // per mille; off
    std::optional<int> min_amplitude = 0;  // on, with 0
    bool undistort = false;
    bool hdr = false;
};

class FrameDecoder;

class Device {
  public:
    // Opens the index-th listed camera; throws Failure when there is none or it cannot open.
    explicit Device(int index);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Closes the handle; with `decode_frames`, the live frames of this camera first decode what
    // they lack, so that they can be read after the close.
    void close(bool decode_frames = true);
    bool is_open() const;
    // The open handle; throws Failure when the camera was closed.
    tarvo_dev_t *handle();

    const Location &location() const { return location_; }
    const Identity &identity() const { return identity_; }

    std::vector<uint8_t> get_param(int id);
    void set_param(int id, std::span<const uint8_t> value);
    void read_registers(int target, uint32_t first, std::span<uint32_t> out);
    void write_registers(int target, uint32_t first, std::span<const uint32_t> values);

    void start();
    void stop();
    bool capturing();
    // One attempt at the next frame: looks for a ready frame every few milliseconds for a
    // short slice of time (some 20 ms), so that the caller can check for Ctrl-C between
    // attempts whatever the frame rate. Returns nothing when no frame came yet; throws Failure
    // with kTimeout once the deadline has passed and with the library's code on a capture error.
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    std::optional<RawFrame> try_fetch(const Deadline &deadline);

    // Chip and illumination-board temperatures (degrees Celsius) of the latest frame fetched
    // through this handle; nothing before the first.
    std::optional<std::pair<double, double>> last_temperatures() const;

    // The lens model of the driver for distance images of width x height (raw images: with
    // distortion; undistorted ones: their own camera matrix, no distortion); throws Failure.
    zr_lens_param_t lens(int width, int height);

    // Decodes this camera's frames, one at a time (they use the driver's state); frames keep it.
    FrameDecoder &decoder() { return *decoder_; }

    // The driver's filter switches; `arg` holds the switch-on argument, little-endian.
    void enable_filter(int id, std::span<const uint8_t> arg);
    void disable_filter(int id);
    FilterSettings filters;

    void write_data(int type, int version, const std::string &path);
    void read_data(int type, const std::string &path);

  private:
    // Shrinks a fetched frame to its size and adds its times and temperatures.
    RawFrame finish_fetch(RawFrame frame);

    tarvo_dev_t dev_{};
    Location location_;
    Identity identity_;
    std::shared_ptr<FrameDecoder> decoder_;
    mutable std::mutex temperatures_mutex_;
    std::optional<std::pair<double, double>> temperatures_;  // guarded by temperatures_mutex_
};

}  // namespace tarvo_py
