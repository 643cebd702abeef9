// tarvo doctor: what stands between the user and a working camera, one line per check.
#include <libusb.h>
#include <tarvo/epc_calib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"

namespace tarvo::tool {
namespace {

constexpr uint8_t kParamFrameRate = 12;
constexpr uint8_t kSpeedHigh = 3;  // libusb_speed: LIBUSB_SPEED_HIGH
constexpr const char *kUdevRule = "/lib/udev/rules.d/60-tarvo.rules";

enum class Status { ok, warn, fail };

struct Check {
    std::string name;
    Status status = Status::ok;
    std::string finding;
    std::string fix;  // empty unless the check did not pass
};

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

Check passed(std::string name, std::string finding) {
    return {std::move(name), Status::ok, std::move(finding), {}};
}
Check warned(std::string name, std::string finding, std::string fix) {
    return {std::move(name), Status::warn, std::move(finding), std::move(fix)};
}
Check failed(std::string name, std::string finding, std::string fix) {
    return {std::move(name), Status::fail, std::move(finding), std::move(fix)};
}

// ---- the camera on the bus ------------------------------------------------------------------

Check camera_present(size_t count) {
    if (count == 0)
        return failed("camera", "no camera 111b:1238 found on the USB bus",
                      "plug the camera in (a USB 2.0 high-speed port, no passive hub), wait a "
                      "few seconds and run tarvo list");
    return passed("camera", format("%zu camera(s) 111b:1238 found", count));
}

const char *speed_name(unsigned speed) {
    switch (speed) {
        case 1:
            return "low speed (1.5 Mbit/s)";
        case 2:
            return "full speed (12 Mbit/s)";
        case 3:
            return "high speed (480 Mbit/s)";
        case 4:
            return "super speed (5 Gbit/s)";
        case 5:
            return "super speed plus (10 Gbit/s)";
        default:
            return "an unknown speed";
    }
}

Check usb_speed(const tarvo_dev_t &dev) {
    if (dev.speed >= kSpeedHigh)
        return passed("usb-speed", format("linked at %s", speed_name(dev.speed)));
    return failed("usb-speed",
                  format("linked at %s, too slow for depth frames (high speed needed)",
                         speed_name(dev.speed)),
                  "plug the camera straight into a USB 2.0 (or faster) port; a USB 1.1 hub, "
                  "a long or worn cable or a charge-only cable drop the link to full speed");
}

std::string device_node(const tarvo_dev_t &dev) {
    return format("/dev/bus/usb/%03u/%03u", dev.bus, dev.address);
}

bool node_accessible(const tarvo_dev_t &dev) {
    return access(device_node(dev).c_str(), R_OK | W_OK) == 0;
}

Check node_permission(const tarvo_dev_t &dev) {
    const std::string node = device_node(dev);
    if (node_accessible(dev))
        return passed("permission", node + " is readable and writable");
    const int error = errno;
    return failed("permission", format("%s: %s", node.c_str(), std::strerror(error)),
                  format("install the udev rule %s (it gives the logged-in user and the plugdev "
                         "group access), add yourself to plugdev (sudo adduser $USER plugdev, "
                         "then log in again) and re-plug the camera",
                         kUdevRule));
}

bool udev_rule_installed() {
    std::error_code ec;
    return std::filesystem::exists(kUdevRule, ec) ||
           std::filesystem::exists("/etc/udev/rules.d/60-tarvo.rules", ec);
}

Check udev_rule(const tarvo_dev_t &dev) {
    if (udev_rule_installed())
        return passed("udev-rule", format("%s installed", kUdevRule));
    const std::string fix = format(
        "install the package libtarvo1, which puts the rule at %s, "
        "then re-plug the camera",
        kUdevRule);
    if (node_accessible(dev))
        return warned("udev-rule",
                      format("%s missing; the camera is accessible all the same", kUdevRule), fix);
    return failed("udev-rule", format("%s missing", kUdevRule), fix);
}

// "on" keeps the port awake; "auto" lets the kernel suspend the camera between transfers.
Check autosuspend(const tarvo_dev_t &dev) {
    const std::string attr = format("/sys/bus/usb/devices/%u-%u/power/control", dev.bus, dev.port);
    std::ifstream in(attr);
    std::string value;
    if (!in || !std::getline(in, value))
        return passed("autosuspend", "not applicable (no " + attr + ")");
    if (value == "on")
        return passed("autosuspend", "off (" + attr + " is on)");
    return warned("autosuspend",
                  format("on (%s is %s): the camera may be suspended between transfers",
                         attr.c_str(), value.c_str()),
                  format("echo on | sudo tee %s, or install the udev rule %s, which keeps the "
                         "camera awake",
                         attr.c_str(), kUdevRule));
}

// ---- this machine ---------------------------------------------------------------------------

Check libusb_recent() {
    const struct libusb_version *v = libusb_get_version();
    const std::string text = format("libusb %u.%u.%u", v->major, v->minor, v->micro);
    const bool recent =
        std::array{v->major, v->minor, v->micro} >= std::array<uint16_t, 3>{1, 0, 20};
    if (recent)
        return passed("libusb", text);
    return failed("libusb", text + ", older than 1.0.20",
                  "upgrade libusb-1.0 (on Debian and Ubuntu: sudo apt install libusb-1.0-0)");
}

std::string with_separator(std::string folder) {
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\')
        folder += '/';
    return folder;
}

// Creates and removes a probe file under the prefix.
Check prefix_writable(const std::string &prefix) {
    const std::string probe = with_separator(prefix) + format(".tarvo-doctor-%d", getpid());
    std::FILE *f = std::fopen(probe.c_str(), "wx");
    if (f == nullptr) {
        const int error = errno;
        return failed("path-prefix",
                      format("cannot write under %s: %s", prefix.c_str(), std::strerror(error)),
                      "give your user write access to the folder, or name another with --path");
    }
    std::fclose(f);
    std::remove(probe.c_str());
    return passed("path-prefix", prefix + " is writable");
}

// ---- the open camera ------------------------------------------------------------------------

Check firmware(const tarvo_dev_t *dev) {
    const unsigned version = firmware_version(dev);
    if (version == 0)
        return failed("firmware", "the camera reports no firmware version",
                      "re-plug the camera; if it stays, write its firmware with tarvo firmware "
                      "upgrade");
    return passed("firmware", format("firmware %u (%s)", version, dev->product));
}

// The EPC driver keeps distance calibration files named by wafer and chip id under the prefix;
// the open fetches them from the camera when they are missing.
Check calibration(tarvo_dev_t *dev) {
    const tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    if (drv == nullptr || drv->code == nullptr || drv->code[0] != 'E')
        return passed("calibration",
                      format("not needed by the %s driver", drv != nullptr ? drv->name : "no"));
    std::string found, looked_for;
    for (int mode2 = 0; mode2 < 2; ++mode2) {
        char name[CALIBRATION_NAME_SIZE];
        calibrationGetDistanceImagesName(name, mode2);
        std::string &into = calibrationDataFileCheck(mode2) == 0 ? found : looked_for;
        into += into.empty() ? name : std::string(", ") + name;
    }
    const std::string prefix = dev->path != nullptr ? dev->path : tarvo_path_get();
    if (!found.empty())
        return passed("calibration", format("%s under %s", found.c_str(), prefix.c_str()));
    return failed("calibration",
                  format("no calibration files under %s (looked for %s) and the camera did not "
                         "provide them",
                         prefix.c_str(), looked_for.c_str()),
                  "make the path prefix writable and run tarvo doctor again so that the files are "
                  "fetched from the camera, or copy them into the path prefix");
}

std::optional<uint32_t> read_frame_rate(tarvo_dev_t *dev) {
    tarvo_param_item_t item{};
    item.param_id = kParamFrameRate;
    if (!tarvo_param_batch_get(dev, &item, 1))
        return std::nullopt;
    uint32_t v = 0;
    for (unsigned i = 0; i < 4 && i < item.param_val_len; ++i)
        v |= uint32_t{item.param_val[i]} << (8 * i);
    return v;
}

struct Arrivals {
    unsigned frames = 0;
    double seconds = 0;  // from the first frame to the last
    int error = 0;       // a negative capture code, or 0
};

// Captures for about a second, and at least 10 frames (up to 5 s when they come slowly).
Arrivals watch_frames(tarvo_dev_t *dev) {
    using Clock = std::chrono::steady_clock;
    constexpr unsigned kMinFrames = 10;
    constexpr std::chrono::seconds kWatch{1}, kGiveUp{5};
    std::vector<uint8_t> frame(4 * TARVO_CAP_FRAME_UNIT);
    Arrivals seen;
    const Clock::time_point start = Clock::now();
    Clock::time_point first{};
    for (;;) {
        tarvo_frame_info_t info{};
        const int n =
            tarvo_cap_get_frames(dev, 1, frame.data(), static_cast<uint32_t>(frame.size()), &info);
        if (n <= 0) {
            seen.error = n;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (seen.frames++ == 0)
            first = now;
        seen.seconds = std::chrono::duration<double>(now - first).count();
        const bool enough = seen.frames >= kMinFrames && now - first >= kWatch;
        if (enough || now - start >= kGiveUp)
            break;
    }
    return seen;
}

Check frame_rate(tarvo_dev_t *dev) {
    const std::string fix =
        "plug the camera into a high-speed port of its own, close other "
        "programs that use it, or lower the frame rate (tarvo param set 12)";
    const std::optional<uint32_t> set = read_frame_rate(dev);
    if (!set || *set == 0)
        return failed("frames", "cannot read the frame rate (parameter 12)",
                      "re-plug the camera and run tarvo doctor again");
    if (!start_capture(dev, 8))
        return failed("frames", "the camera did not start capturing", fix);
    const Arrivals seen = watch_frames(dev);
    tarvo_cap_stop(dev);
    tarvo_cap_set_callback_on_error(dev, nullptr);
    if (seen.frames < 2)
        return failed(
            "frames",
            format("%u frame(s) arrived at %u fps set%s%s", seen.frames, *set,
                   seen.error < 0 ? ": " : "", seen.error < 0 ? tarvo_error_name(seen.error) : ""),
            fix);
    const double rate = (seen.frames - 1) / seen.seconds;
    const std::string finding =
        format("%u frames at %.1f fps (set %u fps)", seen.frames, rate, *set);
    if (rate < *set / 2.0)
        return failed("frames", finding + ", below half the set rate", fix);
    return passed("frames", finding);
}

// ---- running and reporting ------------------------------------------------------------------

struct DoctorOptions {
    bool json = false;
    CameraSelector camera;
};

const char *status_word(Status s) {
    return s == Status::ok ? "ok" : s == Status::warn ? "warn" : "FAIL";
}

void print(std::FILE *out, const Check &c, bool json) {
    if (json) {
        std::fprintf(out, "{\"check\":%s,\"status\":\"%s\",\"finding\":%s,\"fix\":%s}\n",
                     json_string(c.name).c_str(),
                     c.status == Status::ok     ? "ok"
                     : c.status == Status::warn ? "warn"
                                                : "fail",
                     json_string(c.finding).c_str(),
                     c.fix.empty() ? "null" : json_string(c.fix).c_str());
        return;
    }
    std::fprintf(out, "%-4s  %-12s %s%s%s\n", status_word(c.status), c.name.c_str(),
                 c.finding.c_str(), c.fix.empty() ? "" : "; fix: ", c.fix.c_str());
}

// The checks of a camera on the bus, whether or not it opens.
void check_bus(const tarvo_dev_t &dev, std::vector<Check> &checks) {
    checks.push_back(usb_speed(dev));
    checks.push_back(node_permission(dev));
    checks.push_back(udev_rule(dev));
    checks.push_back(autosuspend(dev));
}

const char *const kNeedCamera[] = {"firmware", "calibration", "frames"};

int run_doctor(const DoctorOptions &opt) {
    std::optional<CleanStdout> clean;
    if (opt.json)
        clean.emplace();
    std::FILE *out = clean ? clean->out() : stdout;

    std::vector<Check> checks;
    const std::vector<tarvo_dev_t> list = list_cameras();
    checks.push_back(camera_present(list.size()));
    std::optional<Camera> camera;
    if (!list.empty())
        camera = Camera::open_selected(opt.camera);
    if (camera)
        check_bus(*camera->get(), checks);
    else if (!list.empty() && opt.camera.text.empty())
        check_bus(list.front(), checks);
    checks.push_back(libusb_recent());
    if (camera) {
        checks.push_back(firmware(camera->get()));
        checks.push_back(calibration(camera->get()));
    }
    checks.push_back(prefix_writable(tarvo_path_get()));
    if (camera)
        checks.push_back(frame_rate(camera->get()));
    if (!list.empty() && !camera) {
        for (const char *name : kNeedCamera)
            checks.push_back(failed(name, "not checked: the camera did not open",
                                    "mend the failures above and run tarvo doctor again"));
    }

    bool all_pass = true;
    for (const Check &c : checks) {
        print(out, c, opt.json);
        all_pass = all_pass && c.status != Status::fail;
    }
    return all_pass ? kDone : kFailed;
}

}  // namespace

void add_doctor_command(Tool &tool) {
    auto opt = std::make_shared<DoctorOptions>();
    CLI::App *cmd = tool.app.add_subcommand(
        "doctor",
        "check what stands between you and a working camera, with a fix for each failure");
    cmd->add_flag("--json", opt->json, "one JSON object per check and line");
    add_camera_option(cmd, opt->camera);
    tool.on_run(cmd, [opt] { return run_doctor(*opt); });
}

}  // namespace tarvo::tool
