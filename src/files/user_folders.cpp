#include "files/user_folders.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace tarvo::files {
namespace {

// `base_variable`'s folder (an absolute path) or ~/`fallback`, with "tarvo/" in it.
std::string user_folder(const char *base_variable, const char *fallback) {
    std::filesystem::path base;
    const char *xdg = std::getenv(base_variable);
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0')
            return {};
        base = std::filesystem::path(home) / fallback;
    }
    const std::filesystem::path folder = base / "tarvo";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return error ? std::string() : folder.string() + "/";
}

}  // namespace

std::string state_folder() {
    return user_folder("XDG_STATE_HOME", ".local/state");
}

std::string cache_folder() {
    return user_folder("XDG_CACHE_HOME", ".cache");
}

std::string dated_log_name() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[32];
    std::strftime(name, sizeof name, "tarvo_%Y%m%d.log", &local);
    return name;
}

}  // namespace tarvo::files
