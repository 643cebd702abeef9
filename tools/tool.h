// Pieces every command of the tarvo tool shares: the parser and the action it chose, the exit
// statuses, the first camera, number parsing, JSON text and the progress line of a terminal.
#pragma once

#include <tarvo/tarvo.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::tool {

// Exit statuses: done, a failed operation (one line on standard error), a usage error.
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// Options that apply to every command.
struct Globals {
    std::string prefix;  // empty: the user's cache folder
    std::string log_file;
    bool verbose = false;
};

// What the parser chose to run; the action runs after the library is initialised.
using Action = std::function<int()>;

struct Tool {
    CLI::App app{"tarvo: the command-line tool of libtarvo (USB time-of-flight depth camera)",
                 "tarvo"};
    Globals globals;
    Action action;

    // `command` runs `action` when it is the command given on the command line.
    void on_run(CLI::App *command, Action run);
};

// The user's folders for the tool's files, "<base>/tarvo/" created when missing: the base is
// $XDG_STATE_HOME (log files) or $XDG_CACHE_HOME (calibration data fetched from cameras),
// falling back to ~/.local/state and ~/.cache. Empty when it cannot be created.
std::string state_folder();
std::string cache_folder();

// Prints "tarvo: <message>" on standard error and returns kFailed.
int fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Reports why the camera at bus and port did not open (tarvo_dev_last_error); returns kFailed.
int fail_open(unsigned bus, unsigned port);

// Which camera a command opens (`--camera SEL`): the index that `tarvo list` prints, BUS-PORT
// ("1-3") or the camera's ident ("VCAM-2", a real camera's serial). Empty: the first camera.
struct CameraSelector {
    std::string text;
};
CLI::Option *add_camera_option(CLI::App *cmd, CameraSelector &selector);

// The cameras on the bus (none opened), ordered by bus and port so that indices stay put.
std::vector<tarvo_dev_t> list_cameras();

// A camera on the bus, opened; closed when the object goes.
class Camera {
  public:
    // Opens the first camera; empty after "no camera found" (or why it could not be opened)
    // went to standard error.
    static std::optional<Camera> open_first();
    // Opens the camera the selector names (the first when it is empty); empty after why not
    // went to standard error. An ident is found by opening the cameras in turn.
    static std::optional<Camera> open_selected(const CameraSelector &selector);
    tarvo_dev_t *get() const { return dev_.get(); }

  private:
    struct Closer {
        void operator()(tarvo_dev_t *dev) const;
    };
    // Opens a copy of a record from list_cameras().
    static std::optional<Camera> open_listed(const tarvo_dev_t &listed);
    explicit Camera(std::unique_ptr<tarvo_dev_t, Closer> dev) : dev_(std::move(dev)) {}
    std::unique_ptr<tarvo_dev_t, Closer> dev_;
};

// Runs `op` on the first camera; kFailed when there is none.
int with_camera(const std::function<int(tarvo_dev_t *)> &op);
// Runs `op` on the selected camera; kFailed when it cannot be opened.
int with_camera(const CameraSelector &selector, const std::function<int(tarvo_dev_t *)> &op);

// How the capture commands set up the camera; unset values keep what the driver chose at open.
struct CaptureSettings {
    std::optional<unsigned> integration_time_us;  // 3D integration time, 1 to 4000
    std::optional<unsigned> frame_rate;           // frames per second, 1 to 120
    std::optional<unsigned> modulation_khz;       // one of the sensor's modulation frequencies
    std::optional<unsigned> min_amplitude;        // pixels below it are invalid; 0 turns it off
    bool hdr = false;
    bool auto_exposure = false;
    bool undistort = false;
};
// --integration-time, --frame-rate, --modulation-frequency, --min-amplitude, --hdr,
// --auto-exposure and --undistort.
void add_capture_options(CLI::App *cmd, CaptureSettings &settings);
// Applies the settings to an open camera, after the driver's own settings at open (which
// would otherwise overwrite them). False after why not went to standard error.
bool apply_capture_settings(tarvo_dev_t *dev, const CaptureSettings &settings);
// Opens the selected camera, applies the settings and runs `op`.
int with_camera(const CameraSelector &selector, const CaptureSettings &settings,
                const std::function<int(tarvo_dev_t *)> &op);

// A number in decimal or, with 0x, hexadecimal, at most `max`.
std::optional<uint64_t> parse_number(std::string_view text, uint64_t max);
// A parser check for parse_number with a lower bound, so a bad number is a usage error.
// --range NEAR FAR: the colour range in metres, red end then blue end; a negative or inverted
// range is a usage error.
CLI::Option *add_range_option(CLI::App *cmd, std::vector<float> &range);

// An output path must end in one of `extensions` (".zrd", ".png"...); otherwise a usage error.
CLI::Validator extension_check(std::vector<std::string> extensions);

CLI::Validator number_check(uint64_t max, uint64_t min = 0);

// `text` as a JSON string literal, quotes included.
std::string json_string(std::string_view text);

// Standard output for machine-readable text: while it lives, what the library writes to
// standard output goes to standard error instead, so scripts read only the tool's output.
class CleanStdout {
  public:
    CleanStdout();
    ~CleanStdout();
    CleanStdout(const CleanStdout &) = delete;
    CleanStdout &operator=(const CleanStdout &) = delete;
    std::FILE *out() const { return out_; }

  private:
    int saved_ = -1;
    std::FILE *out_ = stdout;
};

// One line on standard error rewritten in place, only when standard error is a terminal.
class ProgressLine {
  public:
    ProgressLine();
    ~ProgressLine();
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    bool shown() const { return tty_; }
    void show(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // Clears the line so that the next output starts on a clean line.
    void clear();

  private:
    bool tty_;
    bool dirty_ = false;
};

// Starts capturing into a library buffer of `buffer_frames` frames, with the frames the parser
// discards counted for discarded_frames(). Also the restart after the camera returned.
bool start_capture(tarvo_dev_t *dev, uint32_t buffer_frames);
// The parser's running total of discarded frames (there is one capture per process).
uint32_t discarded_frames();
// Counts discarded frames from zero again, before a command's first start_capture.
void reset_discarded_frames();

// Frames the camera sent and the host lost, from gaps in the frame indices (modulo 65536).
class FrameGaps {
  public:
    // Frames lost just before the frame `index`; none for the first frame after a restart.
    unsigned lost_before(uint16_t index) {
        const uint16_t step = static_cast<uint16_t>(index - last_);
        const unsigned lost = counting_ && step > 1 ? step - 1u : 0u;
        last_ = index;
        counting_ = true;
        return lost;
    }
    // A camera that came back counts its frames afresh: no gap to the frames before.
    void restart() { counting_ = false; }

  private:
    uint16_t last_ = 0;
    bool counting_ = false;  // off until a frame gives the index to count from
};

// "[=====>     ]  42%" of done out of total.
std::string progress_bar(uint64_t done, uint64_t total, int width = 30);

}  // namespace tarvo::tool

namespace tarvo::tool {

// "camera at bus 001 port 001: product ..., ident ..., firmware N, driver ..." on standard output.
void print_identification(const tarvo_dev_t *dev);
// The firmware version: the second 16-bit word of the version block.
unsigned firmware_version(const tarvo_dev_t *dev);

}  // namespace tarvo::tool
