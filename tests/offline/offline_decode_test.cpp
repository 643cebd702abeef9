// Offline handles: raw frames of a virtual camera, recorded with what the camera answered
// (parameters, sensor register file, temperatures of each frame) and its calibration folder,
// decode without the camera to the very floats the live camera gave; bad descriptions and
// calls that need a camera are refused without touching the camera.
#include <tarvo/offline.h>
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "api/dev_ctx.h"
#include "calib/camera_calibration.h"
#include "drivers/epc_driver_state.h"
#include "errors/calibratable_camera.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "vcam.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;

constexpr int kPixels = 320 * 240;
constexpr uint32_t kFrameBytes = kPixels * 8;
constexpr int kFrames = 3;
constexpr uint16_t kSensorRegisters = 256;
constexpr int32_t kRecordedParams[] = {2, 3, 5, 6, 7, 12, 13, 15};
// Where the camera's calibration package lands on the live open; the prefix moves elsewhere
// before the offline decode, so only the handle's folder can serve it.
constexpr const char *kCameraFolder = "camera";
constexpr const char *kElsewhere = "elsewhere";

// One raw frame as a recording keeps it, and what the live camera decoded from it.
struct RecordedFrame {
    std::vector<uint8_t> raw;
    tarvo_frame_info_t info{};
    int16_t temp_sensor = 0;
    int16_t temp_illumination = 0;
    std::vector<float> distance;
    std::vector<float> gray;
};

// What a recording keeps of the camera.
struct Recording {
    std::string product;
    std::vector<tarvo_param_item_t> params;
    std::vector<uint32_t> registers;
    std::vector<RecordedFrame> frames;
    int drnu_mode = 0;
};

std::vector<float> decode(tarvo_dev_t *dev, bool distance, RecordedFrame &frame) {
    std::vector<float> out(kPixels);
    const auto call = distance ? tarvo_frame_get_distance : tarvo_frame_get_gray;
    EXPECT_EQ(call(dev, out.data(), kPixels, frame.raw.data(),
                   static_cast<uint32_t>(frame.raw.size()), &frame.info),
              kPixels);
    return out;
}

bool bit_identical(const std::vector<float> &a, const std::vector<float> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

epc_driver::EpcDriverState *driver_state(tarvo_dev_t *dev) {
    return epc_driver::state_of(tarvo_dev_get_drv(dev));
}

class OfflineDecode : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.enter();
        ASSERT_EQ(tarvo_path_cfg(kCameraFolder), 0);
        vcam::Bus::get().reset();
        cam_ = vcam::Bus::get().add_camera({});
        ASSERT_TRUE(cam_);
        vcam::CalibratableConfig config;
        // Errors large enough that a decode without the camera's calibration shows them.
        config.errors.pixel_error_mm = 30.0;
        config.errors.cyclic_error_mm = 40.0;
        calibratable_ = vcam::install_factory_calibrated_camera(
            cam_, config, scene::flat_wall(config.camera, 1.0, 0.8));
    }

    void TearDown() override {
        if (offline_ != nullptr)
            tarvo_dev_close(offline_);
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
        tarvo_path_cfg(".\\");
    }

    // Opens the camera, reads what a recording keeps, captures and decodes kFrames frames
    // live and closes the camera again.
    Recording record(bool undistort) {
        Recording rec;
        EXPECT_NE(tarvo_dev_open(&dev_), nullptr);
        if (dev_.ctx == nullptr)
            return rec;
        if (undistort) {
            EXPECT_TRUE(tarvo_filter_enable(&dev_, TARVO_FILTER_UNDISTORT, nullptr, 0));
        }
        rec.product = dev_.product;
        for (int32_t id : kRecordedParams) {
            tarvo_param_item_t item{};
            item.param_id = id;
            EXPECT_TRUE(tarvo_param_batch_get(&dev_, &item, 1)) << "param " << id;
            rec.params.push_back(item);
        }
        rec.registers.resize(kSensorRegisters);
        EXPECT_TRUE(tarvo_reg_batch_read(&dev_, 1, 0, rec.registers.data(), kSensorRegisters));
        rec.drnu_mode = calculationGetEnableDRNU();
        EXPECT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, 10 * TARVO_CAP_FRAME_UNIT));
        EXPECT_TRUE(tarvo_cap_start(&dev_));
        for (int i = 0; i < kFrames; ++i) {
            RecordedFrame frame;
            frame.raw.resize(kFrameBytes);
            EXPECT_EQ(tarvo_cap_get_frames(&dev_, 1, frame.raw.data(), kFrameBytes, &frame.info),
                      1);
            // The header temperatures of the frame just fetched, as the driver took them.
            const uint32_t temps = driver_state(&dev_)->header_temperatures.load();
            frame.temp_sensor = static_cast<int16_t>(temps & 0xFFFF);
            frame.temp_illumination = static_cast<int16_t>(temps >> 16);
            frame.distance = decode(&dev_, true, frame);
            frame.gray = decode(&dev_, false, frame);
            rec.frames.push_back(std::move(frame));
        }
        tarvo_cap_stop(&dev_);
        tarvo_dev_close(&dev_);
        return rec;
    }

    tarvo_offline_camera_t describe(const Recording &rec, const char *calibration_dir) {
        tarvo_offline_camera_t camera{};
        camera.product = rec.product.c_str();
        camera.params = rec.params.data();
        camera.param_count = static_cast<int>(rec.params.size());
        camera.sensor_registers = rec.registers.data();
        camera.sensor_register_count = static_cast<uint16_t>(rec.registers.size());
        camera.calibration_dir = calibration_dir;
        return camera;
    }

    // An offline handle on `rec` in offline_.
    void open_offline(const Recording &rec, const char *calibration_dir) {
        const tarvo_offline_camera_t camera = describe(rec, calibration_dir);
        offline_ = tarvo_offline_open(&camera);
        ASSERT_NE(offline_, nullptr);
    }

    std::string camera_folder() const { return (dir_.path() / kCameraFolder).string(); }

    LogCapture log_;
    TempDir dir_;
    std::shared_ptr<vcam::Camera> cam_;
    std::shared_ptr<vcam::CalibratableCamera> calibratable_;
    tarvo_dev_t dev_{};
    tarvo_dev_t *offline_ = nullptr;
};

class OfflineDecodeMatchesLive : public OfflineDecode,
                                 public ::testing::WithParamInterface<bool> {};

TEST_P(OfflineDecodeMatchesLive, BitIdenticalDistanceAndGray) {
    const bool undistort = GetParam();
    Recording rec = record(undistort);
    ASSERT_EQ(rec.frames.size(), static_cast<size_t>(kFrames));
    ASSERT_EQ(rec.drnu_mode, 2) << "the live camera decoded without its DRNU calibration";
    ASSERT_EQ(tarvo_path_cfg(kElsewhere), 0);
    const size_t commands = cam_->commands().size();

    ASSERT_NO_FATAL_FAILURE(open_offline(rec, camera_folder().c_str()));
    EXPECT_EQ(tarvo_dev_last_error(), TARVO_OK);
    EXPECT_STREQ(offline_->product, rec.product.c_str());
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    if (undistort) {
        EXPECT_TRUE(tarvo_filter_enable(offline_, TARVO_FILTER_UNDISTORT, nullptr, 0));
    }
    for (int i = 0; i < kFrames; ++i) {
        RecordedFrame &frame = rec.frames[static_cast<size_t>(i)];
        ASSERT_TRUE(
            tarvo_offline_set_temperatures(offline_, frame.temp_sensor, frame.temp_illumination));
        EXPECT_TRUE(bit_identical(decode(offline_, true, frame), frame.distance)) << "frame " << i;
        EXPECT_TRUE(bit_identical(decode(offline_, false, frame), frame.gray)) << "frame " << i;
    }
    // The camera, still on the bus, heard nothing of it; no package was asked for.
    EXPECT_EQ(cam_->commands().size(), commands);
    EXPECT_FALSE(fs::exists(fs::path(kElsewhere) / "calibration.bin"));
}

INSTANTIATE_TEST_SUITE_P(Undistort, OfflineDecodeMatchesLive, ::testing::Bool(),
                         [](const auto &p) { return p.param ? "On" : "Off"; });

// Without the camera's calibration, or with the wrong temperatures, the same raw frame gives
// other distances: the offline decode uses both, it does not just happen to agree.
TEST_F(OfflineDecode, CalibrationAndTemperaturesChangeTheResult) {
    Recording rec = record(false);
    ASSERT_FALSE(rec.frames.empty());
    RecordedFrame &frame = rec.frames.front();

    ASSERT_NO_FATAL_FAILURE(open_offline(rec, nullptr));
    EXPECT_TRUE(log_.contains("no DRNU calibration files", "WRN"));
    EXPECT_NE(calculationGetEnableDRNU(), 2);
    ASSERT_TRUE(
        tarvo_offline_set_temperatures(offline_, frame.temp_sensor, frame.temp_illumination));
    EXPECT_FALSE(bit_identical(decode(offline_, true, frame), frame.distance));
    tarvo_dev_close(offline_);

    ASSERT_NO_FATAL_FAILURE(open_offline(rec, camera_folder().c_str()));
    ASSERT_TRUE(tarvo_offline_set_temperatures(
        offline_, static_cast<int16_t>(frame.temp_sensor + 150), frame.temp_illumination));
    EXPECT_FALSE(bit_identical(decode(offline_, true, frame), frame.distance));
    ASSERT_TRUE(
        tarvo_offline_set_temperatures(offline_, frame.temp_sensor, frame.temp_illumination));
    EXPECT_TRUE(bit_identical(decode(offline_, true, frame), frame.distance));
}

// A damaged calibration file: a log line, and the handle decodes as without calibration.
TEST_F(OfflineDecode, DamagedDrnuFileFallsBack) {
    Recording rec = record(false);
    ASSERT_FALSE(rec.frames.empty());
    bool truncated = false;
    for (const auto &entry : fs::directory_iterator(camera_folder())) {
        if (entry.path().filename().string().find("images_drnu") != std::string::npos) {
            fs::resize_file(entry.path(), 1000);
            truncated = true;
        }
    }
    ASSERT_TRUE(truncated);
    ASSERT_NO_FATAL_FAILURE(open_offline(rec, camera_folder().c_str()));
    EXPECT_TRUE(log_.contains("is no whole number of", "ERR"));
    EXPECT_NE(calculationGetEnableDRNU(), 2);
    std::vector<float> metres(kPixels);
    RecordedFrame &frame = rec.frames.front();
    EXPECT_EQ(tarvo_frame_get_distance(offline_, metres.data(), kPixels, frame.raw.data(),
                                       kFrameBytes, &frame.info),
              kPixels);
}

// Descriptions that cannot stand for a camera.
TEST_F(OfflineDecode, BadDescriptionsAreRefused) {
    const Recording rec = record(false);
    ASSERT_FALSE(rec.registers.empty());
    struct Case {
        const char *name;
        std::function<void(tarvo_offline_camera_t &, std::vector<tarvo_param_item_t> &)> spoil;
        const char *logged;
    };
    const Case cases[] = {
        {"no product", [](auto &c, auto &) { c.product = nullptr; }, "no product string"},
        {"unknown chip code", [](auto &c, auto &) { c.product = "TV320-X9-1.3"; },
         "no driver for product"},
        {"not a product string", [](auto &c, auto &) { c.product = "camera"; },
         "no driver for product"},
        {"no param 7",
         [](auto &, auto &params) {
             std::erase_if(params, [](const tarvo_param_item_t &p) { return p.param_id == 7; });
         },
         "param 7"},
        {"short param 7",
         [](auto &, auto &params) {
             for (auto &p : params)
                 p.param_val_len = p.param_id == 7 ? 4 : p.param_val_len;
         },
         "param 7"},
        {"no parameters at all",
         [](auto &c, auto &) {
             c.params = nullptr;
             c.param_count = 0;
         },
         "param 7"},
        {"null params with a count", [](auto &c, auto &) { c.params = nullptr; },
         "no parameter items"},
        {"negative count", [](auto &c, auto &) { c.param_count = -1; }, "parameter count"},
        {"no register file", [](auto &c, auto &) { c.sensor_registers = nullptr; },
         "no sensor register file"},
        {"empty register file", [](auto &c, auto &) { c.sensor_register_count = 0; },
         "no sensor register file"},
        {"register file too long", [](auto &c, auto &) { c.sensor_register_count = 257; },
         "longer than the sensor"},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        std::vector<tarvo_param_item_t> params = rec.params;
        std::vector<uint32_t> registers = rec.registers;
        registers.resize(257);
        tarvo_offline_camera_t camera = describe(rec, nullptr);
        camera.params = params.data();
        camera.sensor_registers = registers.data();
        camera.sensor_register_count = kSensorRegisters;
        tc.spoil(camera, params);
        if (camera.params != nullptr)
            camera.params = params.data();
        if (camera.param_count > 0)
            camera.param_count = static_cast<int>(params.size());
        log_.clear();
        EXPECT_EQ(tarvo_offline_open(&camera), nullptr);
        EXPECT_EQ(tarvo_dev_last_error(), TARVO_ERR_DEV_OPEN_FAILED);
        EXPECT_TRUE(log_.contains(tc.logged, "ERR"));
    }
    log_.clear();
    EXPECT_EQ(tarvo_offline_open(nullptr), nullptr);
    EXPECT_TRUE(log_.contains("no camera description", "ERR"));
    // Nothing was left bound: a valid description opens.
    open_offline(rec, nullptr);
}

// The pipeline serves one EPC handle at a time, camera or offline, in either order.
TEST_F(OfflineDecode, PipelineServesOneHandleAtATime) {
    const Recording rec = record(false);
    ASSERT_FALSE(rec.registers.empty());
    const tarvo_offline_camera_t camera = describe(rec, nullptr);

    ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
    EXPECT_EQ(tarvo_offline_open(&camera), nullptr);
    EXPECT_EQ(tarvo_dev_last_error(), TARVO_ERR_DEV_PIPELINE_BOUND);
    EXPECT_EQ(g_zr_dev, &dev_);
    tarvo_dev_close(&dev_);

    offline_ = tarvo_offline_open(&camera);
    ASSERT_NE(offline_, nullptr);
    EXPECT_EQ(g_zr_dev, offline_);
    EXPECT_EQ(tarvo_offline_open(&camera), nullptr);
    EXPECT_EQ(tarvo_dev_last_error(), TARVO_ERR_DEV_PIPELINE_BOUND);
    tarvo_dev_t second{};
    EXPECT_EQ(tarvo_dev_open(&second), nullptr);
    EXPECT_EQ(tarvo_dev_last_error(), TARVO_ERR_DEV_PIPELINE_BOUND);
    tarvo_dev_close(offline_);
    offline_ = nullptr;
    EXPECT_EQ(g_zr_dev, nullptr);

    // Closed, it frees the pipeline for the camera, which works as before.
    ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
    EXPECT_EQ(g_zr_dev, &dev_);
    uint32_t reg = 0;
    EXPECT_TRUE(tarvo_reg_batch_read(&dev_, 1, 0x85, &reg, 1));
    EXPECT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, 10 * TARVO_CAP_FRAME_UNIT));
    EXPECT_TRUE(tarvo_cap_start(&dev_));
    std::vector<uint8_t> raw(kFrameBytes);
    tarvo_frame_info_t info{};
    EXPECT_EQ(tarvo_cap_get_frames(&dev_, 1, raw.data(), kFrameBytes, &info), 1);
}

// What needs a camera fails cleanly; what the description holds is answered from it.
TEST_F(OfflineDecode, HandleAnswersFromItsCopiesAndRefusesTheRest) {
    Recording rec = record(false);
    ASSERT_FALSE(rec.frames.empty());
    ASSERT_NO_FATAL_FAILURE(open_offline(rec, nullptr));
    const size_t commands = cam_->commands().size();

    tarvo_param_item_t chip{};
    chip.param_id = 7;
    ASSERT_TRUE(tarvo_param_batch_get(offline_, &chip, 1));
    EXPECT_EQ(std::memcmp(chip.param_val, rec.params[4].param_val, sizeof chip.param_val), 0);
    tarvo_param_item_t unknown{};
    unknown.param_id = 40;
    EXPECT_FALSE(tarvo_param_batch_get(offline_, &unknown, 1));
    std::vector<uint32_t> regs(kSensorRegisters);
    ASSERT_TRUE(tarvo_reg_batch_read(offline_, 1, 0, regs.data(), kSensorRegisters));
    EXPECT_EQ(regs[0x85], rec.registers[0x85]);
    EXPECT_FALSE(tarvo_reg_batch_read(offline_, 1, 0xF0, regs.data(), 0x20));
    EXPECT_FALSE(tarvo_reg_batch_read(offline_, 2, 0, regs.data(), 1));

    log_.clear();
    std::vector<uint8_t> raw(kFrameBytes);
    tarvo_frame_info_t info{};
    tarvo_param_item_t rate = rec.params[5];
    const uint32_t value = 7;
    const fs::path image = dir_.path() / "image.bin";
    { std::ofstream(image) << "data"; }
    EXPECT_FALSE(tarvo_cap_start(offline_));
    EXPECT_FALSE(tarvo_cap_is_ongoing(offline_));
    EXPECT_LE(tarvo_cap_get_frames(offline_, 1, raw.data(), kFrameBytes, &info), 0);
    EXPECT_FALSE(tarvo_cap_snapshot(offline_, raw.data(), kFrameBytes, &info));
    EXPECT_FALSE(tarvo_param_batch_set(offline_, &rate, 1));
    EXPECT_FALSE(tarvo_reg_batch_write(offline_, 1, 0x85, &value, 1));
    EXPECT_FALSE(tarvo_dev_reset(offline_, 3));
    EXPECT_EQ(tarvo_data_upload(offline_, 5, "out.bin"), -1);
    EXPECT_EQ(tarvo_data_download(offline_, image.c_str(), 5, 1, 0), -1);
    EXPECT_EQ(tarvo_firmware_upgrade(offline_, 1, 1, image.c_str()), -1);
    EXPECT_GE(log_.count("an offline handle has no camera behind it", "ERR"), 7u);
    EXPECT_FALSE(fs::exists("out.bin"));
    // The register write was refused, so the copy kept its value.
    uint32_t reg = 0;
    ASSERT_TRUE(tarvo_reg_batch_read(offline_, 1, 0x85, &reg, 1));
    EXPECT_EQ(reg, rec.registers[0x85]);
    EXPECT_EQ(cam_->commands().size(), commands);

    // A frame shorter than its information says is refused; the handle still decodes.
    RecordedFrame &frame = rec.frames.front();
    std::vector<float> metres(kPixels);
    EXPECT_EQ(tarvo_frame_get_distance(offline_, metres.data(), kPixels, frame.raw.data(),
                                       kFrameBytes / 2, &frame.info),
              0);
    tarvo_frame_info_t wrong = frame.info;
    wrong.height = 480;
    EXPECT_EQ(tarvo_frame_get_distance(offline_, metres.data(), kPixels, frame.raw.data(),
                                       kFrameBytes, &wrong),
              0);
    EXPECT_EQ(tarvo_frame_get_distance(offline_, metres.data(), kPixels, frame.raw.data(),
                                       kFrameBytes, &frame.info),
              kPixels);

    EXPECT_FALSE(tarvo_offline_set_temperatures(nullptr, 400, 384));
    tarvo_dev_close(offline_);
    offline_ = nullptr;
}

// Automatic exposure writes the integration time into the handle's copy, not to a camera.
TEST_F(OfflineDecode, PipelineWritesLandInTheCopy) {
    Recording rec = record(false);
    ASSERT_FALSE(rec.frames.empty());
    ASSERT_NO_FATAL_FAILURE(open_offline(rec, nullptr));
    const size_t commands = cam_->commands().size();
    tarvo_param_item_t before{};
    before.param_id = 13;
    ASSERT_TRUE(tarvo_param_batch_get(offline_, &before, 1));
    // A limit of 1 per mille of samples out of range: a bright wall at 1 m makes it act.
    const uint16_t limit = 1;
    ASSERT_TRUE(tarvo_filter_enable(offline_, TARVO_FILTER_AUTO_EXPOSURE, &limit, sizeof limit));
    for (RecordedFrame &frame : rec.frames)
        decode(offline_, true, frame);
    tarvo_param_item_t after{};
    after.param_id = 13;
    ASSERT_TRUE(tarvo_param_batch_get(offline_, &after, 1));
    EXPECT_NE(std::memcmp(before.param_val, after.param_val, 2), 0);
    EXPECT_EQ(after.param_val_len, before.param_val_len);
    EXPECT_EQ(cam_->commands().size(), commands);
}

}  // namespace
}  // namespace tarvo::test
