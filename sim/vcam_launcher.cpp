// tarvo-vcam: runs a program with virtual cameras on a virtual USB bus. The bus lives in this
// process; the program runs as a child under umockdev's preload library, so that its unmodified
// libusb finds the cameras instead of the machine's real USB devices.
#include "frames/camera_frames.h"
#include "frames/gray_frames.h"
#include "sensor/epc_sensor.h"
#include "vcam.h"

#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t g_child = 0;

void forward_signal(int sig) {
    if (g_child > 0) {
        kill(g_child, sig);
    }
}

void usage(FILE *out) {
    std::fprintf(out,
                 "Usage: tarvo-vcam [OPTION]... -- COMMAND [ARG]...\n"
                 "Run COMMAND with virtual Tarvo cameras (USB 111b:1238) on a virtual USB bus.\n"
                 "COMMAND sees only the virtual bus; it needs no change and no privileges.\n"
                 "\n"
                 "Options (each may also be given by the environment variable named):\n"
                 "  -n, --count N        number of cameras, 0 to 16 (TARVO_VCAM_COUNT, "
                 "default 1)\n"
                 "  -p, --product STR    product string (TARVO_VCAM_PRODUCT, default "
                 "TV320-E2-1.3)\n"
                 "  -s, --speed CODE     libusb speed code: 2 full, 3 high (TARVO_VCAM_SPEED, "
                 "default 3)\n"
                 "      --chip-id N      chip id in the chip information (TARVO_VCAM_CHIP_ID)\n"
                 "      --wafer-id N     wafer id in the chip information (TARVO_VCAM_WAFER_ID)\n"
                 "      --fw-version N   firmware version in the version block "
                 "(TARVO_VCAM_FW_VERSION)\n"
                 "      --gray-fpn PERCENT  fixed pattern of gray frames: gains within 1 +- "
                 "PERCENT %%,\n"
                 "                       dark offsets within +- 10 x PERCENT counts, 0 to 50 "
                 "(TARVO_VCAM_GRAY_FPN, default 0)\n"
                 "  -h, --help           show this help\n"
                 "\n"
                 "Camera i sits on bus 1, port i+1. While capturing, each camera streams "
                 "320x240 frames\nof four DCS planes at the rate of parameter 12 (30 fps). "
                 "The exit status is COMMAND's (128+N when "
                 "it was killed by signal N).\n");
}

bool parse_number(const char *what, const char *text, unsigned long max, unsigned long &out) {
    errno = 0;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno || !end || end == text || *end || text[0] == '-' || v > max) {
        std::fprintf(stderr, "tarvo-vcam: invalid %s '%s' (0 to %lu)\n", what, text, max);
        return false;
    }
    out = v;
    return true;
}

struct Options {
    unsigned long count = 1;
    tarvo::vcam::CameraConfig cfg;
    unsigned long gray_fpn = 0;
};

bool apply(Options &o, const std::string &name, const char *value) {
    unsigned long v = 0;
    if (name == "count") {
        return parse_number("camera count", value, 16, o.count);
    }
    if (name == "product") {
        if (!*value || std::strlen(value) > 18) {
            std::fprintf(stderr, "tarvo-vcam: product string must have 1 to 18 characters\n");
            return false;
        }
        o.cfg.product = value;
        return true;
    }
    if (name == "speed") {
        if (!parse_number("speed code", value, 4, v) || v < 1) {
            if (v < 1) {
                std::fprintf(stderr, "tarvo-vcam: speed code must be 1 to 4\n");
            }
            return false;
        }
        o.cfg.speed = static_cast<int>(v);
        return true;
    }
    if (name == "gray-fpn") {
        return parse_number("fixed-pattern percentage", value, 50, o.gray_fpn);
    }
    if (!parse_number(name.c_str(), value, 0xFFFF, v)) {
        return false;
    }
    if (name == "chip-id") {
        o.cfg.chip_id = static_cast<uint16_t>(v);
    } else if (name == "wafer-id") {
        o.cfg.wafer_id = static_cast<uint16_t>(v);
    } else {
        o.cfg.fw_version = static_cast<uint16_t>(v);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    // The bus's own uevents resolve sysfs paths through the preload, as the child's do.
    tarvo::vcam::reexec_under_preload(argv);
    Options opts;
    static const struct {
        const char *name;
        const char *env;
    } kEnv[] = {{"count", "TARVO_VCAM_COUNT"},       {"product", "TARVO_VCAM_PRODUCT"},
                {"speed", "TARVO_VCAM_SPEED"},       {"chip-id", "TARVO_VCAM_CHIP_ID"},
                {"wafer-id", "TARVO_VCAM_WAFER_ID"}, {"fw-version", "TARVO_VCAM_FW_VERSION"},
                {"gray-fpn", "TARVO_VCAM_GRAY_FPN"}};
    for (const auto &e : kEnv) {
        if (const char *v = std::getenv(e.env); v && *v) {
            if (!apply(opts, e.name, v)) {
                std::fprintf(stderr, "tarvo-vcam: (from %s)\n", e.env);
                return 2;
            }
        }
    }
    static const option kLong[] = {{"count", required_argument, nullptr, 'n'},
                                   {"product", required_argument, nullptr, 'p'},
                                   {"speed", required_argument, nullptr, 's'},
                                   {"chip-id", required_argument, nullptr, 'c'},
                                   {"wafer-id", required_argument, nullptr, 'w'},
                                   {"fw-version", required_argument, nullptr, 'f'},
                                   {"gray-fpn", required_argument, nullptr, 'g'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int idx = 0;
    for (int c; (c = getopt_long(argc, argv, "+n:p:s:h", kLong, &idx)) != -1;) {
        if (c == 'h') {
            usage(stdout);
            return 0;
        }
        if (c == '?') {
            usage(stderr);
            return 2;
        }
        const char *name = c == 'n'   ? "count"
                           : c == 'p' ? "product"
                           : c == 's' ? "speed"
                           : c == 'c' ? "chip-id"
                           : c == 'w' ? "wafer-id"
                           : c == 'g' ? "gray-fpn"
                                      : "fw-version";
        if (!apply(opts, name, optarg)) {
            return 2;
        }
    }
    if (optind >= argc) {
        std::fprintf(stderr, "tarvo-vcam: no command given\n");
        usage(stderr);
        return 2;
    }

    auto &bus = tarvo::vcam::Bus::get();
    if (!bus.start()) {
        return 2;
    }
    for (unsigned long i = 0; i < opts.count; ++i) {
        auto camera = bus.add_camera(opts.cfg);
        if (!camera) {
            bus.stop();
            return 2;
        }
        auto sensor = tarvo::vcam::install_epc_sensor(*camera);
        // Gray frames in the 2D and two-sample modes, dark while the FLIM flash is skipped.
        auto gray = std::make_shared<tarvo::vcam::GrayFrames>(
            tarvo::vcam::gray_fpn(static_cast<double>(opts.gray_fpn)));
        gray->set_flash_probe([sensor] { return (sensor->reg(0x2F) & 0x02) != 0; });
        camera->set_stream_source(
            tarvo::vcam::make_mode_stream(camera, gray, tarvo::vcam::scene_frames()));
    }

    // The child inherits these.
    const char *old = std::getenv("LD_PRELOAD");
    std::string preload = tarvo::vcam::kPreloadLibrary;
    if (old && *old) {
        preload = preload + ":" + old;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("UMOCKDEV_DIR", bus.root_dir().c_str(), 1);
    const char *asan = std::getenv("ASAN_OPTIONS");
    if (!asan || !std::strstr(asan, "verify_asan_link_order")) {
        std::string a = asan && *asan ? std::string(asan) + ":" : std::string();
        setenv("ASAN_OPTIONS", (a + "verify_asan_link_order=0").c_str(), 1);
    }

    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaction(sig, &sa, nullptr);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("tarvo-vcam: fork");
        bus.stop();
        return 2;
    }
    if (pid == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            signal(sig, SIG_DFL);
        }
        execvp(argv[optind], argv + optind);
        std::fprintf(stderr, "tarvo-vcam: cannot run %s: %s\n", argv[optind], std::strerror(errno));
        _exit(127);
    }
    g_child = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    bus.stop();
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}
