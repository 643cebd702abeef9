// tarvo: the command-line tool of libtarvo.
#include <unistd.h>

#include <cstdio>

#include "commands.h"
#include "tool.h"

#ifndef TARVO_TOOL_VERSION
#define TARVO_TOOL_VERSION "unknown"
#endif

namespace {

using namespace tarvo::tool;

// Every command, in the order of the help.
constexpr void (*kCommands[])(Tool &) = {
    add_list_command,      add_info_command,       add_capture_commands,
    add_image_commands,    add_param_command,      add_reg_command,
    add_transfer_commands, add_pointcloud_command, add_view_command, add_record_command,
#if TARVO_TOOL_DDS
    add_publish_command,   add_subscribe_command,
#endif
};

void add_global_options(Tool &tool) {
    CLI::App &app = tool.app;
    app.set_version_flag("--version", "tarvo " TARVO_TOOL_VERSION);
    app.add_option("--path", tool.globals.prefix,
                   "path prefix for the library's files (default tarvo-data/)");
    app.add_option("--log", tool.globals.log_file, "log file (default tarvo_YYYYMMDD.log)");
    app.add_flag("-v,--verbose", tool.globals.verbose,
                 "show the library's debug lines on the console");
    // Global options may also follow the command.
    app.fallthrough();
    app.require_subcommand(1);
}

// The most specific command given, for its usage after an error.
const CLI::App *innermost_command(const CLI::App &app) {
    const CLI::App *at = &app;
    for (;;) {
        const auto given = at->get_subcommands();
        if (given.empty())
            return at;
        at = given.front();
    }
}

int usage_error(const Tool &tool, const CLI::ParseError &e) {
    std::fprintf(stderr, "tarvo: %s\n", e.what());
    std::fputs(innermost_command(tool.app)->help().c_str(), stderr);
    return kUsage;
}

}  // namespace

int main(int argc, char **argv) {
    Tool tool;
    add_global_options(tool);
    for (const auto add : kCommands)
        add(tool);
    try {
        tool.app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        tool.app.exit(e);  // --help or --version
        return kDone;
    } catch (const CLI::ParseError &e) {
        return usage_error(tool, e);
    }
    if (!tool.action) {
        std::fputs(tool.app.help().c_str(), stderr);
        return kUsage;
    }

    tarvo_init(tool.globals.log_file.empty() ? nullptr : tool.globals.log_file.c_str());
    // The library's lines go to its log file; on the console they would mix with the tool's
    // own output (its failures are one line on standard error), unless asked for.
    zr_log_enable(0, tool.globals.verbose ? 1 : 5, nullptr);
    if (tarvo_path_cfg(tool.globals.prefix.c_str()) != 0)
        std::fprintf(stderr, "tarvo: cannot create path prefix %s\n", tool.globals.prefix.c_str());
    const int result = tool.action();
    tarvo_uninit();
    return result;
}
