// A virtual camera with an EPC sensor, opened and bound to the pipeline (g_zr_dev) as the EPC
// driver binds it, and the pipeline's process-wide configuration put back to that of a freshly
// identified epc660 before each test. Helpers read back what reached the camera: sensor
// register writes in order, parameters set, and what the pipeline printed.
#pragma once

#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "epc/calibration_state.h"
#include "epc/config_state.h"
#include "frames/camera_frames.h"
#include "sensor/epc_sensor.h"
#include "support/log_capture.h"
#include "support/printed.h"
#include "vcam.h"

namespace tarvo::test {

using RegWrites = std::vector<std::pair<uint8_t, uint8_t>>;

struct ParamSet {
    uint8_t id;
    std::vector<uint8_t> value;
    bool operator==(const ParamSet &) const = default;
};

// The configuration the EPC driver leaves after identifying an epc660 camera, without the
// start-up's register traffic.
inline void reset_configuration() {
    configSetPartType(2);
    configSetPartVersion(4);
    configSetIcVersion(3);
    configSetWaferID(1);
    configSetChipID(1);
    configSetDeviceAddress(0x20);
    configSetPrint(0);
    currentMode = 0;
    nDCSTOF = 4;
    isFLIM = 0;
    calculationEnableHDR(0);
    configEnableAddArg(0);
    configFindModulationFrequencies_simulate();
    configSetModulationFrequency_simulate(2);
    integrationTime2D = 700;
    integrationTime3D = 700;
    integrationTime3DHDR = 700;
    calculatorSetPixelMask(0x0FFF);
    adcOverflowSetMin(1);
    adcOverflowSetMax(4094);
    calibrateSetWidth(320);
    calibrateSetHeight(240);
    illuminationDisable();
    pruInit();
    pruSetColReduction(0);
    pruSetRowReduction(0);
}

class EpcCameraTest : public ::testing::Test {
  protected:
    void SetUp() override { open_camera({}); }

    void TearDown() override {
        g_zr_dev = nullptr;
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
    }

    void open_camera(const vcam::CameraConfig &config, uint8_t part_type = 2,
                     const vcam::CameraFramesConfig &frames = {}) {
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
        dev_ = {};
        vcam::Bus::get().reset();
        cam_ = vcam::Bus::get().add_camera(config);
        ASSERT_TRUE(cam_);
        sensor_ = vcam::install_epc_sensor(*cam_, part_type);
        frames_ = frames;
        cam_->set_stream_source(vcam::make_camera_stream(frames_));
        ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
        g_zr_dev = &dev_;
        reset_configuration();
        sensor_->clear_writes();
        cam_->clear_commands();
        log_.clear();
    }

    RegWrites writes() const { return sensor_->writes(); }

    // Parameter items of every parameter set command, in order.
    std::vector<ParamSet> params_set() const {
        std::vector<ParamSet> out;
        for (const vcam::CommandRecord &c : cam_->commands()) {
            if (c.dir != vcam::Dir::out || c.type != vcam::kTypeDevice ||
                c.value != vcam::kDevParamSet)
                continue;
            for (size_t off = 0; off + vcam::kParamItemSize <= c.data.size();
                 off += vcam::kParamItemSize) {
                const uint8_t len = c.data[off + 1];
                out.push_back({c.data[off], std::vector<uint8_t>(c.data.begin() + off + 2,
                                                                 c.data.begin() + off + 2 + len)});
            }
        }
        return out;
    }

    // Register transfers that reached the camera (reads and writes).
    size_t register_commands() const {
        size_t n = 0;
        for (const vcam::CommandRecord &c : cam_->commands())
            n += c.dir == vcam::Dir::out && c.type == vcam::kTypeRegister ? 1 : 0;
        return n;
    }

    static ParamSet time_param(uint16_t us) {
        return {13, {static_cast<uint8_t>(us), static_cast<uint8_t>(us >> 8)}};
    }
    static ParamSet mode_param(uint8_t mode) { return {10, {mode}}; }

    LogCapture log_;
    std::shared_ptr<vcam::Camera> cam_;
    std::shared_ptr<vcam::EpcSensor> sensor_;
    vcam::CameraFramesConfig frames_;
    tarvo_dev_t dev_{};
};

}  // namespace tarvo::test
