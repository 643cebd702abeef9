// tarvo firmware upgrade, tarvo data write and tarvo data read: images to and from the camera's
// flash, with a progress bar on a terminal.
#include <sys/stat.h>

#include <memory>

#include "commands.h"

namespace tarvo::tool {
namespace {

struct TransferOptions {
    std::string type;
    std::string version;
    std::string file;
    CameraSelector camera;
};

uint8_t type_of(const TransferOptions &opt) {
    return static_cast<uint8_t>(*parse_number(opt.type, 0xFF));
}
uint16_t version_of(const TransferOptions &opt) {
    return static_cast<uint16_t>(*parse_number(opt.version, 0xFFFF));
}

void show_progress(uint32_t done, uint32_t total, void *line) {
    static_cast<ProgressLine *>(line)->show("%s %u/%u bytes", progress_bar(done, total).c_str(),
                                            done, total);
}

// Runs `op` with the progress bar fed by the library's progress reports.
int with_progress(const std::function<int()> &op) {
    ProgressLine line;
    if (line.shown())
        tarvo_transfer_set_progress_cb(show_progress, &line);
    const int result = op();
    tarvo_transfer_set_progress_cb(nullptr, nullptr);
    line.clear();
    return result;
}

// The file to send, checked here so that the user learns what is wrong with it.
std::optional<uint64_t> image_size(const std::string &file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail("cannot read %s", file.c_str());
        return std::nullopt;
    }
    if (st.st_size == 0) {
        fail("%s is empty", file.c_str());
        return std::nullopt;
    }
    return static_cast<uint64_t>(st.st_size);
}

// `upgrade`: the firmware entry point; otherwise the data one. Both run the same exchange.
int send_image(const TransferOptions &opt, bool upgrade) {
    const std::optional<uint64_t> size = image_size(opt.file);
    if (!size)
        return kFailed;
    const uint8_t type = type_of(opt);
    const uint16_t version = version_of(opt);
    const char *what = upgrade ? "firmware upgrade" : "data write";
    return with_camera(opt.camera, [&](tarvo_dev_t *dev) {
        const int r = with_progress([&] {
            return upgrade ? tarvo_firmware_upgrade(dev, type, version, opt.file.c_str())
                           : tarvo_data_download(dev, opt.file.c_str(), type, version, 0);
        });
        if (r != 1) {
            return fail(
                "%s of %s failed (the camera may hold a version that is not older than "
                "%u; the log file tells more)",
                what, opt.file.c_str(), version);
        }
        std::printf("%s: sent %s (%llu bytes) as type %u version %u\n", what, opt.file.c_str(),
                    static_cast<unsigned long long>(*size), type, version);
        return kDone;
    });
}

int read_image(const TransferOptions &opt) {
    const uint8_t type = type_of(opt);
    return with_camera(opt.camera, [&](tarvo_dev_t *dev) {
        const int r = with_progress([&] { return tarvo_data_upload(dev, type, opt.file.c_str()); });
        if (r != 1) {
            return fail(
                "data read of type %u failed (no valid data stored, or %s cannot be "
                "written; the log file tells more)",
                type, opt.file.c_str());
        }
        struct stat st {};
        stat(opt.file.c_str(), &st);
        std::printf("data read: type %u into %s (%lld bytes)\n", type, opt.file.c_str(),
                    static_cast<long long>(st.st_size));
        return kDone;
    });
}

// What a transfer of each type does after it completes is fixed; what the type holds is the
// camera's.
constexpr const char *kSendTypeHelp =
    "image type, 0 to 255: after 0 and 1 (firmware) the camera restarts and the command waits "
    "20 s; after 2 and 3 it waits 7 s (do not unplug); 4 and above return at once";
constexpr const char *kReadTypeHelp =
    "data type to read, 0 to 255 (as written with `data write`); the camera sends what it "
    "stores under that type and keeps running";

void add_type(CLI::App *cmd, TransferOptions &opt, const char *help) {
    cmd->add_option("TYPE", opt.type, help)->required()->check(number_check(0xFF));
}

void add_version(CLI::App *cmd, TransferOptions &opt) {
    cmd->add_option("VERSION", opt.version,
                    "image version, 0 to 65535; must be newer than the camera's")
        ->required()
        ->check(number_check(0xFFFF));
}

}  // namespace

void add_transfer_commands(Tool &tool) {
    auto opt = std::make_shared<TransferOptions>();
    CLI::App *firmware = tool.app.add_subcommand("firmware", "the camera's firmware");
    firmware->require_subcommand(1);
    CLI::App *upgrade = firmware->add_subcommand("upgrade", "send a firmware image to the camera");
    add_type(upgrade, *opt, kSendTypeHelp);
    add_camera_option(upgrade, opt->camera);
    add_version(upgrade, *opt);
    upgrade->add_option("FILE", opt->file, "the image")->required();
    tool.on_run(upgrade, [opt] { return send_image(*opt, true); });

    CLI::App *data = tool.app.add_subcommand("data", "data images in the camera's flash");
    data->require_subcommand(1);
    CLI::App *write = data->add_subcommand("write", "send a data image to the camera");
    add_type(write, *opt, kSendTypeHelp);
    add_camera_option(write, opt->camera);
    add_version(write, *opt);
    write->add_option("FILE", opt->file, "the image")->required();
    tool.on_run(write, [opt] { return send_image(*opt, false); });

    CLI::App *read = data->add_subcommand("read", "read the stored data of a type into a file");
    add_type(read, *opt, kReadTypeHelp);
    add_camera_option(read, opt->camera);
    read->add_option("FILE", opt->file, "the file to write (replaced only when complete)")
        ->required();
    tool.on_run(read, [opt] { return read_image(*opt); });
}

}  // namespace tarvo::tool
