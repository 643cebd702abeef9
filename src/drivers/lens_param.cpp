#include "drivers/lens_param.h"

#include <tarvo/log.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "api/dev_ctx.h"
#include "api/path.h"
#include "files/safe_file.h"
#include "output/undistort.h"

namespace tarvo {

namespace {

constexpr const char *kLoadTag = "_zr_update_len_param";
constexpr const char *kFileName = "lens_param.txt";
constexpr int kValueLines = 11;
// A value line is a number and perhaps a comment; anything longer is not a lens file.
constexpr size_t kMaxLineLength = 255;

std::mutex g_lens_lock;
zr_lens_param_t g_lens = default_lens_params();  // guarded by g_lens_lock

// The line's first token: up to the first blank, tab or line end.
std::string first_token(const char *line) {
    const char *begin = line + std::strspn(line, " \t");
    return std::string(begin, std::strcspn(begin, " \t\r\n"));
}

std::optional<double> parse_double(const std::string &token) {
    if (token.empty())
        return std::nullopt;
    char *end = nullptr;
    const double v = std::strtod(token.c_str(), &end);
    if (end != token.c_str() + token.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// "%i": decimal, 0x hexadecimal or 0 octal.
std::optional<int32_t> parse_size(const std::string &token) {
    if (token.empty())
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(token.c_str(), &end, 0);
    if (end != token.c_str() + token.size() || errno != 0 || v < kMinLensSide || v > kMaxLensSide)
        return std::nullopt;
    return static_cast<int32_t>(v);
}

// Stores the value of line `index` (0-based) into `lens`; false when it does not convert.
bool store_line(zr_lens_param_t &lens, int index, const std::string &token) {
    if (index >= 9) {
        const std::optional<int32_t> size = parse_size(token);
        if (!size)
            return false;
        (index == 9 ? lens.img_w : lens.img_h) = *size;
        zr_log(1, "DBG", index == 9 ? "[%s] img_w = %d\n" : "[%s] img_h = %d\n", kLoadTag, *size);
        return true;
    }
    const std::optional<double> value = parse_double(token);
    if (!value || ((index == 2 || index == 3) && !(*value > 0)))
        return false;
    static constexpr const char *kFormats[4] = {"[%s] Cx:%3.5f\n", "[%s] Cy:%3.5f\n",
                                                "[%s] Fx:%3.5f\n", "[%s] Fy:%3.5f\n"};
    double *fields[4] = {&lens.Cx, &lens.Cy, &lens.Fx, &lens.Fy};
    if (index < 4) {
        *fields[index] = *value;
        zr_log(1, "DBG", kFormats[index], kLoadTag, *value);
    } else {
        lens.dcoeff[index - 4] = *value;
        zr_log(1, "DBG", "[%s] dcoeff[%d]:%3.5f\n", kLoadTag, index - 4, *value);
    }
    return true;
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

}  // namespace

zr_lens_param_t default_lens_params() {
    zr_lens_param_t lens{};
    lens.Cx = 157.262;
    lens.Cy = 122.083;
    lens.Fx = 210.783;
    lens.Fy = 204.817;
    const double dcoeff[5] = {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954};
    std::memcpy(lens.dcoeff, dcoeff, sizeof dcoeff);
    lens.img_w = 320;
    lens.img_h = 240;
    return lens;
}

zr_lens_param_t lens_params() {
    const std::lock_guard lock(g_lens_lock);
    return g_lens;
}

void set_lens_params(const zr_lens_param_t &lens) {
    const std::lock_guard lock(g_lens_lock);
    g_lens = lens;
}

bool load_lens_params(const std::string &path) {
    const std::unique_ptr<std::FILE, FileCloser> file(
        files::fopen_regular_input(path.c_str()));  // a FIFO of that name must not block
    if (!file) {
        zr_log(1, "DBG", "[%s] %s Open failed, use default param\n", kLoadTag, path.c_str());
        return false;
    }
    zr_lens_param_t lens = lens_params();
    bool all_converted = true;
    int lines = 0;
    char line[kMaxLineLength + 2];  // the line, its line feed and the terminator
    // Lines past the eleventh only decide the result, so one of them is enough.
    while (lines <= kValueLines && std::fgets(line, sizeof line, file.get()) != nullptr) {
        const size_t len = std::strlen(line);
        if (len > kMaxLineLength && line[len - 1] != '\n') {
            zr_log(3, "WRN", "[%s] line %d longer than %zu characters, rest of %s ignored\n",
                   kLoadTag, lines + 1, kMaxLineLength, path.c_str());
            all_converted = false;
            ++lines;
            break;
        }
        if (lines < kValueLines && !store_line(lens, lines, first_token(line))) {
            zr_log(3, "WRN", "[%s] line %d holds no usable value, field kept\n", kLoadTag,
                   lines + 1);
            all_converted = false;
        }
        ++lines;
    }
    set_lens_params(lens);
    if (lines != kValueLines) {
        zr_log(3, "WRN", "[%s] Param number maybe not right\n", kLoadTag);
        return false;
    }
    if (!all_converted)
        return false;
    zr_log(1, "DBG", "[%s] Reload lens param ok\n", kLoadTag);
    return true;
}

std::optional<zr_lens_param_t> scale_lens_params(const zr_lens_param_t &lens, int width, int height,
                                                 const char *tag) {
    if (width <= 0 || height <= 0 || lens.img_w % width != 0 || lens.img_h % height != 0 ||
        lens.img_w <= 0 || lens.img_h <= 0) {
        zr_log(3, "WRN", "[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n",
               tag, lens.img_w, lens.img_h, width, height);
        return std::nullopt;
    }
    const double sx = lens.img_w / width, sy = lens.img_h / height;
    zr_lens_param_t out = lens;
    out.Cx = lens.Cx / sx;
    out.Cy = lens.Cy / sy;
    out.Fx = lens.Fx / sx;
    out.Fy = lens.Fy / sy;
    out.img_w = width;
    out.img_h = height;
    return out;
}

}  // namespace tarvo

extern "C" TARVO_API bool _zr_update_len_param(tarvo_dev_t *dev) {
    if (dev == nullptr) {
        zr_log(4, "ERR", "[%s]  Device handler Is NULL!\r\n", tarvo::kLoadTag);
        return false;
    }
    if (dev->path == nullptr && tarvo::offline_camera(dev) != nullptr) {
        zr_log(3, "WRN", "[%s] offline camera without calibration folder: built-in lens\n",
               tarvo::kLoadTag);
        return false;
    }
    const std::string path = dev->path != nullptr ? tarvo::path_join(dev->path, tarvo::kFileName)
                                                  : tarvo::prefixed_path(tarvo::kFileName);
    return tarvo::load_lens_params(path);
}
