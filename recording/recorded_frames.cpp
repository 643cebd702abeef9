#include "recorded_frames.h"

#include <array>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <span>
#include <utility>

#include "cdr_reader.h"
#include "plumb_bob.h"
#include "recording_metadata.h"

namespace tarvo::recording {

namespace {

constexpr const char *kDepthTopic = "/tarvo/depth/image_raw";
constexpr const char *kCameraInfoTopic = "/tarvo/depth/camera_info";
constexpr const char *kPointsTopic = "/tarvo/points";
constexpr size_t kNoMessage = std::numeric_limits<size_t>::max();
constexpr uint64_t kMaxPixels = uint64_t{1} << 24;  // far beyond any sensor, well within memory
constexpr uint8_t kFloat32 = 7;                     // sensor_msgs/PointField FLOAT32
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

void skip_header(CdrReader &r) {
    r.i32();  // stamp: the log time says the same
    r.u32();
    r.str();  // frame id
}

bool image_size_ok(uint32_t width, uint32_t height, std::string &error) {
    if (width == 0 || height == 0 || uint64_t{width} * height > kMaxPixels) {
        error = "impossible size " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    return true;
}

// Rows of `row_bytes` useful bytes, `step` apart: does `data` hold them all?
bool rows_fit(size_t data, uint64_t step, uint64_t row_bytes, uint32_t height) {
    return step >= row_bytes && (height - 1) * step + row_bytes <= data;
}

float load_float(const uint8_t *p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// sensor_msgs/Image, 32FC1 metres, NaN invalid.
bool decode_depth(std::span<const uint8_t> message, RecordedFrame &out, std::string &error) {
    CdrReader r(message);
    skip_header(r);
    const uint32_t height = r.u32();
    const uint32_t width = r.u32();
    const std::string encoding = r.str();
    const uint8_t big_endian = r.u8();
    const uint32_t step = r.u32();
    const std::span<const uint8_t> data = r.octets();
    if (!r.ok()) {
        error = "depth image message damaged (cut short, or not little-endian CDR)";
        return false;
    }
    if (encoding != "32FC1" || big_endian != 0) {
        error = "depth image encoded as " + encoding + (big_endian ? " big-endian" : "") +
                ", not 32FC1 little-endian";
        return false;
    }
    if (!image_size_ok(width, height, error))
        return false;
    if (!rows_fit(data.size(), step, uint64_t{width} * 4, height)) {
        error = "depth image holds fewer bytes than its size and row step say";
        return false;
    }
    out.width = width;
    out.height = height;
    out.distance.resize(size_t{width} * height);
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(&out.distance[size_t{y} * width], data.data() + size_t{y} * step,
                    size_t{width} * 4);
    return true;
}

struct Lens {
    std::array<double, 9> k{};
    std::vector<double> d;  // plumb_bob terms; empty for other models
};

// The camera matrix K and distortion of sensor_msgs/CameraInfo, for images of width x height.
bool decode_lens(std::span<const uint8_t> message, uint32_t width, uint32_t height, Lens &out,
                 std::string &error) {
    CdrReader r(message);
    skip_header(r);
    const uint32_t info_height = r.u32();
    const uint32_t info_width = r.u32();
    const std::string model = r.str();
    std::vector<double> d = r.f64_seq();
    r.f64_array(out.k.data(), 9);
    if (!r.ok()) {
        error = "camera info message damaged (cut short, or not little-endian CDR)";
        return false;
    }
    if (info_width != width || info_height != height) {
        error = "camera info for " + std::to_string(info_width) + "x" +
                std::to_string(info_height) + " images, the depth image is " +
                std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    // Other distortion models are taken as none: their terms mean other things.
    out.d = model == "plumb_bob" ? std::move(d) : std::vector<double>{};
    const auto &k = out.k;
    if (!std::isfinite(k[0]) || !std::isfinite(k[4]) || !std::isfinite(k[2]) ||
        !std::isfinite(k[5]) || k[0] == 0 || k[4] == 0) {
        error = "camera info without a usable camera matrix";
        return false;
    }
    return true;
}

// Each pixel's distance along its viewing ray through the lens.
void lens_points(const Lens &lens, RecordedFrame &f) {
    f.points.resize(f.distance.size() * 3);
    for (uint32_t v = 0; v < f.height; ++v) {
        for (uint32_t u = 0; u < f.width; ++u) {
            const size_t i = size_t{v} * f.width + u;
            const auto ray = pixel_ray(lens.k, lens.d, u, v);
            for (int a = 0; a < 3; ++a)
                f.points[3 * i + a] = ray[a] * f.distance[i];  // NaN distances give NaN
        }
    }
}

struct CloudLayout {
    uint32_t offset[3] = {0, 0, 0};  // x, y, z
    bool found[3] = {false, false, false};
};

// sensor_msgs/PointCloud2, organized, x y z float32: the points of width x height pixels.
bool decode_cloud(std::span<const uint8_t> message, RecordedFrame &out, std::string &error) {
    CdrReader r(message);
    skip_header(r);
    const uint32_t height = r.u32();
    const uint32_t width = r.u32();
    const uint32_t fields = r.u32();
    CloudLayout layout;
    for (uint32_t i = 0; i < fields && r.ok(); ++i) {
        const std::string name = r.str();
        const uint32_t offset = r.u32();
        const uint8_t type = r.u8();
        const uint32_t count = r.u32();
        const int axis = name == "x" ? 0 : name == "y" ? 1 : name == "z" ? 2 : -1;
        if (axis >= 0 && type == kFloat32 && count == 1) {
            layout.offset[axis] = offset;
            layout.found[axis] = true;
        }
    }
    const uint8_t big_endian = r.u8();
    const uint32_t point_step = r.u32();
    const uint32_t row_step = r.u32();
    const std::span<const uint8_t> data = r.octets();
    if (!r.ok()) {
        error = "point cloud message damaged (cut short, or not little-endian CDR)";
        return false;
    }
    if (!image_size_ok(width, height, error))
        return false;
    for (int a = 0; a < 3; ++a) {
        if (!layout.found[a] || uint64_t{layout.offset[a]} + 4 > point_step || big_endian) {
            error = "point cloud without little-endian float32 x, y and z within its points";
            return false;
        }
    }
    if (!rows_fit(data.size(), row_step, uint64_t{width} * point_step, height)) {
        error = "point cloud holds fewer bytes than its size and row step say";
        return false;
    }
    if (!out.distance.empty() && (width != out.width || height != out.height)) {
        error = "point cloud of another size than the depth image";
        return false;
    }
    out.width = width;
    out.height = height;
    out.points.resize(size_t{width} * height * 3);
    for (uint32_t v = 0; v < height; ++v) {
        for (uint32_t u = 0; u < width; ++u) {
            const uint8_t *pt = data.data() + size_t{v} * row_step + size_t{u} * point_step;
            const size_t i = size_t{v} * width + u;
            for (int a = 0; a < 3; ++a)
                out.points[3 * i + a] = load_float(pt + layout.offset[a]);
        }
    }
    return true;
}

// A recording of clouds alone: each pixel's distance is its point's.
void distances_of_points(RecordedFrame &f) {
    f.distance.resize(size_t{f.width} * f.height);
    for (size_t i = 0; i < f.distance.size(); ++i) {
        const float *p = &f.points[3 * i];
        const float d = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
        f.distance[i] = std::isfinite(d) && d > 0 ? d : kNaN;
    }
}

// Message indices of a channel by log time (the first of each time).
std::map<uint64_t, size_t> by_time(const McapContents &c, uint16_t channel) {
    std::map<uint64_t, size_t> out;
    for (size_t i = 0; i < c.messages.size(); ++i) {
        if (c.messages[i].channel_id == channel)
            out.emplace(c.messages[i].log_time, i);
    }
    return out;
}

size_t at_time(const std::map<uint64_t, size_t> &messages, uint64_t time) {
    const auto it = messages.find(time);
    return it == messages.end() ? kNoMessage : it->second;
}

// The latest message at or before `time`: a CameraInfo holds until the next one.
size_t latest_at(const std::map<uint64_t, size_t> &messages, uint64_t time) {
    auto it = messages.upper_bound(time);
    return it == messages.begin() ? kNoMessage : std::prev(it)->second;
}

}  // namespace

std::string raw_only_message(const std::string &path) {
    return path +
           ": the recording holds raw frames only; `tarvo record --depth` records decoded depth "
           "(and `tarvo-vcam --replay " +
           path + " -- tarvo depth ...` decodes raw frames through a played-back camera)";
}

bool RecordedFrames::open(const std::string &path, std::string &error, FrameKind kind) {
    McapContents contents;
    if (!read_mcap_file(path, contents, error)) {
        path_ = path;
        frames_.clear();
        return false;
    }
    return open(path, std::move(contents), error, kind);
}

bool RecordedFrames::open(const std::string &path, McapContents contents, std::string &error,
                          FrameKind kind) {
    path_ = path;
    frames_.clear();
    contents_ = std::move(contents);
    const auto channel = [&](const char *topic) {
        const McapChannel *c = contents_.channel_by_topic(topic);
        return c != nullptr ? c->id : kNone;
    };
    depth_channel_ = channel(kDepthTopic);
    info_channel_ = channel(kCameraInfoTopic);
    points_channel_ = channel(kPointsTopic);
    raw_channel_ = channel(kRawTopic);
    if (raw_channel_ != kNone &&
        !raw_layout_of(contents_.channels.at(raw_channel_), raw_layout_, error)) {
        error = path + ": " + error;
        return false;
    }
    const uint16_t primary = depth_channel_ != kNone ? depth_channel_ : points_channel_;
    const auto infos = by_time(contents_, info_channel_);
    const auto clouds = by_time(contents_, points_channel_);
    const auto raws = by_time(contents_, raw_channel_);
    for (size_t i = 0; primary != kNone && i < contents_.messages.size(); ++i) {
        const McapMessage &m = contents_.messages[i];
        if (m.channel_id != primary)
            continue;
        const bool depth = primary == depth_channel_;
        frames_.push_back({depth ? i : kNoMessage, latest_at(infos, m.log_time),
                           depth ? at_time(clouds, m.log_time) : i, at_time(raws, m.log_time)});
    }
    if (primary == kNone && kind == FrameKind::kAny) {
        for (const auto &[time, i] : raws)
            frames_.push_back({kNoMessage, kNoMessage, kNoMessage, i});
    }
    if (!frames_.empty())
        return true;
    if (primary != kNone)
        error = path + ": the recording holds no decoded frames";
    else if (!raws.empty())
        error = raw_only_message(path);
    else
        error = path + ": the recording holds no frames";
    if (!contents_.complete)
        error += " (the file ends early: whole records up to byte " +
                 std::to_string(contents_.whole_bytes) + ")";
    return false;
}

bool RecordedFrames::read(size_t i, bool with_points, RecordedFrame &out,
                          std::string &error) const {
    if (i >= frames_.size()) {
        error = path_ + ": no frame " + std::to_string(i) + " (the recording holds " +
                std::to_string(frames_.size()) + ")";
        return false;
    }
    std::string why;
    if (decode(frames_[i], i, with_points, out, why))
        return true;
    error = path_ + ": frame " + std::to_string(i) + ": " + why;
    return false;
}

bool RecordedFrames::decode(const FrameMessages &m, size_t i, bool with_points, RecordedFrame &out,
                            std::string &error) const {
    out = RecordedFrame{};
    const auto bytes = [&](size_t message) {
        return std::span<const uint8_t>(contents_.messages[message].data);
    };
    const size_t primary = m.depth != kNoMessage ? m.depth : m.points;
    out.time_ns = contents_.messages[primary != kNoMessage ? primary : m.raw].log_time;
    out.sequence = i;
    RawFrameView raw;
    if (m.raw != kNoMessage) {
        if (!parse_raw_frame(bytes(m.raw), raw_layout_, raw, error))
            return false;
        out.monotonic_ns = raw.monotonic_ns;
        out.sequence = raw.sequence;
        out.lost_before = raw.lost_before;
        out.index = raw.frame_idx;
        out.has_temperatures = raw.has_temperatures;
        out.sensor_temperature = raw.sensor_temperature;
        out.illumination_temperature = raw.illumination_temperature;
        out.raw_info = raw.info_bytes;
        out.raw_frame = raw.frame;
    }
    if (primary == kNoMessage) {  // a raw frame alone: the size its information gives
        out.width = raw.width;
        out.height = raw.height;
        return true;
    }
    if (m.depth != kNoMessage && !decode_depth(bytes(m.depth), out, error))
        return false;
    if (m.depth == kNoMessage || (with_points && m.points != kNoMessage)) {
        if (!decode_cloud(bytes(m.points), out, error))
            return false;
        if (m.depth == kNoMessage)
            distances_of_points(out);
        return true;
    }
    if (!with_points)
        return true;
    Lens lens;
    if (m.camera_info == kNoMessage) {
        error = "no camera info to compute points with";
        return false;
    }
    if (!decode_lens(bytes(m.camera_info), out.width, out.height, lens, error))
        return false;
    lens_points(lens, out);
    return true;
}

bool RecordedFrames::sensor_registers(std::vector<uint32_t> &out, std::string &error) const {
    if (read_sensor_registers(contents_, out, error))
        return true;
    error = path_ + ": " + error;
    return false;
}

bool RecordedFrames::parameters(std::map<uint8_t, std::vector<uint8_t>> &out,
                                std::string &error) const {
    if (read_parameters(contents_, out, error))
        return true;
    error = path_ + ": " + error;
    return false;
}

}  // namespace tarvo::recording
