// Rendered scenes through the distance calculation: the metres that come out must be the
// distances that went in, within what the sensor's quantisation and noise allow.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "pipeline_fixture.h"
#include "scene.h"

namespace {

namespace sc = tarvo::scene;
using tarvo::test::PipelineTest;

// Expected metres for a true distance: wrapped into the unambiguous range.
double wrapped(double d, double f_khz) {
    const double range = 149896229.0 / (f_khz * 1000.0);
    return std::fmod(d, range);
}

struct SceneCase {
    std::string name;
    sc::Scene scene;
    double f_khz;
    int freq_index;
    double gain;  // amplitude of a white target at 1 m after 1 ms
};

class SceneDistance : public PipelineTest {
  protected:
    // Runs the fast route on a rendered frame; returns metres per pixel (row-major).
    std::vector<float> metres(const sc::Scene &scene, const sc::SensorModel &model) {
        const std::vector<uint16_t> frame = sc::render_dcs(scene, model);
        const int n = scene.width * scene.height;
        std::vector<float> out(static_cast<size_t>(n));
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(2, out.data(), frame.data(), n), n);
        return out;
    }
};

// Without noise the error comes from the 12-bit samples alone: rounding each to an integer
// turns the phase by at most about 0.75 / A radians, plus half a step of the arctangent table.
TEST_F(SceneDistance, NoiseFreeScenesWithinTheQuantisationBound) {
    const sc::Camera cam;
    const SceneCase cases[] = {
        {"wall 2 m", sc::flat_wall(cam, 2.0, 0.8), 12000, 2, 1200},
        {"wall 9 m at 24 MHz, wrapped", sc::flat_wall(cam, 9.0, 1.0), 24000, 1, 12000},
        {"tilted plane 40 deg", sc::tilted_plane(cam, 2.5, 40.0, 0.9), 12000, 2, 1200},
        {"box before a wall", sc::box(cam, 3.0, 1.5, 0.3, 0.2, 0.4, 0.6, 0.9), 12000, 2, 1200},
        {"sphere before a wall", sc::sphere(cam, 3.5, 2.0, 0.5, 0.7, 0.9), 12000, 2, 1200},
        {"wall 1.2 m at 36 MHz", sc::flat_wall(cam, 1.2, 0.5), 36000, 0, 1200},
    };
    for (const SceneCase &c : cases) {
        configSetModulationFrequency_simulate(c.freq_index);
        ASSERT_EQ(configGetModulationFrequency(), static_cast<int>(c.f_khz));
        sc::SensorModel model;
        model.modulation_khz = c.f_khz;
        model.amplitude_at_1m = c.gain;
        const double range = 149896229.0 / (c.f_khz * 1000.0);
        const std::vector<float> out = metres(c.scene, model);
        double worst_ratio = 0.0;
        double bias = 0.0;
        for (size_t i = 0; i < out.size(); ++i) {
            const double d = c.scene.distance_m[i];
            const double truth = wrapped(d, c.f_khz);
            double err = out[i] - truth;
            // A distance right at the end of the range may come out just past 0.
            if (err < -range / 2)
                err += range;
            const double a = sc::amplitude(model, d, c.scene.reflectivity[i]);
            // Below one count of amplitude rounding may turn the phase anywhere: the plane's
            // far edge, seen at a grazing angle through the lens's wide corners.
            if (a < 1.0)
                continue;
            const double bound = (0.75 / a + 2 * M_PI / 30000) / (2 * M_PI) * range;
            worst_ratio = std::max(worst_ratio, std::fabs(err) / bound);
            bias += err;
        }
        EXPECT_LE(worst_ratio, 1.0) << c.name;
        // Rounding errors cancel over the image: no systematic offset.
        EXPECT_LT(std::fabs(bias / out.size()), 0.001) << c.name;
    }
}

TEST_F(SceneDistance, NoisyWallAveragesToTheTruth) {
    const sc::Camera cam;
    const sc::Scene wall = sc::flat_wall(cam, 2.0, 0.8);
    sc::SensorModel model;
    model.noise = 4.0;
    model.ambient = 300.0;
    model.shot_noise = 0.2;
    const std::vector<float> out = metres(wall, model);
    double sum = 0.0;
    double worst = 0.0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double err = out[i] - wall.distance_m[i];
        sum += err;
        worst = std::max(worst, std::fabs(err));
    }
    EXPECT_LT(std::fabs(sum / out.size()), 0.003);
    EXPECT_LT(worst, 0.5);
}

TEST_F(SceneDistance, AmplitudeFollowsTheModel) {
    const sc::Camera cam;
    const sc::Scene sphere = sc::sphere(cam, 3.0, 1.6, 0.4, 1.0, 0.5);
    sc::SensorModel model;
    const std::vector<uint16_t> frame = sc::render_dcs(sphere, model);
    const int n = cam.width * cam.height;
    std::vector<float> amp(static_cast<size_t>(n));
    calcDefPiDelayGetDataSorted_opt(3, amp.data(), frame.data(), n);
    for (int i = 0; i < n; ++i)
        ASSERT_NEAR(amp[i], sc::amplitude(model, sphere.distance_m[i], sphere.reflectivity[i]), 2.0)
            << "pixel " << i;
}

TEST_F(SceneDistance, SaturatedAndDarkPixelsCarryCodes) {
    const sc::Camera cam;
    // A bright sphere 0.45 m away drives its samples into the ADC's rails; the wall behind it
    // is weak.
    const sc::Scene scene = sc::sphere(cam, 4.0, 0.8, 0.35, 1.0, 0.3);
    sc::SensorModel model;
    model.integration_us = 1500.0;
    hysteresisSetThresholds(30, 5);
    const std::vector<float> out = metres(scene, model);
    int clipped = 0;
    int dark = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double a = sc::amplitude(model, scene.distance_m[i], scene.reflectivity[i]);
        // Above 2048 / cos 45 deg every phase drives some sample into a rail.
        if (a > 2900.0) {
            ASSERT_FLOAT_EQ(out[i], 65.5f) << "pixel " << i;
            ++clipped;
        } else if (a < 29.0) {
            ASSERT_FLOAT_EQ(out[i], 65.3f) << "pixel " << i;
            ++dark;
        } else if (a > 31.0 && a < 2000.0) {
            ASSERT_NEAR(out[i], scene.distance_m[i], 0.75 / a / (2 * M_PI) * 12.4913 + 0.001)
                << "pixel " << i;
        }
    }
    EXPECT_GT(clipped, 100);
    EXPECT_GT(dark, 100);
}

TEST_F(SceneDistance, SortedRouteMatchesTheFastRoute) {
    const sc::Camera cam;
    const sc::Scene scene = sc::box(cam, 3.0, 1.2, 0.4, 0.3, 0.5, 0.7, 0.9);
    sc::SensorModel model;
    model.noise = 3.0;
    const std::vector<uint16_t> frame = sc::render_dcs(scene, model);
    const int n = cam.width * cam.height;
    adcOverflowEnable(1);
    std::vector<uint16_t> fast(static_cast<size_t>(n));
    calcDefPiDelayGetDataSorted_opt(0, fast.data(), frame.data(), n);
    hand_over(frame);
    uint16_t *sorted = nullptr;
    ASSERT_EQ(calculationDistanceSorted(&sorted), n);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(sorted[i], fast[i]) << "pixel " << i;
}

TEST(SceneRenderer, ReadOutOrderMatchesTheSensor) {
    // Line 0 of a 240-row frame is image row 119, line 1 row 120, line 2 row 118.
    EXPECT_EQ(sc::readout_row(0, 240, 2), 119);
    EXPECT_EQ(sc::readout_row(1, 240, 2), 120);
    EXPECT_EQ(sc::readout_row(2, 240, 2), 118);
    EXPECT_EQ(sc::readout_row(239, 240, 2), 239);
    EXPECT_EQ(sc::readout_row(238, 240, 2), 0);
    EXPECT_EQ(sc::readout_row(0, 60, 1), 59);
}

}  // namespace
