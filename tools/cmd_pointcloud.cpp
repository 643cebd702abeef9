// tarvo pointcloud: one frame of the first camera as a coloured point cloud in a PLY file.
#include <memory>
#include <vector>

#include "commands.h"
#include "ply_file.h"

namespace tarvo::tool {
namespace {

struct PointCloudOptions {
    std::string output;
    CameraSelector camera;
    CaptureSettings settings;
    std::vector<float> range = {0.0f, 4.0f};  // metres from the red to the blue end
};

// The distance image of the next frame, or empty after a message.
std::vector<float> next_distance_image(tarvo_dev_t *dev, tarvo_frame_info_t &info) {
    constexpr uint32_t kBufferFrames = 4;
    if (!tarvo_cap_set_frame_buffer(dev, nullptr, kBufferFrames * TARVO_CAP_FRAME_UNIT) ||
        !tarvo_cap_start(dev)) {
        fail("capture did not start");
        return {};
    }
    std::vector<uint8_t> raw(4 * TARVO_CAP_FRAME_UNIT);
    const int got =
        tarvo_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info);
    tarvo_cap_stop(dev);
    if (got != 1) {
        fail("no frame: %s", got < 0 ? tarvo_error_name(got) : "time-out");
        return {};
    }
    std::vector<float> distance(size_t{info.width} * info.height);
    const int n = tarvo_frame_get_distance(dev, distance.data(), static_cast<int>(distance.size()),
                                           raw.data(), info.frame_size, &info);
    if (n <= 0 || static_cast<size_t>(n) != distance.size()) {
        fail("frame %u could not be decoded into distances", info.frame_idx);
        return {};
    }
    return distance;
}

int write_point_cloud(tarvo_dev_t *dev, const PointCloudOptions &opt) {
    tarvo_frame_info_t info{};
    const std::vector<float> distance = next_distance_image(dev, info);
    if (distance.empty())
        return kFailed;
    // Setting the default colour map's range colours the points too.
    tarvo_cmap_float(nullptr, 0, nullptr, 0, 0, opt.range[0], opt.range[1]);
    std::vector<float> points(4 * distance.size());
    const int n = tarvo_frame_get_pcl_xyzd(dev, points.data(), static_cast<int>(points.size()),
                                           distance.data(), static_cast<int>(distance.size()),
                                           static_cast<int>(info.width),
                                           static_cast<int>(info.height), true, nullptr);
    if (n <= 0)
        return fail("no points in frame %u", info.frame_idx);
    points.resize(4 * static_cast<size_t>(n));
    std::string error;
    if (!write_ply(opt.output, points, error))
        return fail("%s", error.c_str());
    std::printf("%d points of %ux%u pixels%s written to %s\n", n, info.width, info.height,
                opt.settings.undistort ? " (undistorted)" : "", opt.output.c_str());
    return kDone;
}

}  // namespace

void add_pointcloud_command(Tool &tool) {
    auto opt = std::make_shared<PointCloudOptions>();
    CLI::App *cmd = tool.app.add_subcommand(
        "pointcloud", "write one frame of the first camera as a coloured point cloud (PLY)");
    cmd->add_option("-o,--output", opt->output, "PLY file to write")
        ->required()
        ->check(extension_check({".ply"}));
    add_camera_option(cmd, opt->camera);
    add_capture_options(cmd, opt->settings);
    add_range_option(cmd, opt->range);
    tool.on_run(cmd, [opt] {
        return with_camera(opt->camera, opt->settings,
                           [&](tarvo_dev_t *dev) { return write_point_cloud(dev, *opt); });
    });
}

}  // namespace tarvo::tool
