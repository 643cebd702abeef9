#include "api/path.h"

#include <tarvo/init.h>
#include <tarvo/log.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <sys/stat.h>

namespace tarvo {

std::string to_posix_separators(std::string_view path) {
    std::string out(path);
    for (char &c : out) {
        if (c == '\\')
            c = '/';
    }
    return out;
}

std::string path_join(std::string_view prefix, std::string_view name) {
    std::string out = to_posix_separators(prefix);
    if (!out.empty() && out.back() != '/')
        out.push_back('/');
    out += to_posix_separators(name);
    return out;
}

std::string prefixed_path(std::string_view name) {
    return path_join(tarvo_path_get(), name);
}

namespace {

struct CalibrationPlace {
    std::mutex mu;
    bool offline = false;               // guarded by mu
    std::optional<std::string> folder;  // the offline handle's; guarded by mu
};
CalibrationPlace g_calibration_place;

}  // namespace

void set_calibration_folder(std::optional<std::string> folder) {
    std::lock_guard<std::mutex> lock(g_calibration_place.mu);
    g_calibration_place.offline = true;
    g_calibration_place.folder = std::move(folder);
}

void use_prefix_for_calibration() {
    std::lock_guard<std::mutex> lock(g_calibration_place.mu);
    g_calibration_place.offline = false;
    g_calibration_place.folder.reset();
}

std::optional<std::string> calibration_path(std::string_view name) {
    std::lock_guard<std::mutex> lock(g_calibration_place.mu);
    if (!g_calibration_place.offline)
        return prefixed_path(name);
    if (!g_calibration_place.folder)
        return std::nullopt;
    return path_join(*g_calibration_place.folder, name);
}

}  // namespace tarvo

namespace {

constexpr size_t kPrefixSize = 256;
char g_path_prefix[kPrefixSize] = ".\\";

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

bool path_exists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

int make_directory(const char *path) {
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

// Creates every missing level of `dir` from the outermost inward. Intermediate failures are
// ignored; the result is that of the last level.
int create_directory_levels(char (&dir)[kPrefixSize]) {
    size_t len = std::strlen(dir);
    if (len > 0 && is_separator(dir[len - 1]))
        dir[--len] = '\0';
    for (size_t i = 0; i < len; ++i) {
        if (!is_separator(dir[i]))
            continue;
        dir[i] = '\0';
        if (i > 0 && !path_exists(dir))
            make_directory(dir);
        dir[i] = '/';
    }
    return path_exists(dir) ? 0 : make_directory(dir);
}

}  // namespace

void tarvo::reset_path_prefix() {
    std::memset(g_path_prefix, 0, sizeof g_path_prefix);
    std::strcpy(g_path_prefix, ".\\");
}

extern "C" {

TARVO_API int tarvo_path_cfg(const char *path) {
    if (path == nullptr) {
        zr_log(4, "ERR", "[%s] path is NULL\n", "tarvo_path_cfg");
        return -1;
    }
    // At most 255 characters are kept; the rest of the buffer stays zero.
    std::memset(g_path_prefix, 0, kPrefixSize);
    std::memcpy(g_path_prefix, path, strnlen(path, kPrefixSize - 1));
    zr_log(1, "DBG", "[%s] PATH_PREIFX: %s\n", "tarvo_path_cfg", g_path_prefix);
    char dir[kPrefixSize];
    std::memcpy(dir, g_path_prefix, kPrefixSize);
    return create_directory_levels(dir);
}

TARVO_API const char *tarvo_path_get(void) {
    return g_path_prefix;
}

}  // extern "C"
