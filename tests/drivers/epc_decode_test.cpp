// The EPC driver's frame description and decode, on rendered and hand-made frames, with the
// pipeline configured as the driver's start-up leaves it and no camera behind it.
#include <tarvo/drv.h>
#include <tarvo/epc_drv.h>

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <optional>
#include <vector>

#include "drivers/epc_driver_state.h"
#include "drivers/epc_frame_checks.h"
#include "epc/pipeline_fixture.h"
#include "scene.h"
#include "support/log_capture.h"

namespace {

namespace sc = tarvo::scene;
namespace drv = tarvo::epc_driver;
using tarvo::test::LogCapture;
using tarvo::test::PipelineTest;

constexpr uint32_t kPixels = 320 * 240;
constexpr uint32_t kFrameBytes = kPixels * 8;

tarvo_frame_info_t dcs_info(uint16_t format = 2, uint32_t size = kFrameBytes) {
    tarvo_frame_info_t info{};
    info.frame_size = size;
    info.frame_format = format;
    info.width = 320;
    info.height = 240;
    info.pixel_size = static_cast<uint8_t>(size / kPixels);
    return info;
}

// A driver record with its own state, as init leaves it, without a device.
class EpcDecode : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        state_.work_metres.resize(drv::kMaxFramePixels);
        state_.work_phases.resize(drv::kMaxFramePixels);
        record_.priv = &state_;
        log_.emplace();
        hysteresisSetThresholds(20, 20);
    }

    int decode(int kind, std::vector<float> &out, const std::vector<uint16_t> &frame,
               const tarvo_frame_info_t &info) {
        return ops().frame_decode(&record_, out.data(), static_cast<uint32_t>(out.size() * 4), kind,
                                  frame.data(), static_cast<uint32_t>(frame.size() * 2), &info);
    }

    static const tarvo_drv_ops_t &ops() { return g_tarvo_driver_op_epc; }

    drv::EpcDriverState state_;
    tarvo_drv_t record_{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr};
    std::optional<LogCapture> log_;
};

// The quantisation bound of a rendered pixel of amplitude a: rounding the samples turns the
// phase by at most about 0.75 / a radians, plus half a step of the arctangent table.
double quantisation_bound(double a) {
    return (0.75 / a + 2 * M_PI / 30000) / (2 * M_PI) * 12.4913;
}

std::vector<uint16_t> render_wall(double z, const sc::SensorModel &model = {}) {
    return sc::render_dcs(sc::flat_wall(sc::Camera{}, z, 0.8), model);
}

TEST_F(EpcDecode, FrameInformationFromTheStreamHeader) {
    struct Case {
        const char *name;
        zr_stream_frame_info_t hdr;
        bool ok;
        uint32_t width, height;
        uint8_t pixel_size;
    };
    const Case cases[] = {
        {"default geometry", {614400, 7, 2, 0, 0, 400, 300, 0}, true, 320, 240, 8},
        {"given geometry", {153600, 1, 2, 160, 120, 0, 0, 0}, true, 160, 120, 8},
        {"size not a multiple of the pixels", {614401, 1, 2, 0, 0, 0, 0, 0}, false, 0, 0, 0},
        {"calibration frame of any size", {614401, 1, 171, 0, 0, 0, 0, 0}, true, 320, 240, 8},
    };
    for (const Case &c : cases) {
        tarvo_frame_info_t info;
        std::memset(&info, 0xAB, sizeof info);
        EXPECT_EQ(ops().frame_get_info(&record_, &info, &c.hdr), c.ok) << c.name;
        EXPECT_EQ(info.width, c.width) << c.name;
        EXPECT_EQ(info.height, c.height) << c.name;
        EXPECT_EQ(info.pixel_size, c.pixel_size) << c.name;
        EXPECT_EQ(info.reserved0, 0) << c.name;
        EXPECT_EQ(info.reserved1, 0) << c.name;
        EXPECT_EQ(info.frame_size, c.ok ? c.hdr.frlen : 0u) << c.name;
        EXPECT_EQ(state_.frame_valid.load(), 1) << c.name;
    }
    // The newest header's temperatures reach the pipeline with the next decode.
    EXPECT_EQ(state_.header_temperatures.load(), 0u);
    ops().frame_get_info(&record_, nullptr, &cases[0].hdr);
    tarvo_frame_info_t info;
    ops().frame_get_info(&record_, &info, &cases[0].hdr);
    std::vector<float> out(kPixels);
    ASSERT_EQ(decode(1, out, render_wall(2.0), dcs_info()), static_cast<int>(kFrameBytes / 2));
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), 400);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), 300);
}

TEST_F(EpcDecode, RenderedWallComesBackAsDistanceAndAmplitude) {
    const sc::Scene wall = sc::flat_wall(sc::Camera{}, 2.0, 0.8);
    sc::SensorModel model;
    const std::vector<uint16_t> frame = sc::render_dcs(wall, model);
    std::vector<float> dist(kPixels), gray(kPixels);
    ASSERT_EQ(decode(1, dist, frame, dcs_info()), static_cast<int>(kPixels * 4));
    ASSERT_EQ(decode(2, gray, frame, dcs_info()), static_cast<int>(kPixels * 4));
    for (uint32_t i = 0; i < kPixels; ++i) {
        const double a = sc::amplitude(model, wall.distance_m[i], 0.8);
        ASSERT_NEAR(dist[i], wall.distance_m[i], quantisation_bound(a)) << "pixel " << i;
        ASSERT_NEAR(gray[i], a, 2.0) << "pixel " << i;
    }
    EXPECT_EQ(state_.frame_valid.load(), 1);
    EXPECT_TRUE(log_->unexpected("ERR").empty());
}

TEST_F(EpcDecode, RefusedFramesAndLengths) {
    const std::vector<uint16_t> frame = render_wall(2.0);
    struct Case {
        const char *name;
        int kind;
        tarvo_frame_info_t info;
        uint32_t dst_floats;
        uint32_t src_bytes;
        bool invalidates;
        const char *line;
    };
    const Case cases[] = {
        {"destination one byte short", 1, dcs_info(), kPixels, kFrameBytes, true,
         "wrong data len: src=614400, dst=307199"},
        {"source shorter than four planes", 1, dcs_info(), kPixels, kFrameBytes - 2, true,
         "wrong data len"},
        {"unknown kind", 3, dcs_info(), kPixels, kFrameBytes, true, nullptr},
        {"calibration data frame", 2, dcs_info(171), kPixels, kFrameBytes, true,
         "Calibration data frame,size:614400"},
        {"format 8 as gray", 2, dcs_info(8), kPixels, kFrameBytes, false, nullptr},
        {"format 8 as distance", 1, dcs_info(8), kPixels, kFrameBytes, true, nullptr},
        {"format 5", 1, dcs_info(5), kPixels, kFrameBytes, true, nullptr},
        {"gray frame as distance", 1, dcs_info(0, kPixels * 2), kPixels, kPixels * 2, true,
         nullptr},
        {"frame larger than the sensor", 1,
         [] {
             tarvo_frame_info_t i = dcs_info();
             i.width = 400;
             i.height = 400;
             i.frame_size = 400 * 400 * 8;
             return i;
         }(),
         400 * 400, kFrameBytes, true, "wrong data len"},
    };
    for (const Case &c : cases) {
        state_.frame_valid = 1;
        log_->clear();
        std::vector<float> out(c.dst_floats);
        const uint32_t dst_bytes =
            static_cast<uint32_t>(out.size() * 4) - (c.name[0] == 'd' ? 1 : 0);
        const int r = ops().frame_decode(&record_, out.data(), dst_bytes, c.kind, frame.data(),
                                         c.src_bytes, &c.info);
        EXPECT_EQ(r, -1) << c.name;
        EXPECT_EQ(state_.frame_valid.load(), c.invalidates ? 0 : 1) << c.name;
        if (c.line != nullptr) {
            EXPECT_TRUE(log_->contains(c.line)) << c.name;
        }
    }
}

TEST_F(EpcDecode, GrayFrameGivesItsSamplesInImageOrder) {
    const uint32_t w = 4, h = 4;
    // Read-out lines: 0 -> row 1, 1 -> row 2, 2 -> row 0, 3 -> row 3.
    std::vector<uint16_t> frame(w * h);
    for (uint32_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint16_t>(0xF000 | (100 * (i / w) + i % w));
    tarvo_frame_info_t info = dcs_info(0, w * h * 2);
    info.width = w;
    info.height = h;
    std::vector<float> out(w * h);
    ASSERT_EQ(decode(2, out, frame, info), static_cast<int>(w * h * 4));
    const int line_of_row[4] = {2, 0, 1, 3};
    for (uint32_t row = 0; row < h; ++row) {
        for (uint32_t col = 0; col < w; ++col)
            EXPECT_EQ(out[row * w + col], 100.0f * line_of_row[row] + col);
    }
}

TEST(EpcFrameChecks, ExposureDecisions) {
    struct Case {
        const char *name;
        drv::ExposureCounts counts;
        uint16_t target;
        bool hdr;
        drv::ExposureStep::Kind kind;
        int amount;
    };
    using K = drv::ExposureStep::Kind;
    const Case cases[] = {
        {"2.5 % at the rail, target 5", {1000, 25, 0, 0}, 5, false, K::decrease, 20},
        {"9.5 % at the rail", {1000, 95, 0, 0}, 5, false, K::decrease, 90},
        {"just above the target", {1000, 6, 0, 0}, 5, false, K::decrease, 10},
        {"at the target", {1000, 5, 0, 0}, 5, false, K::decrease, 10},
        {"below the target, many high", {10000, 1, 0, 600}, 5, false, K::decrease, 10},
        {"in range, few high and low", {10000, 0, 100, 5}, 5, false, K::increase, 50},
        {"in range, many low", {10000, 0, 600, 5}, 5, false, K::none, 0},
        {"in range, some high", {10000, 0, 0, 100}, 5, false, K::none, 0},
        {"HDR: no decrease", {1000, 95, 0, 0}, 5, true, K::none, 0},
        {"HDR: no increase", {10000, 0, 0, 0}, 5, true, K::none, 0},
        {"empty frame", {0, 0, 0, 0}, 5, false, K::none, 0},
    };
    for (const Case &c : cases) {
        const drv::ExposureStep s = drv::decide_exposure(c.counts, c.target, c.hdr);
        EXPECT_EQ(s.kind, c.kind) << c.name;
        EXPECT_EQ(s.amount, c.amount) << c.name;
    }
    EXPECT_EQ(drv::decreased_integration_time(55, 10), 50);
    EXPECT_EQ(drv::decreased_integration_time(700, 20), 680);
    EXPECT_EQ(drv::decreased_integration_time(5, 10), 50);
    const uint16_t samples[] = {0, 1, 2, 511, 512, 3584, 3585, 4094, 4095, 9000};
    const drv::ExposureCounts c = drv::count_exposure(samples);
    EXPECT_EQ(c.total, 10u);
    EXPECT_EQ(c.bad, 3u);
    EXPECT_EQ(c.low, 2u);
    EXPECT_EQ(c.high, 2u);
}

TEST(EpcFrameChecks, HdrPairMerge) {
    struct Case {
        uint16_t upper, lower, merged;
    };
    const Case cases[] = {{1200, 65400, 1200},   {65400, 65500, 65500}, {65500, 65300, 65300},
                          {65300, 65500, 65300}, {1200, 1500, 1500},    {65400, 800, 800}};
    for (const Case &c : cases)
        EXPECT_EQ(drv::merge_hdr_pair(c.upper, c.lower), c.merged) << c.upper << " " << c.lower;
    // Three rows: the pair merges, the odd last row stays.
    uint16_t image[3][2] = {{100, 65300}, {200, 65500}, {7, 65400}};
    drv::merge_hdr_rows(&image[0][0], 2, 3);
    EXPECT_EQ(image[0][0], 200);
    EXPECT_EQ(image[1][0], 200);
    EXPECT_EQ(image[0][1], 65300);
    EXPECT_EQ(image[1][1], 65300);
    EXPECT_EQ(image[2][0], 7);
    EXPECT_EQ(image[2][1], 65400);
}

TEST_F(EpcDecode, AutomaticExposureStepsTheIntegrationTime) {
    state_.filters.ae_on = 1;
    state_.filters.ae_target = 5;
    integrationTime3D = 700;
    currentMode = 0;  // as the start-up leaves it: only automatic exposure tells the camera
    std::vector<uint16_t> frame(kFrameBytes / 2, 2048);
    // 2.5 % of the samples at the rail: 25 per mille, a step of 20 us.
    for (size_t i = 0; i < frame.size() / 40; ++i)
        frame[i * 40] = 4095;
    std::vector<float> out(kPixels);
    decode(1, out, frame, dcs_info());
    EXPECT_EQ(configGetIntegrationTime3D(), 680);
    ASSERT_EQ(sensor_.params_set.size(), 1u);
    const tarvo_param_item_t &item = sensor_.params_set[0];
    EXPECT_EQ(item.param_id, 13);
    EXPECT_EQ(item.param_val_len, 0);
    EXPECT_EQ(item.param_val[0] | item.param_val[1] << 8, 680);
    // A dim frame: grows by 50 us, up to 1500 us and no further.
    std::fill(frame.begin(), frame.end(), 2048);
    integrationTime3D = 1450;
    decode(1, out, frame, dcs_info());
    EXPECT_EQ(configGetIntegrationTime3D(), 1500);
    decode(1, out, frame, dcs_info());
    EXPECT_EQ(configGetIntegrationTime3D(), 1500);
    EXPECT_EQ(sensor_.params_set.size(), 2u);
    // Off: nothing changes.
    state_.filters.ae_on = 0;
    integrationTime3D = 700;
    decode(1, out, frame, dcs_info());
    EXPECT_EQ(configGetIntegrationTime3D(), 700);
}

TEST_F(EpcDecode, SignalCheckRefusesFramesWithoutTheCameraIllumination) {
    state_.filters.sync_check_on = 1;
    state_.filters.sync_flag = 1;
    state_.filters.sync_value = 0x0102;
    std::vector<float> out(kPixels);
    // The camera's own light keeps DCS0 + DCS2 at twice the mid-scale; strong ambient light
    // lifts every sample.
    EXPECT_EQ(decode(1, out, render_wall(2.0), dcs_info()), static_cast<int>(kPixels * 4));
    EXPECT_EQ(state_.frame_valid.load(), 1);
    EXPECT_TRUE(sensor_.params_set.empty());

    sc::SensorModel lit;
    lit.ambient = 200;
    const std::vector<uint16_t> frame = render_wall(2.0, lit);
    drv::g_driver_clock.last_sync_send = 0;
    EXPECT_EQ(decode(1, out, frame, dcs_info()), -1);
    EXPECT_EQ(state_.frame_valid.load(), 0);
    ASSERT_EQ(sensor_.params_set.size(), 1u);
    const tarvo_param_item_t &item = sensor_.params_set[0];
    EXPECT_EQ(item.param_id, 17);
    EXPECT_EQ(item.param_val_len, 1);
    EXPECT_EQ(item.param_val[0], 1);
    EXPECT_EQ(item.param_val[1], 0x02);
    EXPECT_EQ(item.param_val[2], 0x01);
    // Within the second of that send the frame is decoded, and marked invalid.
    drv::g_driver_clock.last_sync_send = std::time(nullptr) + 3600;
    state_.frame_valid = 1;
    EXPECT_EQ(decode(1, out, frame, dcs_info()), static_cast<int>(kPixels * 4));
    EXPECT_EQ(state_.frame_valid.load(), 0);
    EXPECT_EQ(sensor_.params_set.size(), 1u);
    drv::g_driver_clock.last_sync_send = 0;
}

// HDR: row pairs alternate between a long and a short integration time. A near sphere
// saturates the long rows; the merged image takes each pair's valid, larger phase.
TEST_F(EpcDecode, HdrMergesRowPairsOfTwoExposures) {
    const sc::Camera cam;
    const sc::Scene scene = sc::sphere(cam, 3.0, 0.9, 0.3, 1.0, 0.6);
    sc::SensorModel longer;
    longer.integration_us = 1400;
    sc::SensorModel shorter;
    shorter.integration_us = 200;
    const std::vector<uint16_t> a = sc::render_dcs(scene, longer);
    const std::vector<uint16_t> b = sc::render_dcs(scene, shorter);
    std::vector<uint16_t> frame(a.size());
    for (int k = 0; k < 4; ++k)
        for (int line = 0; line < 240; ++line) {
            const bool odd_row = sc::readout_row(line, 240, 2) % 2 == 1;
            const size_t at = k * kPixels + line * 320;
            std::copy_n((odd_row ? b : a).begin() + at, 320, frame.begin() + at);
        }
    adcOverflowEnable(1);
    std::vector<float> plain(kPixels), merged(kPixels);
    decode(1, plain, frame, dcs_info());
    state_.filters.hdr_on = 1;
    ASSERT_EQ(decode(1, merged, frame, dcs_info()), static_cast<int>(kPixels * 4));
    int saturated = 0;
    for (int row = 0; row + 1 < 240; row += 2) {
        for (int col = 0; col < 320; ++col) {
            const int up = row * 320 + col;
            const int down = up + 320;
            EXPECT_EQ(merged[up], merged[down]);
            saturated += plain[up] == 65.5f;
            if (plain[down] < 60.0f) {
                ASSERT_LT(merged[up], 60.0f) << "pixel " << up;
                const double weak = std::min(sc::amplitude(shorter, scene.distance_m[up], 1.0),
                                             sc::amplitude(shorter, scene.distance_m[down], 1.0));
                const double d_up = scene.distance_m[up];
                const double d_down = scene.distance_m[down];
                EXPECT_NEAR(merged[up], std::max(d_up, d_down),
                            quantisation_bound(weak * 0.6) + std::fabs(d_up - d_down))
                    << "pixel " << up;
            }
        }
    }
    EXPECT_GT(saturated, 500);
}

TEST(EpcAdapter, FrameValidWithoutABoundCamera) {
    g_zr_dev = nullptr;
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    epc_adapater_set_frame_valid(0);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
}

}  // namespace
