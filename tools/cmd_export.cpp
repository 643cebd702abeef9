// tarvo export FILE.mcap -o OUT: the frames of a recording as files, its raw frames decoded by
// the library with the recording's calibration (or, where they cannot be, the decoded depth it
// holds). OUT.zrd: one frame file of every depth image; OUT a folder: a 16-bit PNG of
// millimetres per frame (depth_NNNNNN.png) and, with --points, a PLY point cloud per frame
// (points_NNNNNN.ply). Ctrl-C or SIGTERM ends it between frames, and what it wrote is removed.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "files/safe_file.h"
#include "ply_file.h"
#include "png_file.h"
#include "stop_signal.h"
#include "decoded_recording.h"

namespace tarvo::tool {
namespace {

namespace rec = tarvo::recording;

struct ExportOptions {
    std::string recording;
    std::string output;
    std::string format = "f32";
    bool points = false;
    uint64_t first = 0;
    std::optional<uint64_t> count;
    std::vector<float> range = {0.0f, 4.0f};  // point colours, metres from red to blue
    bool json = false;
    std::optional<unsigned> min_amplitude;
    bool undistort = false;
    bool recorded_depth = false;
};

// Frame-file save formats by name (see tarvo_frame_save_distance).
const std::map<std::string, int> kFormats = {{"f32", 0}, {"u32", 1}, {"u16", 2}};

bool ends_with(const std::string &s, const std::string &suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string parent_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool is_folder(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Can files be written into `folder`? Empty when so, else why not.
std::string unwritable(const std::string &folder) {
    if (!is_folder(folder))
        return folder + " is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot write into " + folder + ": " + std::strerror(errno);
    return {};
}

// Checked before the recording is read: the frame file's folder, or the output folder (or,
// when it does not exist yet, the folder it is made in).
std::string output_problem(const ExportOptions &opt, bool frame_file) {
    if (frame_file)
        return is_folder(opt.output) ? opt.output + " is a folder"
                                     : unwritable(parent_of(opt.output));
    struct stat st {};
    if (::stat(opt.output.c_str(), &st) == 0)
        return unwritable(opt.output);
    return unwritable(parent_of(opt.output));
}

std::string numbered(const std::string &folder, const char *stem, uint64_t n, const char *ext) {
    char name[64];
    std::snprintf(name, sizeof name, "/%s_%06llu.%s", stem, static_cast<unsigned long long>(n),
                  ext);
    return folder + name;
}

// NaN (no distance) as the library's invalid code, as a live camera's images carry it.
std::vector<float> with_invalid_codes(const std::vector<float> &distance) {
    std::vector<float> out(distance);
    for (float &d : out) {
        if (std::isnan(d))
            d = rec::kInvalidDistanceCode;
    }
    return out;
}

bool write_depth_png(const std::string &path, const rec::RecordedFrame &f, std::string &error) {
    std::vector<uint16_t> mm(f.distance.size());
    for (size_t i = 0; i < mm.size(); ++i)
        mm[i] = depth_millimetres(f.distance[i]);
    files::OutputFile out(path);
    if (!out.open() || !write_png_gray16(out.fd(), mm, f.width, f.height, error)) {
        error = out.error().empty() ? path + ": " + error : out.error();
        return false;
    }
    if (!out.commit()) {
        error = out.error();
        return false;
    }
    return true;
}

// The pixels with a point, coloured by their distance as tarvo pointcloud colours them.
bool write_points_ply(const std::string &path, const rec::RecordedFrame &f,
                      const ExportOptions &opt, std::string &error) {
    std::vector<float> xyzc, distance;
    for (size_t i = 0; i < f.distance.size(); ++i) {
        const float *p = &f.points[3 * i];
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]))
            continue;
        xyzc.insert(xyzc.end(), {p[0], p[1], p[2], 0.0f});
        distance.push_back(f.distance[i]);
    }
    std::vector<uint32_t> colour(distance.size());
    tarvo_cmap_float(reinterpret_cast<uint8_t *>(colour.data()),
                     static_cast<int>(colour.size() * 4), distance.data(),
                     static_cast<int>(distance.size()), 1, opt.range[0], opt.range[1]);
    for (size_t i = 0; i < colour.size(); ++i)
        xyzc[4 * i + 3] = static_cast<float>(colour[i] & 0xFFFFFFu);  // exact in a float
    return write_ply(path, xyzc, error);
}

// What one export run wrote, removed again when it fails.
class Written {
  public:
    void add(std::string path) { paths_.push_back(std::move(path)); }
    void made_folder(std::string folder) { folder_ = std::move(folder); }
    void remove_all() {
        for (const std::string &p : paths_)
            ::unlink(p.c_str());
        if (!folder_.empty())
            ::rmdir(folder_.c_str());
    }
    size_t files() const { return paths_.size(); }

  private:
    std::vector<std::string> paths_;
    std::string folder_;
};

struct Selection {
    uint64_t first = 0, count = 0;
};

// Ctrl-C or SIGTERM came: the caller removes what was written.
int interrupted(ProgressLine *progress = nullptr) {
    if (progress != nullptr)
        progress->clear();
    std::fputs("tarvo: export interrupted; nothing written\n", stderr);
    return kInterrupted;
}

// A failure in the middle of the frames, on a line of its own.
int fail_in(ProgressLine &progress, const std::string &error) {
    progress.clear();
    return fail("%s", error.c_str());
}

int export_to_frame_file(const rec::DecodedRecording &frames, const ExportOptions &opt,
                         const Selection &sel, uint32_t &width, uint32_t &height) {
    files::OutputFile file(opt.output);
    if (!file.open())
        return fail("%s", file.error().c_str());
    ProgressLine progress;
    rec::RecordedFrame f;
    std::string error;
    for (uint64_t i = 0; i < sel.count; ++i) {
        if (stop_requested())
            return interrupted(&progress);
        if (!frames.read(sel.first + i, false, f, error))
            return fail_in(progress, error);
        const std::vector<float> image = with_invalid_codes(f.distance);
        if (tarvo_frame_save_distance(file.fd(), kFormats.at(opt.format), image.data(),
                                      static_cast<int>(image.size()), static_cast<int>(f.width),
                                      static_cast<int>(f.height)) != 1)
            return fail_in(progress, "cannot write " + opt.output);
        width = f.width;
        height = f.height;
        progress.show("frames %s", progress_bar(i + 1, sel.count).c_str());
    }
    if (stop_requested())
        return interrupted(&progress);  // the file is not committed: nothing replaces OUT
    progress.clear();
    return file.commit() ? kDone : fail("%s", file.error().c_str());
}

int export_to_folder(const rec::DecodedRecording &frames, const ExportOptions &opt,
                     const Selection &sel, uint32_t &width, uint32_t &height, Written &written) {
    if (!is_folder(opt.output)) {
        if (::mkdir(opt.output.c_str(), 0777) != 0)
            return fail("cannot create %s: %s", opt.output.c_str(), std::strerror(errno));
        written.made_folder(opt.output);
    }
    ProgressLine progress;
    rec::RecordedFrame f;
    std::string error;
    for (uint64_t i = 0; i < sel.count; ++i) {
        if (stop_requested())
            return interrupted(&progress);
        const uint64_t n = sel.first + i;
        if (!frames.read(n, opt.points, f, error))
            return fail_in(progress, error);
        const std::string png = numbered(opt.output, "depth", n, "png");
        if (!write_depth_png(png, f, error))
            return fail_in(progress, error);
        written.add(png);
        if (opt.points) {
            const std::string ply = numbered(opt.output, "points", n, "ply");
            if (!write_points_ply(ply, f, opt, error))
                return fail_in(progress, error);
            written.add(ply);
        }
        width = f.width;
        height = f.height;
        progress.show("frames %s", progress_bar(i + 1, sel.count).c_str());
    }
    if (stop_requested())
        return interrupted(&progress);
    progress.clear();
    return kDone;
}

void report(const ExportOptions &opt, const rec::DecodedRecording &frames, const Selection &sel,
            uint32_t width, uint32_t height) {
    const char *points = !opt.points            ? ""
                         : frames.decodes_raw() ? " with point clouds"
                         : frames.has_recorded_points()
                             ? " with recorded point clouds"
                             : " with point clouds (rays of the camera info)";
    const char *source =
        frames.decodes_raw() ? "decoded from raw frames" : "read from the recorded depth";
    if (opt.json) {
        std::printf(
            "{\"file\":%s,\"output\":%s,\"first\":%llu,\"frames\":%llu,\"width\":%u,"
            "\"height\":%u,\"points\":%s,\"decoded_from_raw\":%s,\"complete\":%s}\n",
            json_string(opt.recording).c_str(), json_string(opt.output).c_str(),
            static_cast<unsigned long long>(sel.first), static_cast<unsigned long long>(sel.count),
            width, height, opt.points ? "true" : "false", frames.decodes_raw() ? "true" : "false",
            frames.complete() ? "true" : "false");
        return;
    }
    std::printf("%s: %llu depth frame(s) of %ux%u from %s (frames %llu to %llu, %s)%s%s\n",
                opt.output.c_str(), static_cast<unsigned long long>(sel.count), width, height,
                opt.recording.c_str(), static_cast<unsigned long long>(sel.first),
                static_cast<unsigned long long>(sel.first + sel.count - 1), source, points,
                frames.complete() ? "" : "; the recording was cut short");
}

// --min-amplitude and --undistort act on the library's decode of the raw frames.
int apply_decode_settings(const rec::DecodedRecording &frames, const ExportOptions &opt) {
    if (!opt.min_amplitude && !opt.undistort)
        return kDone;
    if (!frames.decodes_raw())
        return fail("%s; --min-amplitude and --undistort need them", frames.raw_problem().c_str());
    CaptureSettings settings;
    settings.min_amplitude = opt.min_amplitude;
    settings.undistort = opt.undistort;
    return apply_capture_settings(frames.device(), settings) ? kDone : kFailed;
}

int run(const ExportOptions &opt) {
    const bool frame_file = ends_with(opt.output, ".zrd");
    if (frame_file && opt.points) {
        std::fprintf(stderr, "tarvo: --points writes PLY files into a folder, not into %s\n",
                     opt.output.c_str());
        return kUsage;
    }
    if (const std::string why = output_problem(opt, frame_file); !why.empty())
        return fail("%s", why.c_str());
    // From here on an interrupt ends the export through its clean-up: the recording's
    // calibration folder and every file written are removed.
    stop_on_signals();
    rec::DecodedRecording frames;
    std::string error;
    if (!frames.open(opt.recording, error, opt.recorded_depth))
        return fail("%s", error.c_str());
    if (stop_requested())
        return interrupted();
    if (const int settings = apply_decode_settings(frames, opt); settings != kDone)
        return settings;
    if (opt.first >= frames.size())
        return fail("%s holds %zu frame(s): --first %llu is past them", opt.recording.c_str(),
                    frames.size(), static_cast<unsigned long long>(opt.first));
    Selection sel{opt.first, frames.size() - opt.first};
    if (opt.count && *opt.count < sel.count)
        sel.count = *opt.count;
    uint32_t width = 0, height = 0;
    Written written;
    const int result = frame_file ? export_to_frame_file(frames, opt, sel, width, height)
                                  : export_to_folder(frames, opt, sel, width, height, written);
    if (result != kDone) {
        written.remove_all();
        return result;
    }
    report(opt, frames, sel, width, height);
    return kDone;
}

}  // namespace

void add_export_command(Tool &tool) {
    auto opt = std::make_shared<ExportOptions>();
    CLI::App *cmd = tool.app.add_subcommand(
        "export",
        "write the depth frames of a recording as files: its raw frames decoded by the library "
        "with the recording's calibration (the recorded depth of `tarvo record --depth` where "
        "they cannot be)");
    cmd->add_option("FILE", opt->recording, "the recording, FILE.mcap")->required();
    cmd->add_option("-o,--output", opt->output,
                    "PATH.zrd: a frame file holding every frame; otherwise a folder (made when "
                    "missing) that receives depth_NNNNNN.png per frame (16-bit millimetres, 0 "
                    "where none)")
        ->required();
    cmd->add_option("--format", opt->format,
                    "frame file samples: f32 (metres, default), u32 or u16 (millimetres)")
        ->check(CLI::IsMember({"f32", "u32", "u16"}));
    cmd->add_flag("--points", opt->points,
                  "also points_NNNNNN.ply per frame, along the library's pixel rays (from "
                  "recorded depth: the recorded point clouds, or the depth along the rays of the "
                  "recorded camera info)");
    cmd->add_option("--first", opt->first, "first frame to export, counted from 0 (default 0)");
    cmd->add_option("--count", opt->count, "frames to export (default: all from --first on)")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
    add_range_option(cmd, opt->range);
    CLI::Option *min_amplitude =
        cmd->add_option("--min-amplitude", opt->min_amplitude,
                        "decode with this minimum amplitude (pixels below it are invalid; 0 turns "
                        "the limit off) instead of the one recorded with")
            ->check(CLI::Range(0u, 65535u))
            ->option_text("N");
    CLI::Option *undistort =
        cmd->add_flag("--undistort", opt->undistort, "decode with the lens distortion corrected");
    cmd->add_flag("--recorded-depth", opt->recorded_depth,
                  "read the depth the recording holds (tarvo record --depth or --points) instead "
                  "of decoding its raw frames")
        ->excludes(min_amplitude)
        ->excludes(undistort);
    cmd->add_flag("--json", opt->json, "print the summary as one JSON object");
    tool.on_run(cmd, [opt] { return run(*opt); });
}

}  // namespace tarvo::tool
