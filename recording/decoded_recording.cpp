#include "decoded_recording.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <vector>

#include "files/safe_file.h"
#include "recording_metadata.h"

namespace tarvo::recording {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The parameters the camera answered with, as items for the offline handle.
bool recorded_parameters(const McapContents &c, std::vector<tarvo_param_item_t> &out,
                         std::string &why) {
    std::map<uint8_t, std::vector<uint8_t>> values;
    if (!read_parameters(c, values, why))
        return false;
    if (values.empty()) {
        why = "it keeps no camera parameters (" + std::string(kParametersMetadata) + ")";
        return false;
    }
    for (const auto &[id, bytes] : values) {
        tarvo_param_item_t item{};
        item.param_id = id;
        item.param_val_len = static_cast<uint8_t>(std::min(bytes.size(), sizeof item.param_val));
        std::copy_n(bytes.begin(), item.param_val_len, item.param_val);
        out.push_back(item);
    }
    return true;
}

// The sensor's register file; a recording made before registers were recorded has none.
bool recorded_registers(const McapContents &c, std::vector<uint32_t> &out, std::string &why) {
    if (!read_sensor_registers(c, out, why))
        return false;
    if (out.empty()) {
        why = "it keeps no sensor register file (" + std::string(kRegistersMetadata) +
              "; recordings of this version keep it)";
        return false;
    }
    return true;
}

// A folder of its own under $TMPDIR (or /tmp); "" with `why` when none can be made.
std::string make_private_folder(std::string &why) {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/tarvo-calibration-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        why =
            "cannot make a folder for its calibration files: " + std::string(std::strerror(errno));
        return {};
    }
    return pattern;
}

// An attachment's name as a file name of the folder: a plain name, no path.
bool plain_name(const std::string &name) {
    return !name.empty() && name.size() < 256 && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool write_attachments(const McapContents &c, const std::string &folder, std::string &why) {
    for (const McapAttachment &a : c.attachments) {
        if (!plain_name(a.name)) {
            why = "its attachment '" + a.name + "' is not a plain file name";
            return false;
        }
        files::OutputFile out(folder + "/" + a.name);
        if (!out.open() || !out.write(a.data.data(), a.data.size()) || !out.commit()) {
            why = "cannot write its calibration file: " + out.error();
            return false;
        }
    }
    return true;
}

// A recorded switch of the decode ("on"/"off"); false when absent.
bool switched_on(const McapMetadata &m, const char *key) {
    const auto it = m.values.find(key);
    return it != m.values.end() && it->second == "on";
}

// The decode settings the recorder ran with (tarvo.decoding), so the raw frames decode as the
// recorded depth was decoded.
bool apply_recorded_settings(tarvo_dev_t *dev, const McapContents &c, std::string &why) {
    const McapMetadata *m = c.metadata_named(kDecodingMetadata);
    if (m == nullptr)
        return true;
    if (const auto it = m->values.find("min_amplitude"); it != m->values.end()) {
        char *end = nullptr;
        const long amplitude = std::strtol(it->second.c_str(), &end, 10);
        if (it->second.empty() || *end != 0 || amplitude < 0 || amplitude > 65535) {
            why = "its recorded minimum amplitude '" + it->second + "' is malformed";
            return false;
        }
        const int32_t value = static_cast<int32_t>(amplitude);
        if (value == 0)
            tarvo_filter_disable(dev, TARVO_FILTER_MIN_AMPLITUDE);
        else
            tarvo_filter_enable(dev, TARVO_FILTER_MIN_AMPLITUDE, &value, sizeof value);
    }
    if (switched_on(*m, "hdr"))
        tarvo_filter_enable(dev, TARVO_FILTER_HDR, nullptr, 0);
    if (switched_on(*m, "undistort"))
        tarvo_filter_enable(dev, TARVO_FILTER_UNDISTORT, nullptr, 0);
    return true;
}

}  // namespace

DecodedRecording::~DecodedRecording() {
    if (dev_ != nullptr)
        tarvo_dev_close(dev_);
    if (!calibration_dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(calibration_dir_, ec);
    }
}

bool DecodedRecording::open(const std::string &path, std::string &error, bool recorded_depth) {
    if (recorded_depth)
        return frames_.open(path, error);
    if (!frames_.open(path, error, FrameKind::kAny))
        return false;
    std::string why;
    if (open_handle(why))
        return true;
    raw_problem_ = path + ": its raw frames cannot be decoded: " + why;
    if (frames_.raw_only()) {
        error = raw_problem_;
        return false;
    }
    return true;
}

bool DecodedRecording::open_handle(std::string &why) {
    const McapContents &c = frames_.contents();
    const McapMetadata *camera = c.metadata_named("tarvo.camera");
    const auto product = camera != nullptr ? camera->values.find("product")
                                           : std::map<std::string, std::string>::const_iterator{};
    if (camera == nullptr || product == camera->values.end()) {
        why = "it does not describe its camera (tarvo.camera)";
        return false;
    }
    std::vector<tarvo_param_item_t> params;
    std::vector<uint32_t> registers;
    if (!recorded_parameters(c, params, why) || !recorded_registers(c, registers, why))
        return false;
    calibration_dir_ = make_private_folder(why);
    if (calibration_dir_.empty() || !write_attachments(c, calibration_dir_, why))
        return false;
    tarvo_offline_camera_t desc{};
    desc.product = product->second.c_str();
    desc.params = params.data();
    desc.param_count = static_cast<int>(params.size());
    desc.sensor_registers = registers.data();
    desc.sensor_register_count = static_cast<uint16_t>(std::min<size_t>(registers.size(), 256));
    desc.calibration_dir = calibration_dir_.c_str();
    dev_ = tarvo_offline_open(&desc);
    if (dev_ == nullptr) {
        why = tarvo_dev_last_error() == TARVO_ERR_DEV_PIPELINE_BOUND
                  ? "the library's decoding pipeline serves a camera open in this process"
                  : std::string("the library refused its camera (") +
                        tarvo_error_name(tarvo_dev_last_error()) + ")";
        return false;
    }
    if (!apply_recorded_settings(dev_, c, why)) {
        tarvo_dev_close(dev_);
        dev_ = nullptr;
        return false;
    }
    return true;
}

bool DecodedRecording::read(size_t i, bool with_points, RecordedFrame &out,
                            std::string &error) const {
    if (dev_ == nullptr)
        return frames_.read(i, with_points, out, error);
    if (!frames_.read(i, false, out, error))
        return false;
    if (out.raw_frame.empty() || out.raw_info.size() != sizeof(tarvo_frame_info_t))
        return frames_.read(i, with_points, out, error);  // a decoded frame without its raw one
    std::string why;
    if (decode_raw(with_points, out, why))
        return true;
    error = path() + ": frame " + std::to_string(i) + ": " + why;
    return false;
}

bool DecodedRecording::decode_raw(bool with_points, RecordedFrame &out, std::string &why) const {
    std::lock_guard lock(mutex_);
    tarvo_frame_info_t info{};
    std::memcpy(&info, out.raw_info.data(), sizeof info);
    tarvo_offline_set_temperatures(dev_, out.sensor_temperature, out.illumination_temperature);
    if (!ros::decode_frame(dev_, out.raw_frame.data(), static_cast<uint32_t>(out.raw_frame.size()),
                           info, decoded_)) {
        why = "the library cannot decode its raw frame";
        return false;
    }
    out.width = decoded_.width;
    out.height = decoded_.height;
    out.gray = decoded_.gray;
    out.distance.resize(decoded_.distance.size());
    for (size_t p = 0; p < out.distance.size(); ++p)
        out.distance[p] = ros::valid_distance(decoded_.distance[p]) ? decoded_.distance[p] : kNaN;
    out.points.clear();
    if (!with_points)
        return true;
    // The organized cloud along the library's own pixel rays.
    zr_lens_param_t lens{};
    const ros::PixelRays *rays = ros::lens_for_image(dev_, out.width, out.height, lens)
                                     ? rays_.get(dev_, lens, out.width, out.height)
                                     : nullptr;
    if (rays == nullptr) {
        why = "the library gives no points for its lens model";
        return false;
    }
    out.points.resize(size_t{out.width} * out.height * 3);
    ros::points_along_rays(decoded_.distance.data(), *rays, out.points.data());
    return true;
}

}  // namespace tarvo::recording
