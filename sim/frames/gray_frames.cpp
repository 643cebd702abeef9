#include "frames/gray_frames.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <utility>

#include "scene.h"

namespace tarvo::vcam {

namespace {

constexpr uint8_t kParamMode = 10;
constexpr double kMidScale = 2048.0;
constexpr double kAdcMax = 4095.0;

// Gray frames while the camera is in one of its grayscale modes, time-of-flight frames else.
class ModeFrames final : public FrameGenerator {
  public:
    ModeFrames(std::weak_ptr<Camera> camera, std::shared_ptr<GrayFrames> gray,
               std::shared_ptr<FrameGenerator> tof)
        : camera_(std::move(camera)), gray_(std::move(gray)), tof_(std::move(tof)) {}

    void on_start(const StreamContext &ctx) override {
        planes_ = gray_planes();
        integration_us_ = integration_us();
        if (planes_ == 0) {
            tof_->on_start(ctx);
            return;
        }
        StreamWriterConfig w;
        w.meta.frfmt = kFormatGray;
        w.meta.width = gray_->model().width;
        w.meta.height = gray_->model().height;
        w.meta.temp_chip = gray_->model().temp_chip;
        w.meta.temp_ib = gray_->model().temp_ib;
        writer_ = StreamWriter(w);
    }

    std::shared_ptr<const std::vector<uint8_t>> frame(uint32_t seq) override {
        if (planes_ == 0)
            return tof_->frame(seq);
        auto out = std::make_shared<std::vector<uint8_t>>();
        // Noise differs from frame to frame across captures, which restart `seq`.
        writer_.write_frame(gray_->frame_bytes(planes_, rendered_++, integration_us_), *out);
        return out;
    }

  private:
    std::optional<std::vector<uint8_t>> param(uint8_t id) const {
        const std::shared_ptr<Camera> camera = camera_.lock();
        return camera ? camera->param(id) : std::nullopt;
    }

    // 1 in 2D mode, 2 in the two-sample mode, 0 in time-of-flight mode (and before any mode).
    int gray_planes() const {
        const std::optional<std::vector<uint8_t>> mode = param(kParamMode);
        if (!mode || mode->empty())
            return 0;
        return (*mode)[0] == 0 ? 1 : (*mode)[0] == 2 ? 2 : 0;
    }

    // Microseconds; -1 (the reference time) when not set.
    double integration_us() const { return integration_time_us(camera_).value_or(-1.0); }

    std::weak_ptr<Camera> camera_;
    std::shared_ptr<GrayFrames> gray_;
    std::shared_ptr<FrameGenerator> tof_;
    StreamWriter writer_;
    int planes_ = 0;
    double integration_us_ = -1.0;
    uint32_t rendered_ = 0;
};

}  // namespace

GrayModel gray_fpn(double percent) {
    GrayModel m;
    m.gain_spread = percent / 100.0;
    m.offset_spread = percent * 10.0;
    m.noise = 2.0;
    return m;
}

GrayFrames::GrayFrames(const GrayModel &model) : model_(model), light_(model.light) {
    const size_t n = size_t{model.width} * model.height;
    std::mt19937 rng(model.seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    offset_.resize(n);
    gain_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        offset_[i] = model.offset_spread * unit(rng);
        gain_[i] = 1.0 + model.gain_spread * unit(rng);
    }
}

void GrayFrames::set_light(double counts) {
    light_.store(counts);
}

double GrayFrames::light() const {
    return light_.load();
}

void GrayFrames::set_flash_probe(std::function<bool()> flash_off) {
    std::lock_guard lk(probe_mu_);
    flash_off_ = std::move(flash_off);
}

bool GrayFrames::dark() const {
    std::lock_guard lk(probe_mu_);
    return flash_off_ && flash_off_();
}

double GrayFrames::dark_offset(int row, int col) const {
    return offset_[static_cast<size_t>(row) * model_.width + col];
}

double GrayFrames::gain(int row, int col) const {
    return gain_[static_cast<size_t>(row) * model_.width + col];
}

std::vector<uint16_t> GrayFrames::samples(int planes, uint32_t seq, double integration_us) const {
    const int w = model_.width;
    const int h = model_.height;
    const size_t n = static_cast<size_t>(w) * h;
    const double exposure = integration_us < 0.0 || model_.reference_us <= 0.0
                                ? 1.0
                                : integration_us / model_.reference_us;
    const double light = dark() ? 0.0 : light_.load() * exposure;
    std::mt19937 rng(model_.seed * 2654435761u + seq);
    std::normal_distribution<double> noise(0.0, model_.noise > 0.0 ? model_.noise : 1.0);
    const bool noisy = model_.noise > 0.0;
    std::vector<uint16_t> out(n * static_cast<size_t>(std::clamp(planes, 1, 2)));
    const double pedestal = planes == 2 ? model_.pedestal : 0.0;
    for (size_t plane = 0; plane * n < out.size(); ++plane) {
        const double sign = plane == 0 ? 1.0 : -1.0;
        for (int line = 0; line < h; ++line) {
            const int row = scene::readout_row(line, h, model_.halves);
            for (int col = 0; col < w; ++col) {
                const size_t px = static_cast<size_t>(row) * w + col;
                const double signal =
                    pedestal + offset_[px] + gain_[px] * light + (noisy ? noise(rng) : 0.0);
                out[plane * n + static_cast<size_t>(line) * w + col] =
                    scene::adc_word(kMidScale + sign * signal, kAdcMax, model_.epc635_format);
            }
        }
    }
    return out;
}

std::vector<uint8_t> GrayFrames::frame_bytes(int planes, uint32_t seq,
                                             double integration_us) const {
    const std::vector<uint16_t> words = samples(planes, seq, integration_us);
    std::vector<uint8_t> bytes(words.size() * 2);
    for (size_t i = 0; i < words.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(words[i]);
        bytes[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    return bytes;
}

std::shared_ptr<StreamSource> make_mode_stream(std::weak_ptr<Camera> camera,
                                               std::shared_ptr<GrayFrames> gray,
                                               const CameraFramesConfig &tof) {
    return make_mode_stream(std::move(camera), std::move(gray),
                            std::make_shared<CameraFrames>(tof));
}

std::shared_ptr<StreamSource> make_mode_stream(std::weak_ptr<Camera> camera,
                                               std::shared_ptr<GrayFrames> gray,
                                               std::shared_ptr<FrameGenerator> tof) {
    return make_frame_source(
        std::make_shared<ModeFrames>(std::move(camera), std::move(gray), std::move(tof)));
}

}  // namespace tarvo::vcam
