// tarvo list: the cameras on the bus.
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"

namespace tarvo::tool {
namespace {

struct ListOptions {
    bool json = false;
    bool ident = false;
};

// The camera's ident, read by opening it briefly; empty when it cannot be opened.
std::string read_ident(const tarvo_dev_t &listed) {
    tarvo_dev_t dev = listed;
    if (tarvo_dev_open(&dev) == nullptr)
        return {};
    std::string ident = dev.ident;
    tarvo_dev_close(&dev);
    return ident;
}

int list_cameras(const ListOptions &opt) {
    std::optional<CleanStdout> clean;
    if (opt.json)
        clean.emplace();
    const std::vector<tarvo_dev_t> list = tool::list_cameras();
    std::FILE *out = clean ? clean->out() : stdout;
    // JSON: one array, one camera per line, so that the output stays one JSON document with
    // any number of cameras (none gives []).
    std::fputs(opt.json ? "[" : "", out);
    if (!opt.json)
        std::fprintf(out, "%zu camera(s)\n", list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        const tarvo_dev_t &d = list[i];
        const std::optional<std::string> ident =
            opt.ident ? std::optional<std::string>(read_ident(d)) : std::nullopt;
        if (opt.json) {
            std::fprintf(out,
                         "%s{\"index\":%zu,\"bus\":%u,\"port\":%u,\"address\":%u,\"speed\":%u%s%s}",
                         i > 0 ? ",\n" : "", i, d.bus, d.port, d.address, d.speed,
                         ident ? ",\"ident\":" : "",
                         !ident           ? ""
                         : ident->empty() ? "null"
                                          : json_string(*ident).c_str());
        } else {
            std::fprintf(out, "  [%zu] bus %03u port %03u address %03u speed %u%s%s\n", i, d.bus,
                         d.port, d.address, d.speed, ident ? " ident " : "",
                         ident ? (ident->empty() ? "(cannot open)" : ident->c_str()) : "");
        }
    }
    std::fputs(opt.json ? "]\n" : "", out);
    return kDone;
}

}  // namespace

int print_camera_list() {
    return list_cameras(ListOptions{});
}

void add_list_command(Tool &tool) {
    auto opt = std::make_shared<ListOptions>();
    CLI::App *cmd = tool.app.add_subcommand("list", "list the cameras on the bus, by bus and port");
    cmd->add_flag("--json", opt->json, "a JSON array of the cameras, one per line");
    cmd->add_flag("--ident", opt->ident,
                  "also show each camera's ident (opens each camera briefly)");
    tool.on_run(cmd, [opt] { return list_cameras(*opt); });
}

}  // namespace tarvo::tool
