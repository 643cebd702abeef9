#include "tool.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <vector>

namespace tarvo::tool {

void Tool::on_run(CLI::App *command, Action run) {
    command->callback([this, run = std::move(run)] { action = run; });
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
    std::unique_ptr<tarvo_dev_t, Closer> dev(new tarvo_dev_t{});
    if (tarvo_dev_list(dev.get(), 1) < 1) {
        delete dev.release();
        fail("no camera found");
        return std::nullopt;
    }
    if (tarvo_dev_open(dev.get()) == nullptr) {
        const unsigned bus = dev->bus, port = dev->port;
        delete dev.release();
        fail_open(bus, port);
        return std::nullopt;
    }
    return Camera(std::move(dev));
}

int with_camera(const std::function<int(tarvo_dev_t *)> &op) {
    const std::optional<Camera> camera = Camera::open_first();
    return camera ? op(camera->get()) : kFailed;
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
