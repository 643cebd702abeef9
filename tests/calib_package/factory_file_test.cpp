// The virtual camera's per-chip file: the DRNU parameter file and the distance images computed
// from the camera's own phase errors, in the layout the DRNU module reads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "calib/factory_calibration.h"

namespace {

using tarvo::vcam::DrnuCalibrationInput;

int32_t le32(const std::vector<uint8_t> &v, size_t at) {
    return static_cast<int32_t>(v[at] | v[at + 1] << 8 | v[at + 2] << 16 |
                                static_cast<uint32_t>(v[at + 3]) << 24);
}
uint16_t image(const std::vector<uint8_t> &v, const DrnuCalibrationInput &in, int step, int p) {
    const size_t at = 24 + 2 * (static_cast<size_t>(step) * in.width * in.height + p);
    return static_cast<uint16_t>(v[at] | v[at + 1] << 8);
}

TEST(FactoryFile, ParametersAndStepMajorImagesFromThePhaseModel) {
    DrnuCalibrationInput in;
    in.width = 4;
    in.height = 2;
    in.steps = 3;
    const auto ideal = tarvo::vcam::ideal_raw_phase(in.modulation_khz, 6600.0);
    // Pixel 7 starts just below the period's end: its later steps continue past 30000.
    in.raw_phase = [&](int p, double d) { return ideal(p, d) + (p == 7 ? 22580.0 : 10.0 * p); };
    const std::vector<uint8_t> file = tarvo::vcam::drnu_chip_file(in);
    ASSERT_EQ(file.size(), 24u + 3 * 8 * 2);

    const double step_phase = in.step_mm / 1000.0 / (299792458.0 / 2 / 12e6) * 30000.0;
    double step0_sum = 0.0;
    for (int p = 0; p < 8; ++p) {
        const double step0 =
            std::fmod(ideal(p, in.box_distance_m) + (p == 7 ? 22580.0 : 10.0 * p), 30000.0);
        step0_sum += std::round(step0);
        for (int s = 0; s < 3; ++s)
            EXPECT_NEAR(image(file, in, s, p), step0 + s * step_phase, 0.5) << p << " " << s;
    }
    EXPECT_GT(image(file, in, 2, 7), 30000);
    EXPECT_EQ(le32(file, 0), 12000);
    EXPECT_NEAR(le32(file, 4), step0_sum / 8, 1.0);
    EXPECT_EQ(le32(file, 8), 0x190);
    double step_mm = 0.0;
    std::memcpy(&step_mm, file.data() + 12, 8);
    EXPECT_EQ(step_mm, 298.2);
    EXPECT_EQ(le32(file, 20), 0x180 - 200);
}

TEST(FactoryFile, PackageHeaderAndParameterEight) {
    const std::vector<uint8_t> zip = tarvo::vcam::zip_archive({{"a.bin", {1, 2, 3}}});
    const std::vector<uint8_t> pkg = tarvo::vcam::calibration_package(zip);
    ASSERT_EQ(pkg.size(), 17 + zip.size());
    EXPECT_EQ(pkg[0], 1);
    EXPECT_EQ(pkg[2], 1);
    EXPECT_EQ(static_cast<size_t>(le32(pkg, 11)), zip.size());
    const std::vector<uint8_t> info = tarvo::vcam::calib_info_param(pkg, 5);
    EXPECT_EQ(info[0], 1);
    EXPECT_EQ(le32(info, 3), 5);
    EXPECT_EQ(static_cast<size_t>(le32(info, 7)), pkg.size());
    EXPECT_EQ(static_cast<size_t>(le32(info, 11)), zip.size());
    EXPECT_EQ(tarvo::vcam::calib_info_param(pkg, 5, false)[0], 0);
}

}  // namespace
