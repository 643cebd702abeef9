#include "replay/replay_camera.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "mcap_reader.h"
#include "recording_metadata.h"
#include "sensor/epc_sensor.h"
#include "stream_writer/stream_writer.h"
#ifdef TARVO_REPLAY_CALIBRATION
#include "calib/factory_calibration.h"
#endif

namespace tarvo::vcam {

namespace {

using Clock = std::chrono::steady_clock;
namespace rec = tarvo::recording;

constexpr const char *kCameraMetadata = "tarvo.camera";
constexpr const char *kParametersAttachment = "parameters.json";

// A number of the camera description; absent keys keep `out`.
bool number_field(const std::map<std::string, std::string> &values, const char *key, long min,
                  long max, long &out, std::string &error) {
    const auto it = values.find(key);
    if (it == values.end())
        return true;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(it->second.c_str(), &end, 0);
    if (errno || end == it->second.c_str() || *end || v < min || v > max) {
        error = std::string("camera description: invalid ") + key + " '" + it->second + "'";
        return false;
    }
    out = v;
    return true;
}

template <typename Field>
bool field(const std::map<std::string, std::string> &values, const char *key, long min, long max,
           Field &out, std::string &error) {
    long v = static_cast<long>(out);
    if (!number_field(values, key, min, max, v, error))
        return false;
    out = static_cast<Field>(v);
    return true;
}

bool text_field(const std::map<std::string, std::string> &values, const char *key, std::string &out,
                std::string &error) {
    const auto it = values.find(key);
    if (it == values.end())
        return true;
    if (it->second.empty() || it->second.size() > kParamValueSize) {
        error = std::string("camera description: ") + key + " must have 1 to 18 characters";
        return false;
    }
    out = it->second;
    return true;
}

bool camera_description(const rec::McapContents &file, ReplayRecording &out, std::string &error) {
    const rec::McapMetadata *meta = file.metadata_named(kCameraMetadata);
    if (meta == nullptr)
        return true;  // a recording without it plays as the default camera
    const auto &v = meta->values;
    CameraConfig &c = out.camera;
    const uint32_t default_rate = c.frame_rate;
    const bool ok = text_field(v, "product", c.product, error) &&
                    text_field(v, "ident", c.ident, error) &&
                    field(v, "firmware", 0, 0xFFFF, c.fw_version, error) &&
                    field(v, "chip_id", 0, 0xFFFF, c.chip_id, error) &&
                    field(v, "wafer_id", 0, 0xFFFF, c.wafer_id, error) &&
                    field(v, "part_version", 0, 0xFFFF, c.part_version, error) &&
                    field(v, "frame_rate", 0, 120, c.frame_rate, error) &&
                    field(v, "integration_time_us", 0, 0xFFFF, c.integration_time, error) &&
                    field(v, "temp_chip", -32768, 32767, out.temp_chip, error) &&
                    field(v, "temp_ib", -32768, 32767, out.temp_ib, error);
    if (c.frame_rate == 0)  // a camera that did not say
        c.frame_rate = default_rate;
    return ok;
}

// Parameter values by parameter number. The identity parameters come from the description
// instead.
bool parameters(const rec::McapContents &file, ReplayRecording &out, std::string &error) {
    std::map<uint8_t, std::vector<uint8_t>> values;
    if (!rec::read_parameters(file, values, error))
        return false;
    out.params = std::move(values);
    return true;
}

// The image sensor's register file, whose registers hold a byte each.
bool sensor_registers(const rec::McapContents &file, ReplayRecording &out, std::string &error) {
    if (!rec::read_sensor_registers(file, out.sensor_registers, error))
        return false;
    for (size_t i = 0; i < out.sensor_registers.size(); ++i) {
        if (out.sensor_registers[i] > 0xFF) {
            char text[96];
            std::snprintf(
                text, sizeof text,
                "register file: register 0x%02zx holds 0x%x, more than the sensor's 8 bits", i,
                static_cast<unsigned>(out.sensor_registers[i]));
            error = text;
            return false;
        }
    }
    return true;
}

bool raw_frames(const rec::McapContents &file, ReplayRecording &out, std::string &error) {
    const rec::McapChannel *raw = file.channel_by_topic(rec::kRawTopic);
    if (raw == nullptr) {
        error = std::string("no ") + rec::kRawTopic + " channel: nothing to replay";
        return false;
    }
    rec::RawLayout layout{};
    if (!rec::raw_layout_of(*raw, layout, error))
        return false;
    for (const rec::McapMessage &m : file.messages) {
        if (m.channel_id != raw->id)
            continue;
        rec::RawFrameView view;
        if (!rec::parse_raw_frame(m.data, layout, view, error)) {
            error = "frame " + std::to_string(out.frames.size()) + ": " + error;
            return false;
        }
        if (view.width > 0xFFFF || view.height > 0xFFFF || view.frame_format > kMaxFrameFormat ||
            view.frame_size > kMaxFrameLen) {
            error = "frame " + std::to_string(out.frames.size()) + ": geometry out of range";
            return false;
        }
        auto frame = std::make_shared<ReplayFrame>();
        frame->log_time = m.log_time;
        frame->format = view.frame_format;
        frame->width = static_cast<uint16_t>(view.width);
        frame->height = static_cast<uint16_t>(view.height);
        frame->temp_chip = view.has_temperatures ? view.sensor_temperature : out.temp_chip;
        frame->temp_ib = view.has_temperatures ? view.illumination_temperature : out.temp_ib;
        frame->bytes.assign(view.frame.begin(), view.frame.end());
        out.frames.push_back(std::move(frame));
    }
    if (out.frames.empty()) {
        error = "the recording holds no frames";
        return false;
    }
    return true;
}

// Plays the frames at their log-time spacing divided by the rate; the first frame goes at once.
class ReplaySource final : public StreamSource {
  public:
    ReplaySource(std::shared_ptr<const ReplayRecording> recording, const ReplayOptions &options)
        : recording_(std::move(recording)), options_(options) {}

    void on_start(const StreamContext &) override {
        next_ = 0;
        cycle_start_ = Clock::now();
        writer_ = StreamWriter(StreamWriterConfig{});
    }

    bool next(StreamStep &step) override {
        const auto &frames = recording_->frames;
        if (next_ >= frames.size()) {
            if (!options_.loop)
                return false;
            cycle_start_ = due(frames.size() - 1) + mean_spacing();
            next_ = 0;
        }
        const auto wait = due(next_) - Clock::now();
        if (wait > Clock::duration::zero()) {
            // Silence rather than a sleep here, so that a stop is not held up by it.
            step = StreamStep::silence(std::chrono::ceil<std::chrono::microseconds>(wait));
            return true;
        }
        const ReplayFrame &frame = *frames[next_++];
        FrameMeta &meta = writer_.config().meta;
        meta.frfmt = frame.format;
        meta.width = frame.width;
        meta.height = frame.height;
        meta.temp_chip = frame.temp_chip;
        meta.temp_ib = frame.temp_ib;
        std::vector<uint8_t> packets;
        writer_.write_frame(frame.bytes, packets);
        step = StreamStep::data(std::move(packets));
        return true;
    }

  private:
    Clock::time_point due(size_t index) const {
        const auto &frames = recording_->frames;
        const double ns =
            static_cast<double>(frames[index]->log_time - frames[0]->log_time) / options_.rate;
        return cycle_start_ + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double, std::nano>(ns));
    }

    Clock::duration mean_spacing() const {
        const auto &frames = recording_->frames;
        if (frames.size() < 2)
            return std::chrono::milliseconds(1000 /
                                             std::max<uint32_t>(recording_->camera.frame_rate, 1));
        return (due(frames.size() - 1) - due(0)) / static_cast<long>(frames.size() - 1);
    }

    std::shared_ptr<const ReplayRecording> recording_;
    ReplayOptions options_;
    size_t next_ = 0;
    Clock::time_point cycle_start_;
    StreamWriter writer_;
};

}  // namespace

bool load_replay(const std::string &path, ReplayRecording &out, std::string &error) {
    rec::McapContents file;
    if (!rec::read_mcap_file(path, file, error))
        return false;
    out = ReplayRecording{};
    if (!camera_description(file, out, error) || !parameters(file, out, error) ||
        !sensor_registers(file, out, error) || !raw_frames(file, out, error)) {
        error = path + ": " + error;
        return false;
    }
    for (const rec::McapAttachment &a : file.attachments) {
        if (a.name != kParametersAttachment)
            out.calibration_files.emplace_back(a.name, a.data);
    }
    return true;
}

std::shared_ptr<StreamSource> make_replay_stream(std::shared_ptr<const ReplayRecording> recording,
                                                 const ReplayOptions &options) {
    return std::make_shared<ReplaySource>(std::move(recording), options);
}

void install_replay(Camera &camera, std::shared_ptr<const ReplayRecording> recording,
                    const ReplayOptions &options) {
    const std::shared_ptr<EpcSensor> sensor = install_epc_sensor(camera);
    for (size_t i = 0; i < recording->sensor_registers.size(); ++i)
        sensor->set_reg(static_cast<uint8_t>(i),
                        static_cast<uint8_t>(recording->sensor_registers[i]));
    for (const auto &[id, value] : recording->params) {
        if (id != kParamIdent && id != kParamProduct && id != kParamVersion &&
            id != kParamChipInfo && id != kParamCalibInfo)
            camera.set_param(id, value);
    }
#ifdef TARVO_REPLAY_CALIBRATION
    if (recording->calibration_files.empty()) {
        remove_factory_calibration(camera);
    } else {
        std::vector<ZipEntry> entries;
        for (const auto &[name, data] : recording->calibration_files)
            entries.push_back({name, data});
        install_factory_calibration(camera, calibration_package(zip_archive(entries)));
    }
#endif
    camera.set_stream_source(make_replay_stream(std::move(recording), options));
}

}  // namespace tarvo::vcam
