// tarvo-vcam: runs a program with virtual cameras on a virtual USB bus. The bus lives in this
// process; the program runs as a child under umockdev's preload library, so that its unmodified
// libusb finds the cameras instead of the machine's real USB devices.
#include "errors/calibratable_camera.h"
#ifdef TARVO_VCAM_CALIBRATION
#include "calib/camera_calibration.h"
#endif
#include "flash/vcam_flash.h"
#include "frames/camera_frames.h"
#include "frames/gray_frames.h"
#include "sensor/epc_sensor.h"
#include "vcam.h"
#include "vcam_control.h"
#ifdef TARVO_VCAM_REPLAY
#include "replay/replay_camera.h"
#endif

#include <dirent.h>
#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_child = 0;

void forward_signal(int sig) {
    if (g_child > 0) {
        kill(g_child, sig);
    }
}

// Everything the options set; every camera is started from it.
struct LaunchOptions {
    unsigned long count = 1;
    tarvo::vcam::CameraConfig camera;
    std::string flash_dir;
    unsigned long gray_fpn = 0;
    std::string scene = "box";
    double reflectivity = 0.8;
    double ambient = 0.0;
    double noise = 0.0;
    tarvo::vcam::SensorErrorConfig errors;
    bool calibration = true;
    std::string control;             // control socket path
    std::vector<std::string> sends;  // lines for a running tarvo-vcam's control socket
    std::string replay;  // a recording to play back instead of the scene
    bool loop = false;
    double rate = 1.0;
#ifdef TARVO_VCAM_REPLAY
    std::shared_ptr<const tarvo::vcam::ReplayRecording> recording;  // loaded from `replay`
#endif
};

bool parse_number(const char *what, const char *text, unsigned long min, unsigned long max,
                  unsigned long &out) {
    errno = 0;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno || !end || end == text || *end || text[0] == '-' || v < min || v > max) {
        std::fprintf(stderr, "tarvo-vcam: invalid %s '%s' (%lu to %lu)\n", what, text, min, max);
        return false;
    }
    out = v;
    return true;
}

// The same into a narrower field.
template <typename Field>
bool parse_field(const char *what, const char *text, unsigned long min, unsigned long max,
                 Field &out) {
    unsigned long v = 0;
    if (!parse_number(what, text, min, max, v))
        return false;
    out = static_cast<Field>(v);
    return true;
}

bool parse_u16(const char *what, const char *text, uint16_t &out) {
    return parse_field(what, text, 0, 0xFFFF, out);
}

bool parse_real(const char *what, const char *text, double max, double &out) {
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno || !end || end == text || *end || !(v >= 0.0 && v <= max)) {
        std::fprintf(stderr, "tarvo-vcam: invalid %s '%s' (0 to %g)\n", what, text, max);
        return false;
    }
    out = v;
    return true;
}

// One option: its names, its environment variable, its default as the help shows it, and how
// it sets the launch options (false after a message on standard error). `arg` names the value
// in the help; a null `arg` makes a flag, whose setter receives "1".
struct OptionSpec {
    const char *name;
    char short_name;  // 0: long form only
    const char *arg;
    const char *env;
    const char *default_text;
    const char *help;
    bool (*set)(LaunchOptions &, const char *value);
};

const OptionSpec kOptions[] = {
    {"count", 'n', "N", "TARVO_VCAM_COUNT", "1", "number of cameras, 0 to 16",
     [](LaunchOptions &o, const char *v) {
         return parse_number("camera count", v, 0, 16, o.count);
     }},
    {"product", 'p', "STR", "TARVO_VCAM_PRODUCT", "TV320-E2-1.3", "product string (parameter 3)",
     [](LaunchOptions &o, const char *v) {
         if (!*v || std::strlen(v) > 18) {
             std::fprintf(stderr, "tarvo-vcam: product string must have 1 to 18 characters\n");
             return false;
         }
         o.camera.product = v;
         return true;
     }},
    {"speed", 's', "CODE", "TARVO_VCAM_SPEED", "3",
     "libusb speed code: 1 low, 2 full, 3 high, 4 super",
     [](LaunchOptions &o, const char *v) {
         return parse_field("speed code", v, 1, 4, o.camera.speed);
     }},
    {"fps", 0, "N", "TARVO_VCAM_FPS", "30", "frame rate (parameter 12), 1 to 120",
     [](LaunchOptions &o, const char *v) {
         return parse_field("frame rate", v, 1, 120, o.camera.frame_rate);
     }},
    {"chip-id", 0, "N", "TARVO_VCAM_CHIP_ID", "1", "chip id in the chip information (parameter 7)",
     [](LaunchOptions &o, const char *v) { return parse_u16("chip id", v, o.camera.chip_id); }},
    {"wafer-id", 0, "N", "TARVO_VCAM_WAFER_ID", "1",
     "wafer id in the chip information (parameter 7)",
     [](LaunchOptions &o, const char *v) { return parse_u16("wafer id", v, o.camera.wafer_id); }},
    {"fw-version", 0, "N", "TARVO_VCAM_FW_VERSION", "113",
     "firmware version in the version block (parameter 6)",
     [](LaunchOptions &o, const char *v) {
         return parse_u16("firmware version", v, o.camera.fw_version);
     }},
    {"flash-dir", 0, "DIR", "TARVO_VCAM_FLASH_DIR", "empty flash",
     "the flash starts with the images typeN.bin of DIR (data type N, version 0)",
     [](LaunchOptions &o, const char *v) {
         o.flash_dir = v;
         return true;
     }},
    {"scene", 0, "SPEC", "TARVO_VCAM_SCENE", "box",
     "scene: sphere:R, wall:Z, tilted:Z:DEG (metres, degrees) or box",
     [](LaunchOptions &o, const char *v) {
         o.scene = v;
         return true;
     }},
    {"reflectivity", 0, "R", "TARVO_VCAM_REFLECTIVITY", "0.8", "surfaces' reflectivity, 0 to 1",
     [](LaunchOptions &o, const char *v) {
         return parse_real("reflectivity", v, 1.0, o.reflectivity);
     }},
    {"ambient", 0, "A", "TARVO_VCAM_AMBIENT", "0", "ambient light in ADC counts, 0 to 4095",
     [](LaunchOptions &o, const char *v) {
         return parse_real("ambient light", v, 4095.0, o.ambient);
     }},
    {"noise", 0, "S", "TARVO_VCAM_NOISE", "0", "read noise in ADC counts, 0 to 1000",
     [](LaunchOptions &o, const char *v) { return parse_real("noise", v, 1000.0, o.noise); }},
    {"pixel-error", 0, "MM", "TARVO_VCAM_PIXEL_ERROR", "0",
     "standard deviation of the fixed per-pixel distance offsets",
     [](LaunchOptions &o, const char *v) {
         return parse_real("pixel error (mm)", v, 10000.0, o.errors.pixel_error_mm);
     }},
    {"cyclic-error", 0, "MM", "TARVO_VCAM_CYCLIC_ERROR", "0",
     "amplitude of the cyclic distance error over the phase",
     [](LaunchOptions &o, const char *v) {
         return parse_real("cyclic error (mm)", v, 10000.0, o.errors.cyclic_error_mm);
     }},
    {"gray-fpn", 0, "PERCENT", "TARVO_VCAM_GRAY_FPN", "0",
     "gray fixed pattern, 0 to 50: gains 1 +- PERCENT %, offsets +- 10 x PERCENT",
     [](LaunchOptions &o, const char *v) {
         return parse_number("fixed-pattern percentage", v, 0, 50, o.gray_fpn);
     }},
    {"calibration", 0, nullptr, "TARVO_VCAM_CALIBRATION", "on",
     "cameras hold a factory calibration package (parameter 8), which the library uploads",
     [](LaunchOptions &o, const char *v) {
         o.calibration = std::strcmp(v, "0") != 0;
         return true;
     }},
    {"no-calibration", 0, nullptr, "TARVO_VCAM_NO_CALIBRATION", "off",
     "cameras without a factory calibration package (parameter 8 reports none)",
     [](LaunchOptions &o, const char *v) {
         o.calibration = std::strcmp(v, "0") == 0;
         return true;
     }},
    {"control", 0, "PATH", "TARVO_VCAM_CONTROL", "none",
     "control socket: other processes unplug, replug, inject faults (see below)",
     [](LaunchOptions &o, const char *v) {
         o.control = v;
         return true;
     }},
    {"send", 0, "LINE", "TARVO_VCAM_SEND", "none",
     "with --control: send LINE to a running tarvo-vcam's socket, print the reply, exit",
     [](LaunchOptions &o, const char *v) {
         o.sends.push_back(v);
         return true;
     }},
#ifdef TARVO_VCAM_REPLAY
    {"replay", 0, "FILE", "TARVO_VCAM_REPLAY", "none",
     "play the recording FILE.mcap back: its camera, calibration and frames",
     [](LaunchOptions &o, const char *v) {
         o.replay = v;
         return true;
     }},
    {"loop", 0, nullptr, "TARVO_VCAM_LOOP", "off", "with --replay: start over after the last frame",
     [](LaunchOptions &o, const char *v) {
         o.loop = std::strcmp(v, "0") != 0;
         return true;
     }},
    {"rate", 0, "X", "TARVO_VCAM_RATE", "1", "with --replay: X times the recorded pace, to 100",
     [](LaunchOptions &o, const char *v) {
         if (!parse_real("replay rate", v, 100.0, o.rate))
             return false;
         if (o.rate < 0.01) {
             std::fprintf(stderr, "tarvo-vcam: replay rate must be at least 0.01\n");
             return false;
         }
         return true;
     }},
#endif
};

void usage(FILE *out) {
    std::fprintf(out,
                 "Usage: tarvo-vcam [OPTION]... -- COMMAND [ARG]...\n"
                 "Run COMMAND with virtual Tarvo cameras (USB 111b:1238) on a virtual USB bus.\n"
                 "COMMAND sees only the virtual bus; it needs no change and no privileges.\n"
                 "\n"
                 "Options (each may also be given by the environment variable named; an option\n"
                 "overrides its variable):\n");
    for (const OptionSpec &o : kOptions) {
        std::string names = o.short_name ? std::string("  -") + o.short_name + ", " : "      ";
        names += std::string("--") + o.name;
        if (o.arg)
            names += std::string(" ") + o.arg;
        std::fprintf(out, "%-24s %s\n%-24s [%s, default %s]\n", names.c_str(), o.help, "", o.env,
                     o.default_text);
    }
    std::fprintf(out,
                 "%-24s show this help\n"
                 "\n"
                 "Camera i sits on bus 1, port i+1. Every camera has the sensor's register file\n"
                 "(target 1), a flash behind the data-transfer protocol, and while capturing\n"
                 "streams 320x240 frames of four DCS planes of a rendered scene at the rate of\n"
                 "parameter 12. Unless --no-calibration, each holds a factory calibration package\n"
                 "for its chip, which the library uploads when its DRNU files are missing. The\n"
                 "exit status is COMMAND's (128+N when it was killed by signal N), 2 when the\n"
                 "cameras could not be started.\n"
                 "\n"
                 "--control PATH listens on a Unix socket at PATH while COMMAND runs; each line\n"
                 "sent there is answered by one line, \"ok [TEXT]\" or \"error: WHY\":\n"
                 "\n"
                 "%s"
                 "\n"
                 "e.g. tarvo-vcam --control /tmp/vcam.sock --send 'unplug 0' (exit 0 when every\n"
                 "reply was ok, 1 otherwise, 2 when the socket cannot be reached), or\n"
                 "echo 'replug 0' | socat - UNIX-CONNECT:/tmp/vcam.sock\n",
                 "  -h, --help", tarvo::vcam::kControlHelp);
}

// After a bad option value: where to look.
void short_usage() {
    std::fprintf(stderr,
                 "Usage: tarvo-vcam [OPTION]... -- COMMAND [ARG]...\n"
                 "Try 'tarvo-vcam --help' for the options.\n");
}

bool from_environment(LaunchOptions &opts) {
    for (const OptionSpec &o : kOptions) {
        const char *v = std::getenv(o.env);
        if (v == nullptr || *v == '\0')
            continue;
        if (!o.set(opts, o.arg ? v : (std::strcmp(v, "0") == 0 ? "0" : "1"))) {
            std::fprintf(stderr, "tarvo-vcam: (from %s)\n", o.env);
            short_usage();
            return false;
        }
    }
    return true;
}

constexpr int kHelp = 'h';
constexpr int kLongOnly = 256;  // getopt value of kOptions[i] without a short name: 256 + i

// Returns the index of the command in argv, 0 to exit with `status`.
int from_command_line(int argc, char **argv, LaunchOptions &opts, int &status) {
    std::vector<option> longs;
    std::string shorts = "+h";
    for (size_t i = 0; i < std::size(kOptions); ++i) {
        const OptionSpec &o = kOptions[i];
        const int val = o.short_name ? o.short_name : kLongOnly + static_cast<int>(i);
        longs.push_back({o.name, o.arg ? required_argument : no_argument, nullptr, val});
        if (o.short_name)
            shorts += std::string(1, o.short_name) + (o.arg ? ":" : "");
    }
    longs.push_back({"help", no_argument, nullptr, kHelp});
    longs.push_back({nullptr, 0, nullptr, 0});
    for (int c; (c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) != -1;) {
        if (c == kHelp) {
            usage(stdout);
            status = 0;
            return 0;
        }
        const OptionSpec *spec = nullptr;
        for (size_t i = 0; i < std::size(kOptions); ++i) {
            const int val =
                kOptions[i].short_name ? kOptions[i].short_name : kLongOnly + static_cast<int>(i);
            if (c == val)
                spec = &kOptions[i];
        }
        if (spec == nullptr) {
            usage(stderr);
            status = 2;
            return 0;
        }
        if (!spec->set(opts, spec->arg ? optarg : "1")) {
            short_usage();
            status = 2;
            return 0;
        }
    }
    if (optind >= argc && opts.sends.empty()) {
        std::fprintf(stderr, "tarvo-vcam: no command given\n");
        usage(stderr);
        status = 2;
        return 0;
    }
    return optind;
}

using FlashImages = std::map<uint8_t, std::vector<uint8_t>>;

// What every camera sees: the scene through the lens, under the light's model.
struct SceneView {
    tarvo::scene::Camera camera;
    tarvo::scene::Scene scene;
    tarvo::scene::SensorModel model;
};

// The images typeN.bin (N 0 to 255) of `dir`.
bool load_flash_dir(const std::string &dir, FlashImages &images) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        std::fprintf(stderr, "tarvo-vcam: cannot read flash directory %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    bool ok = true;
    while (const dirent *e = readdir(d)) {
        unsigned type = 0;
        int end = 0;
        if (std::sscanf(e->d_name, "type%u.bin%n", &type, &end) != 1 || e->d_name[end] != '\0' ||
            type > 255 || !std::isdigit(e->d_name[4])) {
            continue;
        }
        const std::string path = dir + "/" + e->d_name;
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "tarvo-vcam: cannot read %s\n", path.c_str());
            ok = false;
            break;
        }
        images[static_cast<uint8_t>(type)] = std::move(bytes);
    }
    closedir(d);
    return ok;
}

// The scene stream of camera `index`, through its sensor: clock, delay line, temperatures and
// the distance errors asked for (none by default).
std::shared_ptr<tarvo::vcam::CalibratableCamera> scene_camera(
    const std::shared_ptr<tarvo::vcam::Camera> &camera,
    const std::shared_ptr<tarvo::vcam::EpcSensor> &sensor, const LaunchOptions &opts,
    const SceneView &view, unsigned long index) {
    tarvo::vcam::CalibratableConfig config;
    config.camera = view.camera;
    config.model = view.model;
    config.errors = opts.errors;
    config.errors.seed += static_cast<uint32_t>(index);
    return std::make_shared<tarvo::vcam::CalibratableCamera>(camera, sensor, config, view.scene);
}

#ifdef TARVO_VCAM_CALIBRATION
// The package the camera holds: the DRNU calibration of its chip, measured through its own
// distance errors.
std::vector<uint8_t> factory_package(const LaunchOptions &opts, const SceneView &view,
                                     const tarvo::vcam::CalibratableCamera &camera) {
    if (!opts.calibration)
        return {};
    const tarvo::vcam::SensorErrors errors = camera.stage()->errors();
    return tarvo::vcam::factory_package(
        tarvo::vcam::factory_input(errors, view.camera.width, view.camera.height,
                                   view.model.decode_offset_units),
        opts.camera.chip_id);
}
#endif

void install_flash(tarvo::vcam::Camera &camera, const FlashImages &images) {
    auto flash = std::make_shared<tarvo::vcam::Flash>();
    for (const auto &[type, bytes] : images)
        flash->store(type, 0, bytes);
    camera.set_command_extension(tarvo::vcam::kTypeAction, flash);
}

// A camera with the whole model: sensor registers, flash, the scene stream and the factory
// calibration.
bool add_camera(tarvo::vcam::Bus &bus, const LaunchOptions &opts, const SceneView &view,
                const FlashImages &images, unsigned long index) {
    auto camera = bus.add_camera(opts.camera);
    if (!camera)
        return false;
#ifdef TARVO_VCAM_REPLAY
    if (opts.recording) {
        tarvo::vcam::install_replay(*camera, opts.recording, {opts.loop, opts.rate});
        install_flash(*camera, images);
        return true;
    }
#endif
    auto sensor = tarvo::vcam::install_epc_sensor(*camera);
    // Gray frames in the 2D and two-sample modes, dark while the FLIM flash is skipped.
    auto gray = std::make_shared<tarvo::vcam::GrayFrames>(
        tarvo::vcam::gray_fpn(static_cast<double>(opts.gray_fpn)));
    gray->set_flash_probe([sensor] { return (sensor->reg(0x2F) & 0x02) != 0; });
    const auto scene = scene_camera(camera, sensor, opts, view, index);
    camera->set_stream_source(tarvo::vcam::make_mode_stream(camera, gray, scene->frames()));
    install_flash(*camera, images);
#ifdef TARVO_VCAM_CALIBRATION
    const std::vector<uint8_t> package = factory_package(opts, view, *scene);
    if (!package.empty())
        tarvo::vcam::install_factory_calibration(*camera, package);
    else
        tarvo::vcam::remove_factory_calibration(*camera);
#endif
    return true;
}

#ifdef TARVO_VCAM_REPLAY
// The recording to play back; the cameras take its identity.
bool load_recording(LaunchOptions &opts) {
    auto recording = std::make_shared<tarvo::vcam::ReplayRecording>();
    std::string error;
    if (!tarvo::vcam::load_replay(opts.replay, *recording, error)) {
        std::fprintf(stderr, "tarvo-vcam: %s\n", error.c_str());
        return false;
    }
    recording->camera.speed = opts.camera.speed;
    opts.camera = recording->camera;
    opts.recording = std::move(recording);
    return true;
}
#endif

void export_preload(const tarvo::vcam::Bus &bus) {
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
}

int run_child(char **command) {
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaction(sig, &sa, nullptr);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("tarvo-vcam: fork");
        return 2;
    }
    if (pid == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            signal(sig, SIG_DFL);
        }
        execvp(command[0], command);
        std::fprintf(stderr, "tarvo-vcam: cannot run %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    g_child = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

// The control socket over the cameras started here.
bool start_control(tarvo::vcam::ControlServer &server, tarvo::vcam::Bus &bus,
                   const std::string &path) {
    tarvo::vcam::ControlHooks hooks;
#ifdef TARVO_VCAM_CALIBRATION
    hooks.plant_calibration = [](tarvo::vcam::Camera &camera, std::vector<uint8_t> package) {
        if (package.empty())
            tarvo::vcam::remove_factory_calibration(camera);
        else
            tarvo::vcam::install_factory_calibration(camera, std::move(package));
    };
#endif
    auto cameras = bus.cameras();
    std::string error;
    if (server.start(
            path,
            [cameras, hooks](const std::string &line) {
                return tarvo::vcam::control_command(line, cameras, hooks);
            },
            error)) {
        return true;
    }
    std::fprintf(stderr, "tarvo-vcam: %s\n", error.c_str());
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    // The bus's own uevents resolve sysfs paths through the preload, as the child's do.
    tarvo::vcam::reexec_under_preload(argv);
    LaunchOptions opts;
    if (!from_environment(opts)) {
        return 2;
    }
    int status = 0;
    const int command = from_command_line(argc, argv, opts, status);
    if (command == 0) {
        return status;
    }
    if (!opts.sends.empty()) {
        if (opts.control.empty()) {
            std::fprintf(stderr, "tarvo-vcam: --send needs --control PATH\n");
            short_usage();
            return 2;
        }
        return tarvo::vcam::control_send(opts.control, opts.sends);
    }
    FlashImages images;
    if (!opts.flash_dir.empty() && !load_flash_dir(opts.flash_dir, images)) {
        short_usage();
        return 2;
    }
    SceneView view;
    std::string error;
    if (!tarvo::scene::parse_scene(opts.scene, view.camera, opts.reflectivity, view.scene, error)) {
        std::fprintf(stderr, "tarvo-vcam: %s\n", error.c_str());
        short_usage();
        return 2;
    }
    view.model.ambient = opts.ambient;
    view.model.noise = opts.noise;
#ifdef TARVO_VCAM_REPLAY
    if (!opts.replay.empty() && !load_recording(opts))
        return 2;
#endif

    auto &bus = tarvo::vcam::Bus::get();
    if (!bus.start()) {
        return 2;
    }
    for (unsigned long i = 0; i < opts.count; ++i) {
        if (!add_camera(bus, opts, view, images, i)) {
            bus.stop();
            return 2;
        }
    }
    tarvo::vcam::ControlServer control;
    if (!opts.control.empty() && !start_control(control, bus, opts.control)) {
        bus.stop();
        return 2;
    }
    export_preload(bus);  // the child inherits it
    status = run_child(argv + command);
    control.stop();
    bus.stop();
    return status;
}
