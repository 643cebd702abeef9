// tarvo: the command-line tool of libtarvo.
#include <tarvo/tarvo.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage(const char *program) {
    std::printf(
        "usage: %s [--path PREFIX] [--log FILE] COMMAND\n"
        "commands:\n"
        "  demo   start the library, configure the path prefix and show its log\n",
        program);
    return 2;
}

int run_demo(const char *prefix) {
    zr_log_enable(0, 1, nullptr);  // show the library's own lines on the console
    if (tarvo_path_cfg(prefix) != 0) {
        std::fprintf(stderr, "cannot create path prefix %s\n", prefix);
        return 1;
    }
    std::printf("path prefix: %s\n", tarvo_path_get());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *prefix = "tarvo-data/";
    const char *log_file = nullptr;
    const char *command = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--path") == 0 && i + 1 < argc) {
            prefix = argv[++i];
        } else if (std::strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            log_file = argv[++i];
        } else if (argv[i][0] == '-') {
            return usage(argv[0]);
        } else {
            command = argv[i];
        }
    }
    if (command == nullptr)
        return usage(argv[0]);
    tarvo_init(log_file);
    int result = 2;
    if (std::strcmp(command, "demo") == 0) {
        result = run_demo(prefix);
    } else {
        usage(argv[0]);
    }
    tarvo_uninit();
    return result;
}
