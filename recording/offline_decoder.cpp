#include "offline_decoder.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "recorded_frames.h"
#include "recording_metadata.h"
#include "ros_content.h"

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

// A folder of its own under $TMPDIR (or /tmp), removed with everything in it on destruction.
class PrivateFolder {
  public:
    bool make(std::string &why) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                              "/tarvo-calibration-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            why = "cannot make a folder for its calibration files: " +
                  std::string(std::strerror(errno));
            return false;
        }
        path_ = pattern;
        return true;
    }
    ~PrivateFolder() {
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

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
        std::ofstream out(folder + "/" + a.name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(a.data.data()),
                  static_cast<std::streamsize>(a.data.size()));
        if (!out) {
            why = "cannot write its calibration file " + a.name + " to " + folder;
            return false;
        }
    }
    return true;
}

class OfflineDecoder final : public RawFrameDecoder {
  public:
    ~OfflineDecoder() override {
        if (dev_ != nullptr)
            tarvo_dev_close(dev_);
    }

    bool open(const McapContents &c, std::string &why) {
        const McapMetadata *camera = c.metadata_named("tarvo.camera");
        const auto product = camera != nullptr ? camera->values.find("product")
                                               : std::map<std::string, std::string>::const_iterator{};
        if (camera == nullptr || product == camera->values.end()) {
            why = "it does not describe its camera (tarvo.camera)";
            return false;
        }
        std::vector<tarvo_param_item_t> params;
        if (!recorded_parameters(c, params, why))
            return false;
        std::vector<uint32_t> registers;
        if (!recorded_registers(c, registers, why))
            return false;
        if (!folder_.make(why) || !write_attachments(c, folder_.path(), why))
            return false;
        tarvo_offline_camera_t desc{};
        desc.product = product->second.c_str();
        desc.params = params.data();
        desc.param_count = static_cast<int>(params.size());
        desc.sensor_registers = registers.empty() ? nullptr : registers.data();
        desc.sensor_register_count = static_cast<uint16_t>(registers.size());
        desc.calibration_dir = folder_.path().c_str();
        dev_ = tarvo_offline_open(&desc);
        if (dev_ == nullptr) {
            why = std::string("the library cannot decode for its camera (") +
                  tarvo_error_name(tarvo_dev_last_error()) + ")";
            return false;
        }
        return true;
    }

    bool decode(const RawFrameView &raw, bool with_points, RecordedFrame &out,
                std::string &error) override {
        std::lock_guard lock(mutex_);
        tarvo_frame_info_t info{};
        std::memcpy(&info, raw.info_bytes.data(), sizeof info);
        if (raw.has_temperatures)
            tarvo_offline_set_temperatures(dev_, raw.sensor_temperature,
                                           raw.illumination_temperature);
        if (!ros::decode_frame(dev_, raw.frame.data(), static_cast<uint32_t>(raw.frame.size()),
                               info, decoded_)) {
            error = "the library cannot decode the raw frame";
            return false;
        }
        out.width = decoded_.width;
        out.height = decoded_.height;
        out.gray = decoded_.gray;
        out.distance.resize(decoded_.distance.size());
        for (size_t i = 0; i < out.distance.size(); ++i)
            out.distance[i] = ros::valid_distance(decoded_.distance[i]) ? decoded_.distance[i] : kNaN;
        return !with_points || points(out, error);
    }

    tarvo_dev_t *device() const { return dev_; }

  private:
    // The organized cloud along the library's own pixel rays.
    bool points(RecordedFrame &out, std::string &error) {
        if (!converter_.convert(dev_, decoded_, ros::Header{}, true, content_)) {
            error = "the library gives no points for the frame's lens model";
            return false;
        }
        const auto &cloud = content_.points;
        out.points.resize(size_t{out.width} * out.height * 3);
        for (size_t i = 0; i < out.points.size() / 3; ++i)
            std::memcpy(&out.points[3 * i], cloud.data.data() + i * cloud.point_step,
                        3 * sizeof(float));
        return true;
    }

    std::mutex mutex_;
    PrivateFolder folder_;
    tarvo_dev_t *dev_ = nullptr;
    ros::DecodedFrame decoded_;
    ros::FrameConverter converter_;
    ros::FrameContent content_;
};

}  // namespace

std::unique_ptr<RawFrameDecoder> open_offline_decoder(const McapContents &contents,
                                                      const std::string &name,
                                                      std::string &error) {
    auto decoder = std::make_unique<OfflineDecoder>();
    std::string why;
    if (!decoder->open(contents, why)) {
        error = name + ": its raw frames cannot be decoded: " + why;
        return nullptr;
    }
    return decoder;
}

tarvo_dev_t *offline_device(RawFrameDecoder *decoder) {
    auto *offline = dynamic_cast<OfflineDecoder *>(decoder);
    return offline != nullptr ? offline->device() : nullptr;
}

}  // namespace tarvo::recording
