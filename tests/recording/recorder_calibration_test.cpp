// A recording carries the calibration its live decode used, so that its raw frames decode
// without the camera to the very depth recorded beside them: a calibrated camera's DRNU files go
// with it, while a camera that decodes uncorrected (its folder got the chip's files only after
// it was opened, as when another process unpacked them there) leaves them out.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "calib/camera_calibration.h"
#include "calib/factory_calibration.h"
#include "decoded_recording.h"
#include "errors/calibratable_camera.h"
#include "recorded_frames.h"
#include "recorder.h"
#include "support/temp_dir.h"
#include "vcam.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFrameBytes = 320 * 240 * 8;
constexpr int kFrames = 3;

struct Case {
    const char *name;
    bool camera_holds_package;  // else the chip's files reach its folder after the open
    int live_drnu;              // the live decode's DRNU mode
};

const Case kCases[] = {
    {"calibrated camera", true, 2},
    {"files arriving after the open", false, 0},
};

bool same_value(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

class RecordingCarriesItsDecode : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        dir_.enter();
        vcam::Bus::get().reset();
        cam_ = vcam::Bus::get().add_camera({});
        ASSERT_TRUE(cam_);
        vcam::CalibratableConfig config;
        // Errors large enough that a decode with another calibration than the live one shows.
        config.errors.pixel_error_mm = 30.0;
        config.errors.cyclic_error_mm = 40.0;
        vcam::install_factory_calibrated_camera(cam_, config,
                                                scene::flat_wall(config.camera, 1.0, 0.8));
    }

    void TearDown() override {
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
        tarvo_path_cfg(".\\");
    }

    // The chip's calibration files, unpacked by an open of the calibrated camera in `folder`.
    void unpack_calibration(const char *folder) {
        ASSERT_EQ(tarvo_path_cfg(folder), 0);
        ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
        tarvo_dev_close(&dev_);
        ASSERT_FALSE(fs::is_empty(folder));
    }

    // Records kFrames frames with their depth into `path`.
    void record(const std::string &path) {
        recording::RecordOptions options;
        options.depth = true;
        recording::Recorder recorder;
        std::string error;
        ASSERT_TRUE(recorder.open(&dev_, path, options, error)) << error;
        ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, 10 * TARVO_CAP_FRAME_UNIT));
        ASSERT_TRUE(tarvo_cap_start(&dev_));
        std::vector<uint8_t> raw(kFrameBytes);
        for (int i = 0; i < kFrames; ++i) {
            tarvo_frame_info_t info{};
            ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, raw.data(), kFrameBytes, &info), 1);
            tarvo_frame_time_t time{};
            ASSERT_EQ(tarvo_cap_get_frame_times(&dev_, &time, 1), 1);
            ASSERT_TRUE(recorder.add_frame(raw.data(), info, time, error)) << error;
        }
        tarvo_cap_stop(&dev_);
        ASSERT_TRUE(recorder.finish(error)) << error;
    }

    TempDir dir_;
    std::shared_ptr<vcam::Camera> cam_;
    tarvo_dev_t dev_{};
};

TEST_P(RecordingCarriesItsDecode, RawFramesDecodeToTheRecordedDepth) {
    const Case &c = GetParam();
    if (!c.camera_holds_package) {
        ASSERT_NO_FATAL_FAILURE(unpack_calibration("elsewhere"));
        vcam::remove_factory_calibration(*cam_);
    }
    ASSERT_EQ(tarvo_path_cfg("camera"), 0);
    ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
    ASSERT_EQ(calculationGetEnableDRNU(), c.live_drnu);
    if (!c.camera_holds_package) {
        for (const auto &entry : fs::directory_iterator("elsewhere"))
            fs::copy_file(entry.path(), fs::path("camera") / entry.path().filename());
    }
    ASSERT_NO_FATAL_FAILURE(record("r.mcap"));
    tarvo_dev_close(&dev_);

    std::string error;
    recording::RecordedFrames recorded;
    ASSERT_TRUE(recorded.open("r.mcap", error)) << error;
    int drnu_files = 0;
    for (const recording::McapAttachment &a : recorded.contents().attachments)
        drnu_files += a.name.find("drnu") != std::string::npos;
    EXPECT_EQ(drnu_files > 0, c.live_drnu != 0);

    recording::DecodedRecording decoded;
    ASSERT_TRUE(decoded.open("r.mcap", error)) << error;
    ASSERT_TRUE(decoded.decodes_raw()) << decoded.raw_problem();
    ASSERT_EQ(decoded.size(), static_cast<size_t>(kFrames));
    for (size_t i = 0; i < decoded.size(); ++i) {
        recording::RecordedFrame live;
        recording::RecordedFrame again;
        ASSERT_TRUE(recorded.read(i, false, live, error)) << error;
        ASSERT_TRUE(decoded.read(i, false, again, error)) << error;
        ASSERT_EQ(again.distance.size(), live.distance.size());
        size_t differing = 0;
        for (size_t p = 0; p < live.distance.size(); ++p)
            differing += !same_value(again.distance[p], live.distance[p]);
        EXPECT_EQ(differing, 0u) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cameras, RecordingCarriesItsDecode, ::testing::ValuesIn(kCases),
                         [](const auto &param) {
                             std::string name = param.param.name;
                             for (char &ch : name)
                                 if (ch == ' ')
                                     ch = '_';
                             return name;
                         });

}  // namespace
}  // namespace tarvo::test
