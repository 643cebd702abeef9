// tarvo: the command-line tool of libtarvo.
#include <tarvo/tarvo.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    const char *prefix = "tarvo-data/";
    const char *log_file = nullptr;
    const char *output = nullptr;
    unsigned frames = 30;
    int verbose = 0;
};

int usage(const char *program) {
    std::printf(
        "usage: %s [options] COMMAND\n"
        "commands:\n"
        "  list      list the cameras on the bus\n"
        "  info      open the first camera and show its identification\n"
        "  capture   capture frames from the first camera (see -n, -o)\n"
        "  demo      list, show the first camera and capture from it\n"
        "options:\n"
        "  -n N          frames to capture (default 30)\n"
        "  -o FILE       write the captured raw frames to FILE\n"
        "  --path DIR    path prefix for the library's files (default tarvo-data/)\n"
        "  --log FILE    log file (default tarvo_YYYYMMDD.log)\n"
        "  -v            show the library's debug lines on the console\n",
        program);
    return 2;
}

int list_cameras() {
    tarvo_dev_t list[8];
    const int n = tarvo_dev_list(list, 8);
    std::printf("%d camera(s)\n", n);
    for (int i = 0; i < n; ++i) {
        std::printf("  [%d] bus %03u port %03u address %03u speed %u\n", i, list[i].bus,
                    list[i].port, list[i].address, list[i].speed);
    }
    return 0;
}

void print_identification(const tarvo_dev_t *dev) {
    const unsigned firmware = dev->version[2] | dev->version[3] << 8;
    const tarvo_drv_t *drv = tarvo_dev_get_drv(const_cast<tarvo_dev_t *>(dev));
    std::printf("camera at bus %03u port %03u: product %s, ident %s, firmware %u, driver %s\n",
                dev->bus, dev->port, dev->product, dev->ident, firmware,
                drv != nullptr ? drv->name : "none");
}

int show_info() {
    tarvo_dev_t *dev = tarvo_dev_open(nullptr);
    if (dev == nullptr) {
        std::fprintf(stderr, "no camera could be opened\n");
        return 1;
    }
    print_identification(dev);
    tarvo_dev_close(dev);
    return 0;
}

int capture_frames(tarvo_dev_t *dev, const Options &opt) {
    constexpr uint32_t kBufferFrames = 10;
    if (!tarvo_cap_set_frame_buffer(dev, nullptr, kBufferFrames * TARVO_CAP_FRAME_UNIT) ||
        !tarvo_cap_start(dev)) {
        std::fprintf(stderr, "capture did not start\n");
        return 1;
    }
    std::FILE *out = opt.output != nullptr ? std::fopen(opt.output, "wb") : nullptr;
    if (opt.output != nullptr && out == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", opt.output);
        tarvo_cap_stop(dev);
        return 1;
    }
    std::vector<uint8_t> frame(4 * TARVO_CAP_FRAME_UNIT);
    const auto begin = std::chrono::steady_clock::now();
    unsigned got = 0;
    int result = 0;
    while (got < opt.frames) {
        tarvo_frame_info_t info{};
        const int n =
            tarvo_cap_get_frames(dev, 1, frame.data(), static_cast<uint32_t>(frame.size()), &info);
        if (n < 0) {
            std::fprintf(stderr, "capture failed: %s\n", tarvo_error_name(n));
            result = 1;
            break;
        }
        if (n == 0) {
            std::fprintf(stderr, "no frame before the time-out\n");
            result = 1;
            break;
        }
        ++got;
        if (out != nullptr)
            std::fwrite(frame.data(), 1, info.frame_size, out);
        if (got == 1 || got == opt.frames) {
            std::printf("frame %u: index %u, %u bytes, %ux%u, format %u\n", got, info.frame_idx,
                        info.frame_size, info.width, info.height, info.frame_format);
        }
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    tarvo_cap_stop(dev);
    if (out != nullptr)
        std::fclose(out);
    std::printf("captured %u frame(s) in %.2f s (%.1f fps)\n", got, secs,
                secs > 0 ? got / secs : 0.0);
    return result;
}

int capture(const Options &opt) {
    tarvo_dev_t *dev = tarvo_dev_open(nullptr);
    if (dev == nullptr) {
        std::fprintf(stderr, "no camera could be opened\n");
        return 1;
    }
    print_identification(dev);
    const int result = capture_frames(dev, opt);
    tarvo_dev_close(dev);
    return result;
}

bool parse(int argc, char **argv, Options &opt, const char *&command) {
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--path") == 0 && has_value) {
            opt.prefix = argv[++i];
        } else if (std::strcmp(argv[i], "--log") == 0 && has_value) {
            opt.log_file = argv[++i];
        } else if (std::strcmp(argv[i], "-o") == 0 && has_value) {
            opt.output = argv[++i];
        } else if (std::strcmp(argv[i], "-n") == 0 && has_value) {
            opt.frames = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "-v") == 0) {
            opt.verbose = 1;
        } else if (argv[i][0] == '-' || command != nullptr) {
            return false;
        } else {
            command = argv[i];
        }
    }
    return command != nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    const char *command = nullptr;
    if (!parse(argc, argv, opt, command))
        return usage(argv[0]);
    tarvo_init(opt.log_file);
    if (opt.verbose)
        zr_log_enable(0, 1, nullptr);
    if (tarvo_path_cfg(opt.prefix) != 0) {
        std::fprintf(stderr, "cannot create path prefix %s\n", opt.prefix);
    }
    int result = 2;
    if (std::strcmp(command, "list") == 0) {
        result = list_cameras();
    } else if (std::strcmp(command, "info") == 0) {
        result = show_info();
    } else if (std::strcmp(command, "capture") == 0) {
        result = capture(opt);
    } else if (std::strcmp(command, "demo") == 0) {
        result = list_cameras();
        if (result == 0)
            result = capture(opt);
    } else {
        usage(argv[0]);
    }
    tarvo_uninit();
    return result;
}
