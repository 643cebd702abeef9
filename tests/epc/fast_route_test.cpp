// The fast distance route on hand-computed pixels: exact phases, amplitudes and codes, the
// read-out line order, and the distance-image (DRNU) correction.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "epc/calc_kernel.h"
#include "kernel_tiers.h"
#include "pipeline_fixture.h"

namespace {

using tarvo::test::PipelineTest;

TEST(Atan2Lut, AxesDiagonalsAndOctants) {
    struct Case {
        int y, x, expected;
    };
    const Case cases[] = {
        {0, 5, 0},      {0, -5, 15000},    {5, 5, 3750},    {5, 0, 7500},
        {-5, 0, 22500}, {0, 0, 0},         {-5, -5, 18750}, {5, -5, 11250},
        {-5, 5, 26250}, {800, 1000, 3222}, {4095, 1, 7499}, {-1, 4095, 29999},
    };
    for (const Case &c : cases)
        EXPECT_EQ(atan2_lut(c.y, c.x), c.expected) << c.y << ", " << c.x;
}

TEST(Atan2Lut, FollowsTheTrueAngleAllAround) {
    for (int deg10 = 0; deg10 < 3600; ++deg10) {
        const double a = deg10 * M_PI / 1800.0;
        const int y = static_cast<int>(std::lround(3000 * std::sin(a)));
        const int x = static_cast<int>(std::lround(3000 * std::cos(a)));
        const double truth = std::fmod(std::atan2(y, x) + 2 * M_PI, 2 * M_PI) * 30000 / (2 * M_PI);
        double err = std::fabs(atan2_lut(y, x) - truth);
        err = std::min(err, 30000 - err);
        ASSERT_LT(err, 2.0) << "angle " << deg10 / 10.0;
    }
}

TEST(Atan2Lut, ExtremeArgumentsStayInRange) {
    const int cases[][2] = {{INT32_MIN, 1},
                            {1, INT32_MIN},
                            {INT32_MAX, INT32_MAX},
                            {INT32_MIN, INT32_MIN},
                            {1 << 20, -(1 << 20)}};
    for (const auto &c : cases) {
        const int v = atan2_lut(c[0], c[1]);
        EXPECT_GE(v, 0);
        EXPECT_LE(v, 30000);
    }
}

// Every pixel of the route against the arithmetic written out per pixel, over a dense grid
// of sample differences covering all octants, both axes and the hysteresis thresholds.
class LineKernels : public tarvo::test::KernelTierTest {};

TEST_P(LineKernels, MatchThePerPixelArithmetic) {
    pruSetSize(320, 120);
    const int n = 320 * 240;
    hysteresisSetThresholds(400, 10);
    const float metre_factor = static_cast<float>(149896229.0 / (12000 * 1000.0));
    std::vector<uint16_t> src(4 * n);
    std::vector<uint16_t> phase(n), amp(n);
    std::vector<float> metres(n), famp(n);
    std::vector<int> as(n), bs(n);
    int filled = 0;
    auto run_frame = [&]() {
        calcDefPiDelayGetDataSorted_opt(1, amp.data(), src.data(), n);
        calcDefPiDelayGetDataSorted_opt(3, famp.data(), src.data(), n);
        // The hysteresis state starts cleared for each frame, as in the reference below.
        hysteresisSetThresholds(400, 10);
        calcDefPiDelayGetDataSorted_opt(0, phase.data(), src.data(), n);
        hysteresisSetThresholds(400, 10);
        calcDefPiDelayGetDataSorted_opt(2, metres.data(), src.data(), n);
        for (int p = 0; p < filled; ++p) {
            const int a = as[p], b = bs[p];
            const int line = p / 320;
            const int q = (line % 2 == 0 ? 119 - line / 2 : 120 + line / 2) * 320 + p % 320;
            const int w = a * a + b * b;
            const int expected_amp = static_cast<int>(std::sqrt(static_cast<float>(w)) * 0.5f);
            const int expected_phase = w / 4 >= 160000 ? (atan2_lut(a, b) + 315000) % 30000 : 65300;
            ASSERT_EQ(amp[q], expected_amp) << a << ", " << b;
            ASSERT_EQ(famp[q], static_cast<float>(expected_amp));
            ASSERT_EQ(phase[q], expected_phase) << a << ", " << b;
            const float expected_metres =
                expected_phase == 65300
                    ? 65.3f
                    : static_cast<float>(expected_phase) * metre_factor / 30000.0f;
            ASSERT_EQ(metres[q], expected_metres) << a << ", " << b;
        }
        filled = 0;
    };
    for (int a = -4090; a <= 4090; a += 5) {
        for (int b = -4090; b <= 4090; b += 5) {
            const int d0 = 2048 - b / 2;
            const int d1 = 2048 - a / 2;
            src[filled] = static_cast<uint16_t>(d0);
            src[n + filled] = static_cast<uint16_t>(d1);
            src[2 * n + filled] = static_cast<uint16_t>(d0 + b);
            src[3 * n + filled] = static_cast<uint16_t>(d1 + a);
            as[filled] = a;
            bs[filled] = b;
            if (++filled == n)
                run_frame();
        }
    }
    if (filled > 0) {
        std::fill(src.begin() + filled, src.begin() + n, 2048);
        run_frame();
    }
}

// Samples of pixel p of an n-pixel frame at the given angle (radians) and amplitude.
void set_pixel_angle(std::vector<uint16_t> &src, int n, int p, double angle, int amp) {
    src[p] = static_cast<uint16_t>(2048 - amp * std::cos(angle) / 2);
    src[2 * n + p] = static_cast<uint16_t>(src[p] + amp * std::cos(angle));
    src[n + p] = static_cast<uint16_t>(2048 - amp * std::sin(angle) / 2);
    src[3 * n + p] = static_cast<uint16_t>(src[n + p] + amp * std::sin(angle));
}

// Angle whose phase (after the route's half-period shift) is about `phase`.
double angle_of_phase(double phase) {
    return (phase - 15000.0) * 2.0 * M_PI / 30000.0;
}

struct DrnuTally {
    int interpolated = 0;
    int flat = 0;
    int extended = 0;
};

// Runs a 320 x 240 frame through the route as 16-bit phases and as metres, with the distance
// images of c steps already loaded and the correction on (use_distance_image_drnu_with_
// temperature), and checks every pixel against the correction written out per pixel.
DrnuTally expect_drnu_per_pixel(const std::vector<uint16_t> &src, int c) {
    const int n = 320 * 240;
    std::vector<uint16_t> out(n);
    std::vector<float> metres(n);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, out.data(), src.data(), n), n);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(2, metres.data(), src.data(), n), n);

    const float step = static_cast<float>(298.2 * 30000.0 / 12491);
    const float t = static_cast<float>(-37) * static_cast<float>(30000.0 / 12491 * 1.7) +
                    static_cast<float>(12) * static_cast<float>(30000.0 / 12491 * 1.29);
    const float metre_factor = static_cast<float>(149896229.0 / (12000 * 1000.0));
    const int offset = -1234 + 8364;
    DrnuTally tally;
    for (int p = 0; p < n; ++p) {
        const int line = p / 320;
        const int q = (line % 2 == 0 ? 119 - line / 2 : 120 + line / 2) * 320 + p % 320;
        const int d0 = src[p], d1 = src[n + p], d2 = src[2 * n + p], d3 = src[3 * n + p];
        int expected;
        float expected_m;
        if (d0 == 0 || d1 == 0 || d2 == 0 || d3 == 0) {
            expected = 65500;
            expected_m = 65.5f;
        } else {
            const int phase = (atan2_lut(d3 - d1, d2 - d0) + 315000) % 30000;
            const float d = static_cast<float>(phase) - t;
            const int m0 = distImagesDRNUMin[1][q], m1 = distImagesDRNUMax[1][q];
            if (d <= static_cast<float>(m0)) {
                expected = 65300;
                expected_m = 65.3f;
            } else if (d >= static_cast<float>(m1)) {
                expected = 65500;
                expected_m = 65.5f;
            } else {
                int L = static_cast<int>((d - static_cast<float>(m0)) * static_cast<float>(c) /
                                         static_cast<float>(m1 - m0));
                tally.extended += L > c - 2;
                L = std::min(L, c - 2);
                const int lo = distImagesDRNU[1][q * c + L];
                const int hi = distImagesDRNU[1][q * c + L + 1];
                ++tally.interpolated;
                tally.flat += hi == lo;
                const float fraction =
                    hi == lo ? 0.0f
                             : (d - static_cast<float>(lo)) * step / static_cast<float>(hi - lo);
                const int value =
                    offset +
                    static_cast<int>(static_cast<double>(fraction + step * static_cast<float>(L)) +
                                     0.5);
                expected = std::clamp(value, 0, 65299);
                expected_m = static_cast<float>(value) * metre_factor / 30000.0f;
            }
        }
        EXPECT_EQ(out[q], expected) << "pixel " << p;
        EXPECT_EQ(metres[q], expected_m) << "pixel " << p;
        if (out[q] != expected || metres[q] != expected_m)
            break;
    }
    return tally;
}

// The distance-image correction of every pixel against the table step written out per pixel,
// with random tables (some steps flat, some pixels without span) and random phases.
TEST_P(LineKernels, DrnuMatchesThePerPixelArithmetic) {
    pruSetSize(320, 120);
    const int n = 320 * 240;
    const int c = 7;
    calibrateSetNumDistances(c);
    gStepCalMM = 298.2;
    tarvo::test::use_distance_image_drnu_with_temperature();
    uint32_t seed = 99;
    auto next = [&seed](int range) {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<int>((seed >> 8) % static_cast<uint32_t>(range));
    };
    for (int q = 0; q < n; ++q) {
        uint16_t lo = 0xFFFF, hi = 0;
        int v = next(20000);
        for (int s = 0; s < c; ++s) {
            v += next(8) == 0 ? 0 : next(3000);  // some steps flat
            if (next(50) == 0)
                v = next(30000);  // and some out of order
            const uint16_t e = static_cast<uint16_t>(std::min(v, 65535));
            distImagesDRNU[1][q * c + s] = e;
            lo = std::min(lo, e);
            hi = std::max(hi, e);
        }
        distImagesDRNUMin[1][q] = lo;
        distImagesDRNUMax[1][q] = next(30) == 0 ? lo : hi;  // a pixel without span
    }
    calibrateDistanceImagesChanged();
    std::vector<uint16_t> src(4 * n);
    for (int p = 0; p < n; ++p)
        set_pixel_angle(src, n, p, next(62832) / 10000.0, 200 + next(1500));
    src[5] = 0;  // a rail sample
    const DrnuTally tally = expect_drnu_per_pixel(src, c);
    EXPECT_GT(tally.interpolated, 10000);
    EXPECT_GT(tally.flat, 100);
    EXPECT_GT(tally.extended, 100);
}

// Smooth scenes, where neighbouring pixels share their table steps, with one table for every
// pixel: the phase sweeps the frame from `from` to `to`. The cases reach corrected distances
// below half a unit, far below 0 (a bracket above the distance) and beyond 2^23, where floats
// are whole numbers (a bracket one unit wide far below it), as well as every phase of an evenly
// stepped table and of a table with a single bracket.
TEST_P(LineKernels, DrnuOfSmoothScenesMatchesThePerPixelArithmetic) {
    struct Case {
        const char *name;
        std::vector<uint16_t> steps;
        double from, to;
    };
    std::vector<uint16_t> even(30);
    for (int s = 0; s < 30; ++s)
        even[s] = static_cast<uint16_t>(8000 + 716 * s);
    const Case cases[] = {
        {"every phase", even, 0, 30000},
        {"near the calibrated minimum", even, 7880, 8100},
        {"bracket above the distance", {100, 25000, 26000, 30000}, 9000, 11000},
        {"narrow bracket far below", {100, 101, 60000}, 4000, 20000},
        {"a single bracket", {8000, 20000}, 6000, 22000},
    };
    pruSetSize(320, 120);
    const int n = 320 * 240;
    gStepCalMM = 298.2;
    tarvo::test::use_distance_image_drnu_with_temperature();
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        const int c = static_cast<int>(k.steps.size());
        calibrateSetNumDistances(c);
        for (int q = 0; q < n; ++q) {
            std::copy(k.steps.begin(), k.steps.end(), distImagesDRNU[1] + q * c);
            distImagesDRNUMin[1][q] = *std::min_element(k.steps.begin(), k.steps.end());
            distImagesDRNUMax[1][q] = *std::max_element(k.steps.begin(), k.steps.end());
        }
        calibrateDistanceImagesChanged();
        std::vector<uint16_t> src(4 * n);
        for (int p = 0; p < n; ++p)
            set_pixel_angle(src, n, p, angle_of_phase(k.from + (k.to - k.from) * p / n), 1500);
        EXPECT_GT(expect_drnu_per_pixel(src, c).interpolated, 0);
    }
}

TARVO_INSTANTIATE_FOR_EVERY_KERNEL_TIER(LineKernels);

// A 2 x 2 image (one column pair, one row per half): four output pixels, exact-size buffers.
class FastRouteSmall : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        pruSetSize(2, 1);
    }
    static constexpr int kN = 4;

    // Planes with every pixel's samples = s.
    static std::vector<uint16_t> uniform(uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3) {
        std::vector<uint16_t> src(4 * kN);
        for (int p = 0; p < kN; ++p) {
            src[p] = d0;
            src[kN + p] = d1;
            src[2 * kN + p] = d2;
            src[3 * kN + p] = d3;
        }
        return src;
    }

    // Every output type of the same planes, with what each call returned.
    struct Outputs {
        std::vector<uint16_t> phase = std::vector<uint16_t>(kN);
        std::vector<uint16_t> amp = std::vector<uint16_t>(kN);
        std::vector<float> metres = std::vector<float>(kN);
        std::vector<float> famp = std::vector<float>(kN);
        int returned[4] = {};
    };
    static Outputs every_type(const std::vector<uint16_t> &src) {
        Outputs o;
        o.returned[0] = calcDefPiDelayGetDataSorted_opt(0, o.phase.data(), src.data(), kN);
        o.returned[1] = calcDefPiDelayGetDataSorted_opt(1, o.amp.data(), src.data(), kN);
        o.returned[2] = calcDefPiDelayGetDataSorted_opt(2, o.metres.data(), src.data(), kN);
        o.returned[3] = calcDefPiDelayGetDataSorted_opt(3, o.famp.data(), src.data(), kN);
        return o;
    }
};

TEST_F(FastRouteSmall, HandComputedPixels) {
    struct Case {
        uint16_t d[4];
        int phase;
        int amplitude;
    };
    const Case cases[] = {
        // a = 0, b = 2000: opposite to the reference, half a period.
        {{1000, 1000, 3000, 1000}, 15000, 1000},
        // a = 2000, b = 0: three quarters.
        {{2048, 1048, 2048, 3048}, 22500, 1000},
        // a = 800, b = 1000: table entry 3276, round(atan(0.8) x 30000 / 2 pi) = 3222.
        {{1500, 1200, 2500, 2000}, 18222, 640},
        // The upper bits carry flags on this sensor; only the low 12 bits are the sample.
        {{0xF000 | 1000, 0x1000 | 1000, 0x2000 | 3000, 1000}, 15000, 1000},
    };
    for (const Case &c : cases) {
        const std::vector<uint16_t> src = uniform(c.d[0], c.d[1], c.d[2], c.d[3]);
        const Outputs o = every_type(src);
        for (int type = 0; type < 4; ++type)
            ASSERT_EQ(o.returned[type], kN) << "type " << type;
        const float metre_factor = static_cast<float>(149896229.0 / (12000 * 1000.0));
        for (int q = 0; q < kN; ++q) {
            EXPECT_EQ(o.phase[q], c.phase);
            EXPECT_EQ(o.amp[q], c.amplitude);
            EXPECT_FLOAT_EQ(o.metres[q], static_cast<float>(c.phase) * metre_factor / 30000.0f);
            EXPECT_EQ(o.famp[q], static_cast<float>(c.amplitude));
        }
    }
}

TEST_F(FastRouteSmall, RailSamplesAreOverflowForEveryType) {
    for (int which = 0; which < 4; ++which) {
        for (uint16_t rail : {uint16_t{0}, uint16_t{4095}}) {
            std::vector<uint16_t> src = uniform(1000, 1000, 3000, 1000);
            src[which * kN + 1] = rail;
            const Outputs o = every_type(src);
            // Input position 1 is read-out line 0, column 1: image row 0, column 1.
            EXPECT_EQ(o.phase[1], 65500);
            EXPECT_EQ(o.amp[1], 65500);
            EXPECT_FLOAT_EQ(o.metres[1], 65.5f);
            EXPECT_FLOAT_EQ(o.famp[1], 65.5f);
            EXPECT_EQ(o.phase[0], 15000);
        }
    }
}

TEST_F(FastRouteSmall, HysteresisRejectsDistancesButNotAmplitudes) {
    // Amplitude 1000: squared 1e6. Valid from 1001^2 only.
    hysteresisSetThresholds(1001, 10);
    const std::vector<uint16_t> src = uniform(1000, 1000, 3000, 1000);
    Outputs o = every_type(src);
    EXPECT_EQ(o.phase[0], 65300);
    EXPECT_FLOAT_EQ(o.metres[0], 65.3f);
    EXPECT_EQ(o.amp[0], 1000);
    // At the upper threshold the pixel turns valid.
    hysteresisSetThresholds(1000, 10);
    calcDefPiDelayGetDataSorted_opt(0, o.phase.data(), src.data(), kN);
    EXPECT_EQ(o.phase[0], 15000);
}

TEST_F(PipelineTest, ReadOutLinesFillHalvesFromTheCentreOutward) {
    // Three columns, three rows per half: six read-out lines; tag each line in its amplitude.
    pruSetSize(3, 3);
    const int cols = 3, rows = 6, n = cols * rows;
    std::vector<uint16_t> src(4 * n);
    for (int line = 0; line < rows; ++line) {
        for (int c = 0; c < cols; ++c) {
            const int p = line * cols + c;
            const uint16_t amp = static_cast<uint16_t>(100 * (line + 1) + c);
            src[p] = static_cast<uint16_t>(2048 - amp);
            src[n + p] = 2048;
            src[2 * n + p] = static_cast<uint16_t>(2048 + amp);
            src[3 * n + p] = 2048;
        }
    }
    std::vector<uint16_t> amp(n);
    ASSERT_EQ(calcDefPiDelayGetDataSorted_opt(1, amp.data(), src.data(), n), n);
    // Line 0 -> row 2, line 1 -> row 3, line 2 -> row 1, line 3 -> row 4, line 4 -> row 0, ...
    const int line_of_row[6] = {4, 2, 0, 1, 3, 5};
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            EXPECT_EQ(amp[r * cols + c], 100 * (line_of_row[r] + 1) + c) << "row " << r;
}

TEST_F(PipelineTest, RefusesGeometryLargerThanTheBuffers) {
    std::vector<uint16_t> src(4 * 4, 2000);
    std::vector<uint16_t> dst(4);
    pruSetSize(2, 2);  // 8 pixels > n = 4
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, dst.data(), src.data(), 4), -1);
    pruSetSize(400, 10);  // wider than the sensor
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, dst.data(), src.data(), 4), -1);
    pruSetSize(2, 1);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(4, dst.data(), src.data(), 4), -1);
    EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, nullptr, src.data(), 4), -1);
    EXPECT_EQ(_epc_DCSxn_raw2dist(nullptr, src.data(), 0, 2), -1);
}

TEST_F(PipelineTest, Raw2DistIsTheMetreRoute) {
    pruSetSize(2, 1);
    std::vector<uint16_t> src = {1500, 1500, 1500, 1500, 1200, 1200, 1200, 1200,
                                 2500, 2500, 2500, 2500, 2000, 2000, 2000, 2000};
    std::vector<float> dst(4);
    EXPECT_EQ(_epc_DCSxn_raw2dist(dst.data(), src.data(), 2, 2), 4);
    EXPECT_NEAR(dst[0], 18222 * 12.4913524 / 30000, 1e-5);
}

// Distance-image correction on one pixel pair. Calibrated raw distances per pixel:
// three steps, one step = 3000 phase units (1249.1 mm at 12 MHz, where R = 12491 mm).
class DrnuTable : public FastRouteSmall {
  protected:
    void SetUp() override {
        FastRouteSmall::SetUp();
        calibrateSetNumDistances(3);
        gStepCalMM = 1249.1;
        calculationSetEnableDRNU_simulate(2);
        calibrationEnableDefaultOffset(1);  // offset 885000 / 1249 = 708
        set_pixel(0, {1000, 2000, 3000});
        set_pixel(1, {5000, 5000, 5000});
        set_pixel(2, {1000, 1000, 3000});
        set_pixel(3, {1000, 2000, 3000});
    }
    static void set_pixel(int q, std::vector<uint16_t> steps) {
        uint16_t lo = 0xFFFF, hi = 0;
        for (size_t s = 0; s < steps.size(); ++s) {
            distImagesDRNU[1][q * steps.size() + s] = steps[s];
            lo = std::min(lo, steps[s]);
            hi = std::max(hi, steps[s]);
        }
        distImagesDRNUMin[1][q] = lo;
        distImagesDRNUMax[1][q] = hi;
        calibrateDistanceImagesChanged();
    }
    // Samples whose fast-route phase is `phase`, found with the route's own arctangent.
    static void samples_for(int phase, uint16_t (&d)[4]) {
        const double angle = (phase - 15000) * 2 * M_PI / 30000;
        const int a0 = static_cast<int>(std::lround(1500 * std::sin(angle)));
        const int b0 = static_cast<int>(std::lround(1500 * std::cos(angle)));
        for (int da = -40; da <= 40; ++da) {
            for (int db = -40; db <= 40; ++db) {
                const int a = a0 + da;
                const int b = b0 + db;
                if ((atan2_lut(a, b) + 315000) % 30000 == phase) {
                    d[0] = static_cast<uint16_t>(2048 - b / 2);
                    d[2] = static_cast<uint16_t>(d[0] + b);
                    d[1] = static_cast<uint16_t>(2048 - a / 2);
                    d[3] = static_cast<uint16_t>(d[1] + a);
                    return;
                }
            }
        }
        FAIL() << "no samples for phase " << phase;
    }
    // Output pixel 0 is input position 0 (line 0 -> row 0); pixel 3 is position 3.
    int corrected(int q, int phase) {
        uint16_t d[4] = {};
        samples_for(phase, d);
        std::vector<uint16_t> src = uniform(d[0], d[1], d[2], d[3]);
        std::vector<uint16_t> out(kN);
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, out.data(), src.data(), kN), kN);
        std::vector<float> metres(kN);
        calcDefPiDelayGetDataSorted_opt(2, metres.data(), src.data(), kN);
        if (out[q] < 65300) {
            EXPECT_FLOAT_EQ(metres[q], out[q] * static_cast<float>(149896229.0 / 12e6) / 30000);
        }
        return out[q];
    }
};

TEST_F(DrnuTable, InterpolatesWithinTheCalibratedSpan) {
    // L = trunc(500 x 3 / 2000) = 0: 708 + trunc(500 x 3000 / 1000 + 0.5).
    EXPECT_EQ(corrected(0, 1500), 708 + 1500);
    // L = trunc(1500 x 3 / 2000) = 2 would need entry 3: the last segment (1..2) is used.
    EXPECT_EQ(corrected(0, 2500), 708 + 3000 + 1500);
    EXPECT_EQ(corrected(3, 2900), 708 + 3000 + 2700);
}

TEST_F(DrnuTable, OutsideTheSpanGivesCodes) {
    EXPECT_EQ(corrected(0, 1000), 65300);
    EXPECT_EQ(corrected(0, 900), 65300);
    EXPECT_EQ(corrected(0, 3000), 65500);
    // A pixel whose calibration never changed has no span at all.
    EXPECT_EQ(corrected(1, 5000), 65300);
}

TEST_F(DrnuTable, FlatStepHasNoSlope) {
    // Pixel 2 reads 1000 at steps 0 and 1: no division by zero, the value sits at step 0.
    EXPECT_EQ(corrected(2, 1200), 708);
}

TEST_F(DrnuTable, TemperatureShiftsThePhaseBeforeTheLookup) {
    calculationSetEnableTemperature_simulate(1);
    // Chip 10 tenths above calibration, board at its calibration temperature:
    // t = 10 x (30000 / 12491 x 2.2) = 52.84 units.
    calibrateSetTempCoef(2.2, 2);
    const int16_t header[2] = {static_cast<int16_t>(gTempCal + 10),
                               static_cast<int16_t>(gTempCalIb)};
    temperatureSetTemperatureByFrameHeader(header);
    // d = 1600 - 52.84 = 1547.16; L = 0; 708 + trunc(547.16 x 3 + 0.5).
    EXPECT_EQ(corrected(0, 1600), 708 + 1641);
}

TEST_F(DrnuTable, FewerThanTwoStepsLeavesThePhaseUncorrected) {
    calibrateSetNumDistances(1);
    EXPECT_EQ(corrected(0, 1500), 1500);
}

}  // namespace
