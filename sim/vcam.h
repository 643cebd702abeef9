// Virtual camera: a simulated 0x111B:0x1238 device that the unmodified system libusb drives
// through Linux usbfs, emulated by umockdev. Tests and the tarvo-vcam launcher configure the
// cameras on a virtual bus through this interface.
//
// Thread context: every function here is thread-safe. Device callbacks (StreamSource,
// RegisterSpace, CommandExtension, parameter observers) run on the simulator's own threads,
// never on a test's thread. RegisterSpace and CommandExtension run with the camera's lock held
// and must not call the camera, except Camera::reenumerate().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarvo::vcam {

inline constexpr uint16_t kVendorId = 0x111B;
inline constexpr uint16_t kProductId = 0x1238;
inline constexpr uint8_t kBulkEndpoint = 0x81;
inline constexpr uint8_t kBusNumber = 1;

// Vendor command types (bRequest) and the values (wValue) the camera knows.
inline constexpr uint8_t kTypeStatus = 0xB0;
inline constexpr uint8_t kTypeDevice = 0xC0;
inline constexpr uint8_t kTypeRegister = 0xC2;
inline constexpr uint8_t kTypeAction = 0xCC;
inline constexpr uint16_t kDevReset = 0;
inline constexpr uint16_t kDevParamSet = 3;
inline constexpr uint16_t kDevParamGet = 4;
inline constexpr uint16_t kRegWrite = 0;
inline constexpr uint16_t kRegRead = 1;
inline constexpr uint16_t kRegCapStart = 4;
inline constexpr uint16_t kRegCapStop = 5;

inline constexpr size_t kStatusReplySize = 63;
inline constexpr size_t kStatusMessageSize = 60;
inline constexpr size_t kParamItemSize = 20;
inline constexpr size_t kParamValueSize = 18;
inline constexpr size_t kRegHeaderSize = 7;
// The camera's own limits per read request; the host must split longer reads.
inline constexpr size_t kMaxParamGetItems = 3;
inline constexpr size_t kMaxRegReadBytes = 64;
inline constexpr size_t kSensorRegisterCount = 256;

// Parameter numbers with a built-in meaning.
inline constexpr uint8_t kParamIdent = 2;
inline constexpr uint8_t kParamProduct = 3;
inline constexpr uint8_t kParamInfo = 5;
inline constexpr uint8_t kParamVersion = 6;
inline constexpr uint8_t kParamChipInfo = 7;
inline constexpr uint8_t kParamMode = 0;       // operating mode; kModeDataUpload streams data
inline constexpr uint8_t kParamCalibInfo = 8;  // the stored calibration package
inline constexpr uint8_t kParamFrameRate = 12;
inline constexpr uint8_t kParamIntegrationTime = 13;

// Values of parameter 0.
inline constexpr uint8_t kModeNormal = 1;
inline constexpr uint8_t kModeDataUpload = 9;

// Status byte of the 0xB0 reply.
inline constexpr uint8_t kStatusDone = 0x00;
inline constexpr uint8_t kStatusBusy = 0xFE;
inline constexpr uint8_t kStatusFailed = 0xFF;

struct CameraConfig {
    int speed = 3;  // libusb speed code: 1 low, 2 full, 3 high, 4 super
    std::string product = "TV320-E2-1.3";
    std::string ident;  // empty: "VCAM-" and the port number
    uint16_t part_version = 4;
    uint16_t chip_id = 1;
    uint16_t wafer_id = 1;
    uint16_t fw_version = 113;  // second 16-bit word of the version block
    uint32_t frame_rate = 30;
    uint16_t integration_time = 700;
};

enum class Dir : uint8_t { out, in };

// One control request seen on endpoint 0 (status requests included), in arrival order.
struct CommandRecord {
    Dir dir = Dir::out;
    uint8_t request_type = 0;   // bmRequestType
    uint8_t type = 0;           // bRequest
    uint16_t value = 0;         // wValue
    uint16_t index = 0;         // wIndex
    uint16_t length = 0;        // wLength
    std::vector<uint8_t> data;  // data stage of a host-to-device request
    // Decoded register request header (0xC2/0 and 0xC2/1 host to device), zero otherwise.
    uint8_t target = 0;
    uint32_t first = 0;
    uint16_t byte_count = 0;
};

// Misbehaviour of the command channel. A fault applies to the commands matching type, value
// and direction (-1 / nullopt match anything), `times` times (-1: until cleared).
enum class FaultKind {
    busy,          // the next `busy_replies` status replies after the command say 0xFE
    fail,          // the command is refused: no effect, status 0xFF with `message`
    wrong_echo,    // status replies echo echo_type / echo_value instead of the command
    silent,        // the control transfer is never completed until the host cancels it
    stall,         // the control transfer ends with a stall
    param_length,  // parameter get replies report `length` for parameter `param` (-1: all)
    short_reply,   // a device-to-host reply ends early: half of what the camera had to say
    long_reply,    // a device-to-host reply runs past wLength: the transfer ends in overflow
};

struct Fault {
    FaultKind kind = FaultKind::fail;
    int type = -1;
    int value = -1;
    std::optional<Dir> dir;
    int times = -1;
    int busy_replies = 1;
    std::string message = "command failed";
    uint8_t echo_type = 0;
    uint8_t echo_value = 0;
    int param = -1;
    uint8_t length = 200;

    static Fault busy(int type, int value, int replies, int times = -1);
    static Fault fail(int type, int value, std::string message, int times = -1);
    static Fault wrong_echo(int type, int value, uint8_t echo_type, uint8_t echo_value,
                            int times = -1);
    static Fault silent(int type, int value, std::optional<Dir> dir = std::nullopt, int times = -1);
    static Fault stall(int type, int value, std::optional<Dir> dir = std::nullopt, int times = -1);
    static Fault param_length(int param, uint8_t length, int times = -1);
    static Fault short_reply(int type, int value, int times = -1);
    static Fault long_reply(int type, int value, int times = -1);
};

// What the camera does next on its bulk endpoint while capturing.
struct StreamStep {
    enum class Kind {
        data,   // one device-side transfer; spans several host transfers when longer than one
        pause,  // silence for `pause` (the host's transfer time-outs run meanwhile)
        stall,  // the next host transfer ends with a stall
        error,  // the next host transfer ends with -`error` (an errno, e.g. EPROTO)
    };
    Kind kind = Kind::data;
    std::shared_ptr<const std::vector<uint8_t>> bytes;  // data; null or empty: zero-length
    std::chrono::microseconds pause{0};
    int error = 0;

    static StreamStep data(std::vector<uint8_t> bytes);
    static StreamStep data(std::shared_ptr<const std::vector<uint8_t>> bytes);
    static StreamStep zero_length();
    static StreamStep silence(std::chrono::microseconds duration);
    static StreamStep stall_step();
    static StreamStep error_step(int error);
};

struct StreamContext {
    uint32_t start_arg = 0;   // argument of the capture start command
    uint32_t frame_rate = 0;  // parameter 12 at the start
};

// Produces what the camera sends. Called on the camera's producer thread, only while the camera
// is capturing and the host has a bulk transfer waiting.
class StreamSource {
  public:
    virtual ~StreamSource() = default;
    // Called at every capture start, before the first next().
    virtual void on_start(const StreamContext &ctx) {}
    // Fills `step` and returns true, or returns false when there is nothing to send: the camera
    // then stays silent until the next start, a new source, or Camera::kick_stream().
    virtual bool next(StreamStep &step) = 0;
};

// Sends `bytes` once per start, in device-side transfers of at most `chunk` bytes.
std::shared_ptr<StreamSource> make_bytes_source(std::vector<uint8_t> bytes, size_t chunk = 0);
// Plays `steps` once per start; with `repeat` it starts over at the end.
std::shared_ptr<StreamSource> make_script_source(std::vector<StreamStep> steps,
                                                 bool repeat = false);

// Passes `inner`'s data on with bytes damaged: each byte is replaced by a random one with
// probability 1/`one_in` (deterministic for a seed). Pauses, stalls and errors pass unchanged.
std::shared_ptr<StreamSource> make_damaging_source(std::shared_ptr<StreamSource> inner,
                                                   uint32_t one_in, uint32_t seed = 1);

// Makes frames for a frame-rate driven source; `seq` counts from 0 at every start.
class FrameGenerator {
  public:
    virtual ~FrameGenerator() = default;
    virtual void on_start(const StreamContext &ctx) {}
    virtual std::shared_ptr<const std::vector<uint8_t>> frame(uint32_t seq) = 0;
};
// One frame every 1/rate seconds, rate = parameter 12 at the start (0 treated as 30).
std::shared_ptr<StreamSource> make_frame_source(std::shared_ptr<FrameGenerator> generator);

// A register space of the camera (selected by the register target byte).
class RegisterSpace {
  public:
    virtual ~RegisterSpace() = default;
    // Returning false makes the camera report failure with `message`.
    virtual bool write(uint32_t first, std::span<const uint32_t> values, std::string &message) = 0;
    virtual bool read(uint32_t first, std::span<uint32_t> values, std::string &message) = 0;
};

// Outcome of a command handled by an extension.
struct CommandOutcome {
    bool ok = true;
    std::string message;   // status message when !ok
    size_t answered = 0;   // device-to-host: bytes written into the reply
    int busy_replies = 0;  // status replies saying busy before the outcome shows
};

// Takes over a whole command type (e.g. 0xCC, the action protocol with the camera's flash).
class CommandExtension {
  public:
    virtual ~CommandExtension() = default;
    virtual CommandOutcome write(uint16_t value, std::span<const uint8_t> data) = 0;
    // `reply` has the host's wLength bytes; set `answered`.
    virtual CommandOutcome read(uint16_t value, std::span<uint8_t> reply) = 0;
};

struct StreamStats {
    uint64_t completed = 0;  // bulk transfers completed with data or zero length
    uint64_t bytes = 0;
    uint64_t zero_length = 0;
    uint64_t stalls = 0;
    uint64_t errors = 0;
    uint64_t discarded = 0;  // bulk transfers cancelled by the host
    uint64_t submitted = 0;  // bulk transfers submitted by the host
    uint32_t starts = 0;
    uint32_t stops = 0;
    uint32_t clear_halts = 0;
};

class Camera {
  public:
    virtual ~Camera() = default;

    virtual const CameraConfig &config() const = 0;
    virtual int port() const = 0;
    virtual int address() const = 0;  // current device address; 0 while unplugged
    virtual bool plugged() const = 0;
    virtual std::string devnode() const = 0;  // "/dev/bus/usb/001/NNN"; empty while unplugged

    // Unplug: pending transfers end with "no device", new ones are refused, and the camera
    // leaves the bus. Replug: it comes back on the same port under a new address.
    virtual void unplug() = 0;
    virtual void replug() = 0;
    // After a reset of target 3 the camera unplugs and comes back after `delay`; nullopt: never.
    virtual void set_reset_replug_delay(std::optional<std::chrono::milliseconds> delay) = 0;
    // Drops off the bus a moment later and comes back after `back_after` (nullopt: never), as
    // after a reset. Returns at once; also callable from the camera's own callbacks.
    virtual void reenumerate(std::optional<std::chrono::milliseconds> back_after) = 0;
    virtual std::vector<uint32_t> resets() const = 0;  // reset targets received

    virtual void refuse_interface(int interface, bool refuse) = 0;

    virtual void add_fault(const Fault &fault) = 0;
    virtual void clear_faults() = 0;

    virtual std::vector<CommandRecord> commands() const = 0;
    virtual void clear_commands() = 0;

    // Parameter store. Values longer than 18 bytes are cut.
    virtual void set_param(uint8_t id, std::span<const uint8_t> value) = 0;
    virtual std::optional<std::vector<uint8_t>> param(uint8_t id) const = 0;
    virtual void set_product(const std::string &product) = 0;
    virtual void set_ident(const std::string &ident) = 0;
    virtual void set_chip_info(uint16_t part_version, uint16_t chip_id, uint16_t wafer_id) = 0;
    virtual void set_fw_version(uint16_t version) = 0;
    // Called (on the ioctl thread) after a parameter set command stored its items.
    virtual void set_param_observer(std::function<void(uint8_t id, std::span<const uint8_t>)>) = 0;

    virtual uint32_t reg(uint8_t target, uint32_t address) const = 0;
    virtual void set_reg(uint8_t target, uint32_t address, uint32_t value) = 0;
    // Replaces the built-in space of `target` (target 1: 256 sensor registers; others sparse).
    virtual void set_register_space(uint8_t target, std::shared_ptr<RegisterSpace> space) = 0;

    virtual void set_command_extension(uint8_t type, std::shared_ptr<CommandExtension> ext) = 0;

    virtual void set_stream_source(std::shared_ptr<StreamSource> source) = 0;
    // What the camera streams instead of its source while parameter 0 is kModeDataUpload
    // (null: the source as always). Its on_start runs when it takes over.
    virtual void set_upload_source(std::shared_ptr<StreamSource> source) = 0;
    virtual void kick_stream() = 0;  // a source that returned false has something again
    virtual bool streaming() const = 0;
    virtual uint32_t start_arg() const = 0;
    virtual StreamStats stream_stats() const = 0;
    virtual size_t pending_bulk() const = 0;  // bulk transfers waiting for data
};

class Bus {
  public:
    static Bus &get();

    // Creates the testbed (and sets UMOCKDEV_DIR). Must run before libusb is initialised in a
    // process that uses the cameras in-process. Returns false with a message on stderr.
    virtual bool start() = 0;
    // Removes every camera and the testbed directory.
    virtual void stop() = 0;
    virtual bool running() const = 0;
    virtual std::string root_dir() const = 0;

    // The camera gets the lowest free port and the next device address.
    virtual std::shared_ptr<Camera> add_camera(const CameraConfig &cfg = {}) = 0;
    virtual void remove_camera(const std::shared_ptr<Camera> &camera) = 0;
    virtual std::vector<std::shared_ptr<Camera>> cameras() const = 0;
    // Removes every camera; addresses start again at 2.
    virtual void reset() = 0;

  protected:
    virtual ~Bus() = default;
};

// Name of umockdev's preload library.
inline constexpr const char *kPreloadLibrary = "libumockdev-preload.so.0";
// True when umockdev's preload library is loaded into this process.
bool preload_active();
// Re-executes the running program with the preload library in LD_PRELOAD (and
// verify_asan_link_order=0 in ASAN_OPTIONS) unless it is active already. Returns only when
// nothing had to be done; exits with status 2 after a message when the re-exec fails.
void reexec_under_preload(char **argv);

}  // namespace tarvo::vcam
