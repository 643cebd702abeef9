// tarvo depth and tarvo gray: distance or gray images from a camera, into a frame file (.zrd,
// every frame) or one PNG, the per-pixel mean of the frames: 16-bit (distances in millimetres,
// gray levels scaled to fill 16 bits unless --raw), or with --color the default colour map's
// colours (8-bit RGB).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "files/safe_file.h"
#include "png_file.h"

namespace tarvo::tool {
namespace {

enum class Kind { distance, gray };

struct ImageOptions {
    unsigned frames = 1;
    std::string output;
    std::string format;
    bool color = false;
    bool raw = false;  // gray PNG: counts as they are, not scaled to fill 16 bits
    CameraSelector camera;
    CaptureSettings settings;
    std::vector<float> range = {0.0f, 4.0f};  // colour range in metres, red end then blue end
};

// Frame-file save formats by name.
const std::map<std::string, int> kDistanceFormats = {{"f32", 0}, {"u32", 1}, {"u16", 2}};
const std::map<std::string, int> kGrayFormats = {{"u16", 2}, {"u8", 3}};

bool ends_with(const std::string &s, const std::string &suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A distance the pixel has (invalid pixels carry 65.3 m and up); any finite gray level.
bool has_value(Kind kind, float v) {
    return kind == Kind::distance ? v > 0.0f && v < 60.0f : std::isfinite(v) && v >= 0.0f;
}

// The per-pixel mean of the valid values of several images; 0 where a pixel had none.
class MeanImage {
  public:
    void add(Kind kind, const std::vector<float> &image) {
        sum_.resize(image.size(), 0.0);
        count_.resize(image.size(), 0);
        for (size_t i = 0; i < image.size(); ++i) {
            if (has_value(kind, image[i])) {
                sum_[i] += image[i];
                ++count_[i];
            }
        }
    }
    std::vector<float> mean() const {
        std::vector<float> out(sum_.size(), 0.0f);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = count_[i] > 0 ? static_cast<float>(sum_[i] / count_[i]) : 0.0f;
        return out;
    }

  private:
    std::vector<double> sum_;
    std::vector<uint32_t> count_;
};

// Gray levels up to the image's largest fill the 16 bits; 1 for an all-dark image or --raw.
float gray_scale(const ImageOptions &opt, const std::vector<float> &image) {
    const float top = image.empty() ? 0.0f : *std::max_element(image.begin(), image.end());
    return opt.raw || !(top > 0.0f) ? 1.0f : 65535.0f / top;
}

// Distances as millimetres (0 where the pixel has none); gray levels times `scale`, clamped.
uint16_t png_value(Kind kind, float v, float scale) {
    if (kind == Kind::distance)
        return depth_millimetres(v);
    if (!has_value(kind, v))
        return 0;
    return static_cast<uint16_t>(std::lround(std::min(v * scale, 65535.0f)));
}

// `scale`: the gray levels' factor (gray_scale), 1 for distances.
bool write_png(int fd, Kind kind, const ImageOptions &opt, const std::vector<float> &image,
               float scale, uint32_t width, uint32_t height, std::string &error) {
    if (!opt.color) {
        std::vector<uint16_t> samples(image.size());
        for (size_t i = 0; i < image.size(); ++i)
            samples[i] = png_value(kind, image[i], scale);
        return write_png_gray16(fd, samples, width, height, error);
    }
    std::vector<uint8_t> rgb(image.size() * 3);
    const int n = tarvo_cmap_float(rgb.data(), static_cast<int>(rgb.size()), image.data(),
                                   static_cast<int>(image.size()), 0, opt.range[0], opt.range[1]);
    if (n != static_cast<int>(image.size()) || image.empty()) {
        error = "the colour map is not available";
        return false;
    }
    return write_png_rgb8(fd, rgb, width, height, error);
}

int convert(tarvo_dev_t *dev, Kind kind, const std::vector<uint8_t> &raw, tarvo_frame_info_t &info,
            std::vector<float> &image) {
    image.assign(size_t{info.width} * info.height, 0.0f);
    const int n = kind == Kind::distance
                      ? tarvo_frame_get_distance(dev, image.data(), static_cast<int>(image.size()),
                                                 raw.data(), info.frame_size, &info)
                      : tarvo_frame_get_gray(dev, image.data(), static_cast<int>(image.size()),
                                             raw.data(), info.frame_size, &info);
    return n == static_cast<int>(image.size()) && n > 0 ? kDone : kFailed;
}

void report(Kind kind, const ImageOptions &opt, bool png, float scale,
            const tarvo_frame_info_t &info) {
    const char *what = kind == Kind::distance ? "distance" : "gray";
    const char *out = opt.output.c_str();
    if (!png) {
        std::printf("%s: %u %s image(s) of %ux%u\n", out, opt.frames, what, info.width,
                    info.height);
        return;
    }
    if (opt.frames > 1)
        std::printf("%s: %u %s frames averaged into one %ux%u image", out, opt.frames, what,
                    info.width, info.height);
    else
        std::printf("%s: 1 %s image of %ux%u", out, what, info.width, info.height);
    if (scale != 1.0f)
        std::printf(" (gray levels x %.4g to fill 16 bits; --raw keeps them)", scale);
    std::printf("\n");
}

int capture_images(tarvo_dev_t *dev, Kind kind, const ImageOptions &opt, int save_format) {
    const bool png = ends_with(opt.output, ".png");
    // Written under a temporary name that takes the target's name only when complete.
    files::OutputFile file(opt.output);
    if (!file.open())
        return fail("%s", file.error().c_str());
    if (!tarvo_cap_set_frame_buffer(dev, nullptr, 10 * TARVO_CAP_FRAME_UNIT) ||
        !tarvo_cap_start(dev)) {
        return fail("capture did not start");
    }
    std::vector<uint8_t> raw(4 * TARVO_CAP_FRAME_UNIT);
    std::vector<float> image;
    MeanImage mean;
    tarvo_frame_info_t info{};
    ProgressLine progress;
    int result = kDone;
    for (unsigned i = 0; i < opt.frames && result == kDone; ++i) {
        const int n =
            tarvo_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info);
        if (n <= 0) {
            result = fail(n < 0 ? "capture failed: %s" : "no frame before the time-out%s",
                          n < 0 ? tarvo_error_name(n) : "");
            break;
        }
        if (convert(dev, kind, raw, info, image) != kDone) {
            result = fail("frame %u could not be converted (format %u)", info.frame_idx,
                          info.frame_format);
            break;
        }
        if (png)
            mean.add(kind, image);
        const int count = static_cast<int>(image.size());
        const int saved = png ? 1
                          : kind == Kind::distance
                              ? tarvo_frame_save_distance(file.fd(), save_format, image.data(),
                                                          count, static_cast<int>(info.width),
                                                          static_cast<int>(info.height))
                              : tarvo_frame_save_gray(file.fd(), save_format, image.data(), count,
                                                      static_cast<int>(info.width),
                                                      static_cast<int>(info.height));
        if (saved != 1)
            result = fail("cannot write %s", opt.output.c_str());
        progress.show("frames %u/%u", i + 1, opt.frames);
    }
    progress.clear();
    tarvo_cap_stop(dev);
    // The gray levels' factor, worked out once for the PNG and the summary.
    float scale = 1.0f;
    if (result == kDone && png) {
        image = mean.mean();
        if (kind == Kind::gray && !opt.color)
            scale = gray_scale(opt, image);
        std::string error;
        if (!write_png(file.fd(), kind, opt, image, scale, info.width, info.height, error))
            result = fail("cannot write %s: %s", opt.output.c_str(), error.c_str());
    }
    if (result == kDone && !file.commit())
        result = fail("%s", file.error().c_str());
    if (result == kDone)
        report(kind, opt, png, scale, info);
    return result;
}

int run(Kind kind, const ImageOptions &opt) {
    const auto &formats = kind == Kind::distance ? kDistanceFormats : kGrayFormats;
    const bool png = ends_with(opt.output, ".png");
    if (!png && !ends_with(opt.output, ".zrd"))
        return fail("%s: the output must end in .zrd (frame file) or .png", opt.output.c_str());
    if (opt.color && !png)
        return fail("--color writes a PNG: the output must end in .png");
    const std::string format = opt.format.empty() ? formats.begin()->first : opt.format;
    const auto it = formats.find(format);
    if (!png && it == formats.end())
        return fail("unknown format %s", format.c_str());
    const int save_format = it != formats.end() ? it->second : 0;
    return with_camera(opt.camera, opt.settings, [&](tarvo_dev_t *dev) {
        return capture_images(dev, kind, opt, save_format);
    });
}

void add_image_command(Tool &tool, Kind kind, const char *name, const char *help,
                       const char *formats) {
    auto opt = std::make_shared<ImageOptions>();
    CLI::App *cmd = tool.app.add_subcommand(name, help);
    cmd->add_option("-n,--frames", opt->frames, "frames to capture (default 1)")
        ->check(CLI::Range(1u, 1000000u));
    cmd->add_option("-o,--output", opt->output,
                    kind == Kind::distance
                        ? "PATH.zrd: a frame file holding every frame; PATH.png: one image, the "
                          "per-pixel mean of the frames (16-bit millimetres, 0 where none; "
                          "colours with --color)"
                        : "PATH.zrd: a frame file holding every frame; PATH.png: one 16-bit "
                          "image, the per-pixel mean of the frames, scaled so its brightest "
                          "pixel is 65535 (--raw keeps the gray levels)")
        ->check(extension_check({".zrd", ".png"}))
        ->required();
    cmd->add_option("--format", opt->format, formats)
        ->check(CLI::IsMember(kind == Kind::distance ? std::vector<std::string>{"f32", "u32", "u16"}
                                                     : std::vector<std::string>{"u16", "u8"}));
    add_camera_option(cmd, opt->camera);
    add_capture_options(cmd, opt->settings);
    if (kind == Kind::distance) {
        cmd->add_flag("--color", opt->color, "PNG in the colour map's colours (8-bit RGB)");
        add_range_option(cmd, opt->range);
    } else {
        cmd->add_flag("--raw", opt->raw, "PNG of the gray levels as they are, not scaled");
    }
    tool.on_run(cmd, [kind, opt] { return run(kind, *opt); });
}

}  // namespace

void add_image_commands(Tool &tool) {
    add_image_command(tool, Kind::distance, "depth",
                      "distance images (metres; PNG in millimetres, 0 where none)",
                      "frame file samples: f32 (metres, default), u32 or u16 (millimetres)");
    add_image_command(tool, Kind::gray, "gray", "gray (amplitude) images",
                      "frame file samples: u16 (default) or u8");
}

}  // namespace tarvo::tool
