// Filter switches through the public interface: the refusals, and what each EPC filter sets in
// the driver's state.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "drivers/epc_driver_state.h"
#include "drivers/scene_camera.h"

namespace {

using tarvo::epc_driver::EpcDriverState;
using tarvo::test::SceneCamera;

class FilterTest : public SceneCamera {
  protected:
    EpcDriverState &state() { return *tarvo::epc_driver::state_of(tarvo_dev_get_drv(&dev_)); }
};

TEST_F(FilterTest, HandlesWithoutADriverAreRefused) {
    EXPECT_EQ(tarvo_filter_enable(nullptr, 5, nullptr, 0), -1);
    EXPECT_EQ(tarvo_filter_disable(nullptr, 5), -1);
    tarvo_dev_t closed{};
    EXPECT_EQ(tarvo_filter_enable(&closed, 5, nullptr, 0), -1);
    EXPECT_EQ(tarvo_filter_disable(&closed, 5), -1);
}

TEST_F(FilterTest, DriverWithoutFilterSlots) {
    tarvo::vcam::Bus::get().reset();
    tarvo::vcam::CameraConfig cfg;
    cfg.product = "TV320-T0-1.0";
    auto cam = tarvo::vcam::Bus::get().add_camera(cfg);
    ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
    const uint16_t v = 15;
    EXPECT_EQ(tarvo_filter_enable(&dev_, 5, &v, 2), -1);
    EXPECT_EQ(tarvo_filter_disable(&dev_, 5), -1);
    EXPECT_EQ(log_.count("has no filter control", "ERR"), 2u);
    std::vector<float> dist(4, 1.0f), pcl(12);
    EXPECT_EQ(tarvo_frame_get_pcl(&dev_, pcl.data(), 12, dist.data(), 4, 2, 2, nullptr), 0);
    EXPECT_TRUE(log_.contains("Cannot generate PCL: no lens parameter in driver.", "ERR"));
}

TEST_F(FilterTest, AutoExposureLimitAndReset) {
    open("wall:1.0");
    const uint16_t v = 15;
    EXPECT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_AUTO_EXPOSURE, &v, 2), 1);
    EXPECT_EQ(state().filters.ae_on.load(), 1);
    EXPECT_EQ(state().filters.ae_target.load(), 15);
    EXPECT_EQ(tarvo_filter_disable(&dev_, TARVO_FILTER_AUTO_EXPOSURE), 1);
    EXPECT_EQ(state().filters.ae_on.load(), 0);
    EXPECT_EQ(state().filters.ae_target.load(), 0);
}

TEST_F(FilterTest, SignalCheckFlagFromTheLowByte) {
    open("wall:1.0");
    const uint16_t v = 0x0100;
    EXPECT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_SIGNAL_CHECK, &v, 2), 1);
    EXPECT_EQ(state().filters.sync_check_on.load(), 1);
    EXPECT_EQ(state().filters.sync_value.load(), 256);
    EXPECT_EQ(state().filters.sync_flag.load(), 0);
    const uint16_t w = 0x0101;
    EXPECT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_SIGNAL_CHECK, &w, 2), 1);
    EXPECT_EQ(state().filters.sync_flag.load(), 1);
    EXPECT_EQ(tarvo_filter_disable(&dev_, TARVO_FILTER_SIGNAL_CHECK), 1);
    EXPECT_EQ(state().filters.sync_check_on.load(), 0);
}

TEST_F(FilterTest, ValuesOfTheOtherFilters) {
    open("wall:1.0");
    const int32_t amplitude = 45;
    EXPECT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_MIN_AMPLITUDE, &amplitude, 4), 1);
    EXPECT_EQ(state().filters.min_amplitude.load(), 45);
    EXPECT_EQ(tarvo_filter_disable(&dev_, TARVO_FILTER_MIN_AMPLITUDE), 1);
    EXPECT_EQ(state().filters.min_amp_on.load(), 0);
    const int16_t limit = -5;
    EXPECT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_TEMP_MONITOR, &limit, 2), 1);
    EXPECT_EQ(state().filters.temp_limit.load(), -5);
    EXPECT_EQ(tarvo_filter_disable(&dev_, TARVO_FILTER_TEMP_MONITOR), 1);
    EXPECT_EQ(state().filters.temp_monitor_on.load(), 0);
    const uint8_t mode = 1;
    EXPECT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_CONFIG_MODE, &mode, 1), 1);
    EXPECT_EQ(state().filters.config_mode_on.load(), 1);
    EXPECT_EQ(state().filters.config_mode.load(), 1);
}

// Ids without an effect answer 1 and change nothing.
TEST_F(FilterTest, IdsWithoutEffect) {
    open("wall:1.0");
    for (int id : {2, 3, 9, -1}) {
        EXPECT_EQ(tarvo_filter_enable(&dev_, id, nullptr, 0), 1) << id;
        EXPECT_EQ(tarvo_filter_disable(&dev_, id), 1) << id;
    }
    EXPECT_EQ(state().filters.unused_2_on.load(), 0);
    EXPECT_EQ(state().filters.unused_3_on.load(), 0);
    EXPECT_EQ(state().filters.min_amp_on.load(), 1);
    EXPECT_EQ(state().filters.temp_monitor_on.load(), 1);
}

// A filter that reads an argument refuses a missing or short one rather than read past it.
TEST_F(FilterTest, MissingOrShortArgumentsAreRefused) {
    open("wall:1.0");
    struct Case {
        int id;
        int size;  // bytes the filter reads
    };
    const Case cases[] = {{1, 1}, {4, 4}, {5, 2}, {6, 2}, {7, 2}};
    const uint8_t bytes[4] = {7, 7, 7, 7};
    for (const Case &c : cases) {
        EXPECT_EQ(tarvo_filter_enable(&dev_, c.id, nullptr, c.size), 0) << c.id;
        EXPECT_EQ(tarvo_filter_enable(&dev_, c.id, bytes, c.size - 1), 0) << c.id;
    }
    EXPECT_EQ(state().filters.ae_on.load(), 0);
    EXPECT_EQ(state().filters.sync_check_on.load(), 0);
    EXPECT_EQ(state().filters.config_mode_on.load(), 0);
    EXPECT_EQ(state().filters.min_amplitude.load(), 0);
    EXPECT_EQ(log_.count("needs a", "ERR"), 10u);
}

// Without "lens_param.txt" undistortion builds the map from the built-in parameters.
TEST_F(FilterTest, UndistortionWithoutALensFile) {
    open("wall:1.0");
    EXPECT_EQ(tarvo_filter_enable(&dev_, TARVO_FILTER_UNDISTORT, nullptr, 0), 1);
    EXPECT_EQ(state().filters.undistort_on.load(), 1);
    EXPECT_TRUE(state().lens_map.with_map([](const tarvo::LensMap *map) {
        return map != nullptr && map->record().map_w == 320 && map->record().map_h == 240;
    }));
    EXPECT_TRUE(log_.contains("Open failed, use default param", "DBG"));
    EXPECT_EQ(tarvo_filter_disable(&dev_, TARVO_FILTER_UNDISTORT), 1);
    EXPECT_EQ(state().filters.undistort_on.load(), 0);
    EXPECT_TRUE(
        state().lens_map.with_map([](const tarvo::LensMap *map) { return map != nullptr; }));
}

}  // namespace
