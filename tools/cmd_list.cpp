// tarvo list: the cameras on the bus.
#include <array>
#include <memory>
#include <optional>

#include "commands.h"

namespace tarvo::tool {
namespace {

constexpr int kMaxCameras = 16;

struct ListOptions {
    bool json = false;
};

int list_cameras(const ListOptions &opt) {
    std::array<tarvo_dev_t, kMaxCameras> list{};
    std::optional<CleanStdout> clean;
    if (opt.json)
        clean.emplace();
    const int n = tarvo_dev_list(list.data(), kMaxCameras);
    std::FILE *out = clean ? clean->out() : stdout;
    if (!opt.json)
        std::fprintf(out, "%d camera(s)\n", n);
    for (int i = 0; i < n; ++i) {
        const tarvo_dev_t &d = list[i];
        if (opt.json) {
            std::fprintf(out, "{\"index\":%d,\"bus\":%u,\"port\":%u,\"address\":%u,\"speed\":%u}\n",
                         i, d.bus, d.port, d.address, d.speed);
        } else {
            std::fprintf(out, "  [%d] bus %03u port %03u address %03u speed %u\n", i, d.bus, d.port,
                         d.address, d.speed);
        }
    }
    return kDone;
}

}  // namespace

int print_camera_list() {
    return list_cameras(ListOptions{});
}

void add_list_command(Tool &tool) {
    auto opt = std::make_shared<ListOptions>();
    CLI::App *cmd = tool.app.add_subcommand("list", "list the cameras on the bus");
    cmd->add_flag("--json", opt->json, "one JSON object per camera and line");
    tool.on_run(cmd, [opt] { return list_cameras(*opt); });
}

}  // namespace tarvo::tool
