// tarvo: the command-line tool of libtarvo.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "commands.h"
#include "files/user_folders.h"
#include "tool.h"

#ifndef TARVO_TOOL_VERSION
#define TARVO_TOOL_VERSION "unknown"
#endif

namespace {

using namespace tarvo::tool;

// Every command, in the order of the help.
constexpr void (*kCommands[])(Tool &) = {
    add_list_command,    add_info_command,      add_capture_commands,  add_image_commands,
    add_param_command,   add_reg_command,       add_transfer_commands, add_pointcloud_command,
    add_view_command,    add_record_command,    add_export_command,    add_doctor_command,
#if TARVO_TOOL_DDS
    add_publish_command, add_subscribe_command,
#endif
};

void add_global_options(Tool &tool) {
    CLI::App &app = tool.app;
    app.set_version_flag("--version", "tarvo " TARVO_TOOL_VERSION);
    app.add_option("--path", tool.globals.prefix,
                   "path prefix for the library's files such as calibration data (default "
                   "$XDG_CACHE_HOME/tarvo/, else ~/.cache/tarvo/)");
    app.add_option("--log", tool.globals.log_file,
                   "log file (default tarvo_YYYYMMDD.log in $XDG_STATE_HOME/tarvo/, else "
                   "~/.local/state/tarvo/)");
    app.add_flag("-v,--verbose", tool.globals.verbose,
                 "show the library's debug lines on the console");
    // Global options may also follow the command.
    app.fallthrough();
    app.require_subcommand(1);
}

// The files the user did not name go to the user's state and cache folders, never into the
// working folder.
void use_user_folders(Globals &globals) {
    if (globals.log_file.empty())
        globals.log_file = state_folder() + tarvo::files::dated_log_name();
    if (globals.prefix.empty()) {
        globals.prefix = cache_folder();
        if (globals.prefix.empty())
            globals.prefix = "tarvo-data/";  // no home folder: as before
    }
}

// The library's console lines, on standard error: standard output is the tool's own.
void log_to_stderr(unsigned, const char *tag, const char *message, void *) {
    if (tag[0] != '\0')
        std::fprintf(stderr, "[%s] ", tag);
    std::fputs(message, stderr);
}

// The usage of the most specific command given, named with its parents ("tarvo reg read").
std::string innermost_usage(const CLI::App &app) {
    const CLI::App *at = &app;
    std::string parents;
    for (;;) {
        const auto given = at->get_subcommands();
        if (given.empty())
            return at->help(parents);
        parents += (parents.empty() ? "" : " ") + at->get_name();
        at = given.front();
    }
}

int usage_error(const Tool &tool, const CLI::ParseError &e) {
    std::fprintf(stderr, "tarvo: %s\n", e.what());
    std::fputs(innermost_usage(tool.app).c_str(), stderr);
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

    use_user_folders(tool.globals);
    tarvo_init(tool.globals.log_file.c_str());
    // The library's lines go to its log file; on the console they would mix with the tool's
    // own output (its failures are one line on standard error), unless asked for.
    tarvo_log_set_handler(log_to_stderr, nullptr);
    zr_log_enable(0, tool.globals.verbose ? 1 : 5, nullptr);
    if (tarvo_path_cfg(tool.globals.prefix.c_str()) != 0)
        std::fprintf(stderr, "tarvo: cannot create path prefix %s\n", tool.globals.prefix.c_str());
    const int result = tool.action();
    tarvo_uninit();
    return result;
}
