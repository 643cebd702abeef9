// The calibration package uploaded from the camera: data-upload mode, one format-171 frame,
// the zip unpacked into the path prefix and the per-chip file split into the two calibration
// files; and packages that must not get that far.
#include <algorithm>
#include <cstring>

#include "calib_fixture.h"

namespace tarvo::test {
namespace {

using vcam::ZipEntry;

constexpr size_t kParamBytes = 24;
constexpr size_t kImageBytes = 153600;

std::vector<uint8_t> chip_file(uint8_t seed) {
    return pattern(kParamBytes + kImageBytes, seed);
}

std::vector<uint8_t> head(const std::vector<uint8_t> &v, size_t n) {
    return {v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n)};
}
std::vector<uint8_t> tail(const std::vector<uint8_t> &v, size_t from) {
    return {v.begin() + static_cast<std::ptrdiff_t>(from), v.end()};
}

TEST_F(CalibPackageTest, UploadUnpacksAndSplitsThePerChipFile) {
    const std::vector<uint8_t> chip = chip_file(1);
    ASSERT_TRUE(upload(package_of({{"calib_and_param_012.bin", chip}})));
    EXPECT_EQ(bytes_of(param_file()), head(chip, kParamBytes));
    EXPECT_EQ(bytes_of(dist_file()), tail(chip, kParamBytes));
    // The package, the archive and the per-chip file are gone; nothing else was written.
    EXPECT_EQ(files(), calibration_files());
    EXPECT_EQ(modes(), (std::vector<uint8_t>{vcam::kModeDataUpload, vcam::kModeNormal}));
    EXPECT_EQ(cam_->stream_stats().starts, 1u);
    EXPECT_EQ(cam_->stream_stats().stops, 1u);
    EXPECT_FALSE(cam_->streaming());
    EXPECT_TRUE(log_.contains("unzip", "DBG"));
    EXPECT_TRUE(log_.contains("[on_extract_to_folder_entry] Extracted:", "DBG"));
    EXPECT_TRUE(log_.contains("of 1)", "DBG"));
    EXPECT_TRUE(log_.contains("[_parase_file] parse...", "DBG"));
    expect_no_other_errors();
}

TEST_F(CalibPackageTest, CalibrationNotValidLeavesUploadModeAtOnce) {
    vcam::remove_factory_calibration(*cam_);
    EXPECT_FALSE(calib::_load_calib_data(&drv_, names_));
    EXPECT_EQ(log_.count("Calib data not valid", "DBG"), 1u);
    EXPECT_EQ(modes(), (std::vector<uint8_t>{vcam::kModeDataUpload, vcam::kModeNormal}));
    EXPECT_EQ(cam_->stream_stats().starts, 0u);
    EXPECT_TRUE(files().empty());
    expect_no_other_errors();
}

TEST_F(CalibPackageTest, ModeSwitchRefusedStopsBeforeAnythingElse) {
    cam_->add_fault(vcam::Fault::fail(vcam::kTypeDevice, vcam::kDevParamSet, "busy", 1));
    vcam::install_factory_calibration(*cam_,
                                      package_of({{"calib_and_param_012.bin", chip_file(1)}}));
    EXPECT_FALSE(calib::_load_calib_data(&drv_, names_));
    EXPECT_TRUE(log_.contains("set mode to DATA_UP failed!", "ERR"));
    EXPECT_EQ(cam_->stream_stats().starts, 0u);
    EXPECT_TRUE(files().empty());
}

TEST_F(CalibPackageTest, PackageWithoutZipIsDeleted) {
    vcam::PackageHeader header;
    header.zip_flag = 0;
    EXPECT_TRUE(upload(package_of({{"calib_and_param_012.bin", chip_file(1)}}, header)));
    EXPECT_TRUE(log_.contains("[_calib_pk_parse] No zip used", "WRN"));
    EXPECT_TRUE(files().empty());  // calibration.bin was removed
    EXPECT_EQ(modes(), (std::vector<uint8_t>{vcam::kModeDataUpload, vcam::kModeNormal}));
    expect_no_other_errors();
}

TEST_F(CalibPackageTest, PerChipFileOfAnotherChipIsStillParsed) {
    // The camera reports chip 12; the names agree over "calib_and_param".
    const std::vector<uint8_t> chip = chip_file(2);
    ASSERT_TRUE(upload(package_of({{"calib_and_param_007.bin", chip}})));
    EXPECT_EQ(bytes_of(param_file()), head(chip, kParamBytes));
    EXPECT_EQ(bytes_of(dist_file()), tail(chip, kParamBytes));
    EXPECT_TRUE(log_.contains("[_parase_file] find:calib_and_param_007.bin", "DBG"));
}

TEST_F(CalibPackageTest, PerChipFileOfThisChipWinsOverOthers) {
    const std::vector<uint8_t> other = chip_file(3);
    const std::vector<uint8_t> mine = chip_file(4);
    ASSERT_TRUE(upload(package_of({{"calib_and_param_007.bin", other},
                                   {"calib_and_param_012.bin", mine},
                                   {"calib_and_param_100.bin", other}})));
    EXPECT_EQ(bytes_of(param_file()), head(mine, kParamBytes));
    EXPECT_EQ(bytes_of(dist_file()), tail(mine, kParamBytes));
}

// A zip with one entry whose uncompressed size is patched to `size` in both headers.
std::vector<uint8_t> zip_claiming(const std::vector<uint8_t> &data, uint32_t size) {
    std::vector<uint8_t> zip = vcam::zip_archive({{"calib_and_param_012.bin", data}});
    auto put32 = [&](size_t at) {
        for (int i = 0; i < 4; ++i)
            zip[at + i] = static_cast<uint8_t>(size >> (8 * i));
    };
    put32(22);  // local header
    for (size_t i = 0; i + 4 <= zip.size(); ++i) {
        if (zip[i] == 0x50 && zip[i + 1] == 0x4B && zip[i + 2] == 0x01 && zip[i + 3] == 0x02)
            put32(i + 24);  // central directory
    }
    return zip;
}

struct HostileCase {
    const char *what;
    std::vector<uint8_t> package;
    const char *log_line;
};

std::vector<HostileCase> hostile_cases(const fs::path &root) {
    const std::vector<uint8_t> chip = chip_file(9);
    const std::string absolute = (root / "absolute.bin").string();
    std::vector<uint8_t> truncated = vcam::zip_archive({{"calib_and_param_012.bin", chip}});
    truncated.resize(truncated.size() / 2);
    vcam::PackageHeader beyond;
    beyond.zip_length = 100000000;
    auto pkg = [](const std::vector<ZipEntry> &e, const vcam::PackageHeader &h = {}) {
        return vcam::calibration_package(vcam::zip_archive(e), h);
    };
    // Hundreds of empty files, or folders nested far deeper than any calibration needs.
    std::vector<ZipEntry> many{{"calib_and_param_012.bin", chip}};
    for (int i = 0; i < 300; ++i)
        many.push_back({"empty" + std::to_string(i), {}});
    std::string deep;
    for (int i = 0; i < 40; ++i)
        deep += "d/";
    return {
        {"too many entries", pkg(many), "holds 301 entries, at most 256 are unpacked"},
        {"folders nested too deep", pkg({{"calib_and_param_012.bin", chip}, {deep + "x", {1}}}),
         "is nested deeper than 8 folders"},
        {"parent climb", pkg({{"../calib_and_param_012.bin", chip}}), "leaves the target"},
        {"deep climb", pkg({{"sub/../../calib_and_param_012.bin", chip}}), "leaves the target"},
        {"backslash climb", pkg({{"..\\calib_and_param_012.bin", chip}}), "leaves the target"},
        {"absolute name", pkg({{absolute, chip}}), "leaves the target"},
        {"symbolic link", pkg({{"calib_and_param_012.bin", {'.', '.', '/', 'x'}, 0120777}}),
         "is not a regular file"},
        {"length beyond the package", pkg({{"calib_and_param_012.bin", chip}}, beyond),
         "beyond the package"},
        {"oversized entry",
         pkg({{"calib_and_param_012.bin", std::vector<uint8_t>(calib::kMaxExtractBytes + 1)}}),
         "expands beyond"},
        {"truncated archive", vcam::calibration_package(truncated), "zip failed"},
        {"entry larger than declared", vcam::calibration_package(zip_claiming(chip, 1000)),
         "zip failed"},
        {"per-chip file without images", pkg({{"calib_and_param_012.bin", pattern(100, 1)}}),
         "do not split"},
    };
}

TEST_F(CalibPackageTest, HostilePackagesWriteNothingOutsideAndKeepTheCalibration) {
    const std::vector<uint8_t> good_param = pattern(24, 50);
    const std::vector<uint8_t> good_dist = pattern(512, 60);
    for (HostileCase &c : hostile_cases(dir_.path())) {
        SCOPED_TRACE(c.what);
        write_bytes(param_file(), good_param);
        write_bytes(dist_file(), good_dist);
        fs::remove(prefix_ / "calib_and_param_012.bin");
        log_.clear();
        cam_->clear_commands();
        // Once a package arrived the upload counts as done, whatever it held.
        EXPECT_TRUE(upload(std::move(c.package)));
        EXPECT_TRUE(log_.contains(c.log_line)) << log_.text();
        EXPECT_EQ(bytes_of(param_file()), good_param);
        EXPECT_EQ(bytes_of(dist_file()), good_dist);
        // A per-chip file that could not be split stays for inspection; nothing else appears.
        std::vector<std::string> written = files();
        std::erase(written, "pfx/calib_and_param_012.bin");
        EXPECT_EQ(written, calibration_files());
        EXPECT_EQ(modes(), (std::vector<uint8_t>{vcam::kModeDataUpload, vcam::kModeNormal}));
    }
}

TEST_F(CalibPackageTest, HostileEntriesAreSkippedBesideGoodOnes) {
    const std::vector<uint8_t> chip = chip_file(5);
    ASSERT_TRUE(upload(package_of({{"../evil.bin", {1, 2, 3}},
                                   {"link", {'/', 'e', 't', 'c'}, 0120777},
                                   {"calib_and_param_012.bin", chip}})));
    EXPECT_EQ(bytes_of(dist_file()), tail(chip, kParamBytes));
    EXPECT_EQ(files(), calibration_files());
    EXPECT_EQ(log_.count("skipped", "WRN"), 2u);
}

}  // namespace
}  // namespace tarvo::test
