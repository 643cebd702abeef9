// End to end: a virtual camera renders a known scene through the library's default lens, the
// library captures and decodes it, and the distances that come out are the scene's.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "drivers/epc_driver_state.h"
#include "scene_camera.h"

namespace {

namespace sc = tarvo::scene;
using tarvo::test::kScenePixels;
using tarvo::test::SceneCamera;

bool valid(float d) {
    return d < 60.0f;
}

TEST_F(SceneCamera, SphereAroundTheCameraComesBackAtItsRadius) {
    open("sphere:1.25");
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> raw = capture(info);
    ASSERT_EQ(info.frame_size, tarvo::test::kSceneFrameBytes);
    const std::vector<float> d = distance(raw, info);
    uint32_t good = 0;
    for (uint32_t i = 0; i < kScenePixels; ++i) {
        if (!valid(d[i]))
            continue;
        ++good;
        ASSERT_NEAR(d[i], 1.25, 0.01) << "pixel " << i;
    }
    EXPECT_GT(good, kScenePixels * 99 / 100);
    // The camera holds no factory calibration package, so the open reports the load failed.
    EXPECT_EQ(log_.unexpected("ERR", {"Load calibration data failed"}), std::vector<std::string>{});
}

// With read noise: every pixel near, the averages close.
TEST_F(SceneCamera, BoxFrontFaceAndWallAtTheirDepths) {
    open("box", 0.8, 2.0);
    tarvo_frame_info_t info{};
    const std::vector<uint8_t> raw = capture(info);
    const std::vector<float> d = distance(raw, info);
    // Depth along the optical axis of every pixel, from its ray through the lens.
    const sc::Camera cam;
    double face_sum = 0.0, wall_sum = 0.0;
    int face = 0, wall = 0, wall_close = 0;
    for (int v = 0; v < 240; ++v) {
        for (int u = 0; u < 320; ++u) {
            const int i = v * 320 + u;
            if (!valid(d[i]))
                continue;
            const sc::Ray ray = sc::ray_of(cam, u, v);
            const double true_z = truth().distance_m[i] * ray.z;
            const double z = d[i] * ray.z;
            if (std::fabs(true_z - 1.2) < 1e-9) {
                ++face;
                face_sum += z;
                ASSERT_NEAR(z, 1.2, 0.03) << "pixel " << i;
            } else if (std::fabs(true_z - 3.0) < 1e-9) {
                ++wall;
                wall_sum += z;
                wall_close += std::fabs(z - 3.0) < 0.2;
            }
        }
    }
    ASSERT_GT(face, 1000);
    ASSERT_GT(wall, 10000);
    EXPECT_NEAR(face_sum / face, 1.2, 0.005);
    EXPECT_NEAR(wall_sum / wall, 3.0, 0.01);
    EXPECT_GT(wall_close, wall * 95 / 100);
}

TEST_F(SceneCamera, GrayFollowsTheIntegrationTime) {
    open("wall:2", 0.8, 0.0);
    auto gray_at = [&](uint16_t us) {
        tarvo_param_item_t item{};
        item.param_id = 13;
        item.param_val_len = 2;
        item.param_val[0] = static_cast<uint8_t>(us);
        item.param_val[1] = static_cast<uint8_t>(us >> 8);
        EXPECT_TRUE(tarvo_param_batch_set(&dev_, &item, 1));
        // Frames made before the change may still be on their way.
        double mean = 0.0;
        for (int i = 0; i < 12; ++i) {
            tarvo_frame_info_t info{};
            const std::vector<uint8_t> raw = capture(info);
            std::vector<float> g(kScenePixels);
            EXPECT_EQ(tarvo_frame_get_gray(&dev_, g.data(), static_cast<int>(g.size()), raw.data(),
                                           static_cast<uint32_t>(raw.size()), &info),
                      static_cast<int>(kScenePixels));
            mean = g[120 * 320 + 160];
        }
        return mean;
    };
    const double at_700 = gray_at(700);
    const double at_350 = gray_at(350);
    EXPECT_NEAR(at_350 / at_700, 0.5, 0.02);
}

TEST_F(SceneCamera, TemperatureMonitorLogsAtTheFirstFrameThenEvery90Seconds) {
    open("wall:2");
    tarvo::epc_driver::g_driver_clock.last_temperature_log = 0;
    log_.clear();
    tarvo_frame_info_t info{};
    capture(info);
    capture(info);
    // The stream header carries 0x0190 and 0x0180 tenths of a degree.
    EXPECT_EQ(log_.count("[epc_temperature_moniter] INTERV:", "DBG"), 1u);
    EXPECT_TRUE(log_.contains("IBtemp:38.40, Tsensor:40.00, FPS:30"));
    EXPECT_EQ(log_.count("[epc_temperature_moniter] intg_time:700 us", "DBG"), 1u);
    EXPECT_EQ(log_.count("[epc_frame_get_info] frame: fmt=2, sz=614400, wxh = 320x240", "TRC"), 2u);
}

TEST_F(SceneCamera, AdapterBindsAndForgetsTheCamera) {
    open("wall:2");
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    epc_adapater_set_frame_valid(0);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 0);
    // Without the chip information the camera is not bound.
    cam_->add_fault(tarvo::vcam::Fault::fail(tarvo::vcam::kTypeDevice, tarvo::vcam::kDevParamGet,
                                             "no chip information"));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(epc_adapter_init(&dev_));
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("Get chip info failed"),
              std::string::npos);
    EXPECT_EQ(g_zr_dev, nullptr);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    cam_->clear_faults();
    ASSERT_TRUE(epc_adapter_init(&dev_));
    EXPECT_EQ(g_zr_dev, &dev_);
    epc_adapter_uninit();
    EXPECT_EQ(g_zr_dev, nullptr);
}

// Standalone use: the adapter initialises the library and opens the first camera itself.
TEST_F(SceneCamera, StandaloneAdapterOpensAndClosesTheCamera) {
    tarvo::vcam::Bus::get().reset();
    cam_ = tarvo::vcam::Bus::get().add_camera();
    tarvo::vcam::install_epc_sensor(*cam_);
    ::testing::internal::CaptureStdout();  // the library's console lines go there too
    ASSERT_TRUE(epc_adapter_init(nullptr));
    ASSERT_NE(g_zr_dev, nullptr);
    EXPECT_EQ(tarvo_dev_get_drv(g_zr_dev)->code, std::string("E2"));
    epc_adapter_uninit();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_LT(printed.find("close dev..\n"), printed.find("uninit done..\n"));
    EXPECT_NE(printed.find("uninit done..\n"), std::string::npos);
    EXPECT_EQ(g_zr_dev, nullptr);
    // No camera: nothing opened, nothing bound.
    tarvo::vcam::Bus::get().reset();
    EXPECT_FALSE(epc_adapter_init(nullptr));
    EXPECT_EQ(g_zr_dev, nullptr);
}

// Automatic exposure, limit 5 per mille, against the rendered scene: the integration time the
// driver sends changes what the camera renders next.
class AutoExposure : public SceneCamera {
  protected:
    void enable(uint16_t target) {
        auto *st = tarvo::epc_driver::state_of(tarvo_dev_get_drv(&dev_));
        ASSERT_NE(st, nullptr);
        st->filters.ae_target = target;
        st->filters.ae_on = 1;
        // The pipeline's integration time outlives a camera; this one starts at 700 us.
        configSetIntegrationTime3D(700);
    }

    // Per mille of the frame's samples at 0 or the ADC's rail.
    static double bad_per_mille(const std::vector<uint8_t> &raw) {
        size_t bad = 0;
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            const int t = raw[i] | raw[i + 1] << 8;
            bad += t == 0 || t >= 4095;
        }
        return 1000.0 * static_cast<double>(bad) / static_cast<double>(raw.size() / 2);
    }

    uint16_t camera_integration_time() const {
        const auto p = cam_->param(13);
        return p && p->size() >= 2 ? static_cast<uint16_t>((*p)[0] | (*p)[1] << 8) : 0;
    }
};

constexpr int kExposureFrames = 60;

TEST_F(AutoExposure, BrightSceneIsBroughtBelowTheLimit) {
    open("sphere:0.4", 1.0);
    enable(5);
    int frames = 0;
    double bad = 1000.0;
    for (; frames < kExposureFrames && bad > 5.0; ++frames) {
        tarvo_frame_info_t info{};
        const std::vector<uint8_t> raw = capture(info);
        bad = bad_per_mille(raw);
        if (frames == 0) {
            EXPECT_GT(bad, 100.0);  // saturated at the default 700 us
        }
        distance(raw, info);
    }
    EXPECT_LE(bad, 5.0) << "after " << frames << " frames";
    EXPECT_LT(configGetIntegrationTime3D(), 700);
    EXPECT_EQ(camera_integration_time(), configGetIntegrationTime3D());
}

TEST_F(AutoExposure, DarkSceneGrowsToTheLimit) {
    open("wall:6", 0.05);
    enable(5);
    for (int i = 0; i < kExposureFrames && camera_integration_time() < 1500; ++i) {
        tarvo_frame_info_t info{};
        const std::vector<uint8_t> raw = capture(info);
        distance(raw, info);
    }
    EXPECT_EQ(camera_integration_time(), 1500);
    EXPECT_EQ(configGetIntegrationTime3D(), 1500);
    // At the limit it stays.
    for (int i = 0; i < 3; ++i) {
        tarvo_frame_info_t info{};
        const std::vector<uint8_t> raw = capture(info);
        distance(raw, info);
    }
    EXPECT_EQ(camera_integration_time(), 1500);
}

}  // namespace
