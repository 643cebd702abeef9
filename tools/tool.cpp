#include "tool.h"

#include "files/user_folders.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace tarvo::tool {

void Tool::on_run(CLI::App *command, Action run) {
    command->callback([this, run = std::move(run)] { action = run; });
}

namespace {}  // namespace

std::string state_folder() {
    return files::state_folder();
}

std::string cache_folder() {
    return files::cache_folder();
}

int fail(const char *fmt, ...) {
    std::fflush(stdout);
    std::fputs("tarvo: ", stderr);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
    return kFailed;
}

int fail_open(unsigned bus, unsigned port) {
    switch (tarvo_dev_last_error()) {
        case TARVO_ERR_DEV_IN_USE:
            return fail("camera in use by another process");
        case TARVO_ERR_DEV_ALREADY_OPEN:
            return fail("the camera at bus %03u port %03u is already open", bus, port);
        case TARVO_ERR_DEV_PIPELINE_BOUND:
            return fail("another EPC camera is open in this process");
        default:
            return fail("cannot open the camera at bus %03u port %03u", bus, port);
    }
}

void Camera::Closer::operator()(tarvo_dev_t *dev) const {
    tarvo_dev_close(dev);
    delete dev;
}

std::optional<Camera> Camera::open_first() {
    const std::vector<tarvo_dev_t> list = list_cameras();
    if (list.empty()) {
        fail("no camera found");
        return std::nullopt;
    }
    return open_listed(list.front());
}

std::optional<Camera> Camera::open_listed(const tarvo_dev_t &listed) {
    std::unique_ptr<tarvo_dev_t, Closer> dev(new tarvo_dev_t(listed));
    if (tarvo_dev_open(dev.get()) == nullptr) {
        delete dev.release();
        fail_open(listed.bus, listed.port);
        return std::nullopt;
    }
    return Camera(std::move(dev));
}

int with_camera(const std::function<int(tarvo_dev_t *)> &op) {
    const std::optional<Camera> camera = Camera::open_first();
    return camera ? op(camera->get()) : kFailed;
}

CLI::Option *add_camera_option(CLI::App *cmd, CameraSelector &selector) {
    return cmd
        ->add_option("--camera", selector.text,
                     "the camera to open: its index in `tarvo list`, BUS-PORT (1-3) or its ident "
                     "(default: the first)")
        ->check(CLI::Validator(
            [](std::string &text) -> std::string {
                return text.empty() ? "the camera selector is empty" : "";
            },
            "SEL"));
}

std::vector<tarvo_dev_t> list_cameras() {
    constexpr int kMaxCameras = 64;
    std::vector<tarvo_dev_t> list(kMaxCameras);
    const int n = tarvo_dev_list(list.data(), kMaxCameras);
    list.resize(n > 0 ? static_cast<size_t>(n) : 0);
    std::stable_sort(list.begin(), list.end(), [](const tarvo_dev_t &a, const tarvo_dev_t &b) {
        return a.bus != b.bus ? a.bus < b.bus : a.port < b.port;
    });
    return list;
}

namespace {

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "1-3": bus 1, port 3.
std::optional<std::pair<unsigned, unsigned>> parse_bus_port(const std::string &text) {
    const size_t dash = text.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const std::string bus = text.substr(0, dash), port = text.substr(dash + 1);
    if (!all_digits(bus) || !all_digits(port))
        return std::nullopt;
    const auto b = parse_number(bus, 255), p = parse_number(port, 255);
    if (!b || !p)
        return std::nullopt;
    return std::make_pair(static_cast<unsigned>(*b), static_cast<unsigned>(*p));
}

}  // namespace

std::optional<Camera> Camera::open_selected(const CameraSelector &selector) {
    if (selector.text.empty())
        return open_first();
    const std::vector<tarvo_dev_t> list = list_cameras();
    if (list.empty()) {
        fail("no camera found");
        return std::nullopt;
    }
    const std::string &sel = selector.text;
    if (all_digits(sel)) {
        const auto index = parse_number(sel, UINT32_MAX);
        if (index && *index < list.size())
            return open_listed(list[*index]);
    }
    if (const auto bus_port = parse_bus_port(sel)) {
        for (const tarvo_dev_t &d : list) {
            if (d.bus == bus_port->first && d.port == bus_port->second)
                return open_listed(d);
        }
        fail("no camera at bus %03u port %03u (see tarvo list)", bus_port->first, bus_port->second);
        return std::nullopt;
    }
    // An ident: the camera tells it when opened.
    for (const tarvo_dev_t &d : list) {
        std::unique_ptr<tarvo_dev_t, Closer> dev(new tarvo_dev_t(d));
        if (tarvo_dev_open(dev.get()) == nullptr)
            delete dev.release();  // not open: nothing to close
        else if (sel == dev->ident)
            return Camera(std::move(dev));
    }
    if (all_digits(sel))
        fail("no camera with index or ident %s (%zu camera(s) found)", sel.c_str(), list.size());
    else
        fail("no camera with ident %s (tarvo list --ident shows them)", sel.c_str());
    return std::nullopt;
}

int with_camera(const CameraSelector &selector, const std::function<int(tarvo_dev_t *)> &op) {
    const std::optional<Camera> camera = Camera::open_selected(selector);
    return camera ? op(camera->get()) : kFailed;
}

namespace {

constexpr uint8_t kParamFrameRate = 12;
constexpr uint8_t kParamIntegrationTime = 13;
constexpr int kSensorAddress = 32;
constexpr uint16_t kAutoExposureTarget = 20;  // per mille of samples out of range

bool set_param(tarvo_dev_t *dev, uint8_t id, uint32_t value, uint8_t bytes) {
    tarvo_param_item_t item{};
    item.param_id = id;
    item.param_val_len = bytes;
    for (uint8_t i = 0; i < bytes; ++i)
        item.param_val[i] = static_cast<uint8_t>(value >> (8 * i));
    return tarvo_param_batch_set(dev, &item, 1);
}

// The index of `khz` in the sensor's frequency table, or why not.
std::optional<int> modulation_index(unsigned khz) {
    const uint16_t *table = configGetModulationFrequencies();
    const int count = configGetModFreqCount();
    std::string known;
    for (int i = 0; i < count; ++i) {
        if (table[i] == khz)
            return i;
        known += (i > 0 ? ", " : "") + std::to_string(table[i]);
    }
    fail("modulation frequency %u kHz is not one of the sensor's: %s", khz, known.c_str());
    return std::nullopt;
}

bool set_filter(tarvo_dev_t *dev, int id, const void *arg, int size, const char *what) {
    if (tarvo_filter_enable(dev, id, arg, size) == 1)
        return true;
    fail("the driver refused %s", what);
    return false;
}

}  // namespace

bool apply_capture_settings(tarvo_dev_t *dev, const CaptureSettings &s) {
    // The frequency first: changing it programs the integration times again.
    if (s.modulation_khz) {
        const std::optional<int> index = modulation_index(*s.modulation_khz);
        if (!index)
            return false;
        if (configSetModulationFrequency(*index, kSensorAddress) != 0) {
            fail("the camera refused the modulation frequency %u kHz", *s.modulation_khz);
            return false;
        }
    }
    if (s.integration_time_us) {
        if (!set_param(dev, kParamIntegrationTime, *s.integration_time_us, 2)) {
            fail("the camera refused the integration time %u us", *s.integration_time_us);
            return false;
        }
        // The pipeline sends its stored times again (temperature readings, frequency changes):
        // both must hold the new one or the camera goes back to the old.
        configSetIntegrationTime2D(static_cast<int>(*s.integration_time_us));
        configSetIntegrationTime3D(static_cast<int>(*s.integration_time_us));
    }
    if (s.frame_rate && !set_param(dev, kParamFrameRate, *s.frame_rate, 4)) {
        fail("the camera refused the frame rate %u fps", *s.frame_rate);
        return false;
    }
    if (s.min_amplitude) {
        const int32_t amp = static_cast<int32_t>(*s.min_amplitude);
        if (amp == 0)
            tarvo_filter_disable(dev, TARVO_FILTER_MIN_AMPLITUDE);  // off already is fine
        else if (!set_filter(dev, TARVO_FILTER_MIN_AMPLITUDE, &amp, 4, "the minimum amplitude"))
            return false;
    }
    if (s.hdr && !set_filter(dev, TARVO_FILTER_HDR, nullptr, 0, "high dynamic range"))
        return false;
    if (s.undistort && !set_filter(dev, TARVO_FILTER_UNDISTORT, nullptr, 0, "undistortion"))
        return false;
    return !s.auto_exposure || set_filter(dev, TARVO_FILTER_AUTO_EXPOSURE, &kAutoExposureTarget, 2,
                                          "automatic exposure");
}

int with_camera(const CameraSelector &selector, const CaptureSettings &settings,
                const std::function<int(tarvo_dev_t *)> &op) {
    return with_camera(selector, [&](tarvo_dev_t *dev) {
        return apply_capture_settings(dev, settings) ? op(dev) : kFailed;
    });
}

void add_capture_options(CLI::App *cmd, CaptureSettings &settings) {
    const char *group = "Camera settings (applied after the driver's own at open)";
    cmd->add_option("--integration-time", settings.integration_time_us,
                    "integration time in microseconds, 1 to 4000")
        ->check(CLI::Range(1u, 4000u))
        ->option_text("US")
        ->group(group);
    cmd->add_option("--frame-rate", settings.frame_rate, "frames per second, 1 to 120")
        ->check(CLI::Range(1u, 120u))
        ->option_text("FPS")
        ->group(group);
    cmd->add_option("--modulation-frequency", settings.modulation_khz,
                    "modulation frequency in kHz, one of the sensor's (12000 at 96 MHz clock: "
                    "36000 24000 12000 6000 3000 1500 750)")
        ->option_text("KHZ")
        ->group(group);
    cmd->add_option("--min-amplitude", settings.min_amplitude,
                    "pixels with a lower amplitude are invalid; 0 turns the limit off")
        ->check(CLI::Range(0u, 65535u))
        ->option_text("N")
        ->group(group);
    cmd->add_flag("--hdr", settings.hdr, "row-pair high dynamic range")->group(group);
    cmd->add_flag("--auto-exposure", settings.auto_exposure,
                  "adjust the integration time to the scene")
        ->group(group);
    cmd->add_flag("--undistort", settings.undistort, "correct the lens distortion")->group(group);
}

std::optional<uint64_t> parse_number(std::string_view text, uint64_t max) {
    const std::string s(text);
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ')
        return std::nullopt;
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v > max)
        return std::nullopt;
    return v;
}

CLI::Option *add_range_option(CLI::App *cmd, std::vector<float> &range) {
    CLI::Option *option =
        cmd->add_option("--range", range,
                        "colour range in metres, red end then blue end (default 0 4)")
            ->expected(2)
            ->check(CLI::NonNegativeNumber);
    // Both values are known only once the command line is parsed.
    cmd->parse_complete_callback([option, &range] {
        if (option->count() > 0 && !(range[0] < range[1]))
            throw CLI::ValidationError("--range", "the near end must be below the far end");
    });
    return option;
}

CLI::Validator extension_check(std::vector<std::string> extensions) {
    std::string names;
    for (const std::string &e : extensions)
        names += (names.empty() ? "" : " or ") + e;
    return CLI::Validator(
        [extensions, names](std::string &path) -> std::string {
            for (const std::string &e : extensions)
                if (path.size() > e.size() &&
                    path.compare(path.size() - e.size(), e.size(), e) == 0)
                    return {};
            return "'" + path + "' must end in " + names;
        },
        "PATH");
}

CLI::Validator number_check(uint64_t max, uint64_t min) {
    return CLI::Validator(
        [max, min](std::string &text) -> std::string {
            const std::optional<uint64_t> v = parse_number(text, max);
            if (v && *v >= min)
                return {};
            return "'" + text + "' is not a number from " + std::to_string(min) + " to " +
                   std::to_string(max);
        },
        "NUMBER");
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
                    out += esc;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

CleanStdout::CleanStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0)
        return;
    std::FILE *f = fdopen(saved_, "w");
    if (f == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (f != nullptr)
            std::fclose(f);
        else
            close(saved_);
        saved_ = -1;
        return;
    }
    out_ = f;
}

CleanStdout::~CleanStdout() {
    if (saved_ < 0)
        return;
    std::fflush(stdout);
    std::fflush(out_);
    dup2(fileno(out_), STDOUT_FILENO);
    std::fclose(out_);
}

ProgressLine::ProgressLine() : tty_(isatty(STDERR_FILENO) == 1) {}

ProgressLine::~ProgressLine() {
    clear();
}

void ProgressLine::show(const char *fmt, ...) {
    if (!tty_)
        return;
    std::fputs("\r\033[K", stderr);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fflush(stderr);
    dirty_ = true;
}

void ProgressLine::clear() {
    if (!dirty_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    dirty_ = false;
}

std::string progress_bar(uint64_t done, uint64_t total, int width) {
    const uint64_t shown = total == 0 ? 0 : std::min(done, total);
    const int filled = total == 0 ? 0 : static_cast<int>(shown * width / total);
    const int percent = total == 0 ? 0 : static_cast<int>(shown * 100 / total);
    std::string bar = "[";
    bar.append(filled, '=');
    if (filled < width) {
        bar += '>';
        bar.append(width - filled - 1, ' ');
    }
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %3d%%", percent);
    return bar + tail;
}

namespace {

// The error callback has no user pointer, so the count is the process's.
std::atomic<uint32_t> g_discarded{0};

bool on_capture_error(tarvo_dev_t *, int err, uint32_t arg) {
    if (err == TARVO_ERR_CAP_FRAME_DISCARD)
        g_discarded = arg;  // the parser's running total
    return true;
}

}  // namespace

bool start_capture(tarvo_dev_t *dev, uint32_t buffer_frames) {
    tarvo_cap_set_callback_on_error(dev, on_capture_error);
    return tarvo_cap_set_frame_buffer(dev, nullptr, buffer_frames * TARVO_CAP_FRAME_UNIT) &&
           tarvo_cap_start(dev);
}

uint32_t discarded_frames() {
    return g_discarded;
}

void reset_discarded_frames() {
    g_discarded = 0;
}

}  // namespace tarvo::tool

namespace tarvo::tool {

unsigned firmware_version(const tarvo_dev_t *dev) {
    return dev->version[2] | dev->version[3] << 8;
}

void print_identification(const tarvo_dev_t *dev) {
    const tarvo_drv_t *drv = tarvo_dev_get_drv(const_cast<tarvo_dev_t *>(dev));
    std::printf("camera at bus %03u port %03u: product %s, ident %s, firmware %u, driver %s\n",
                dev->bus, dev->port, dev->product, dev->ident, firmware_version(dev),
                drv != nullptr ? drv->name : "none");
}

}  // namespace tarvo::tool
