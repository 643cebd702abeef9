// A camera that uploads a calibration package, an opened handle on it, a path prefix inside a
// scratch directory (so that anything written beside the prefix shows), and the file names the
// DRNU module would give the two calibration files.
#pragma once

#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "calib/factory_calibration.h"
#include "drivers/calib_package.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "vcam.h"

namespace tarvo::test {

namespace fs = std::filesystem;

inline constexpr uint16_t kChipId = 12;
inline constexpr const char *kParamName = "tcm_ex_drnu_param_test_10.bin";
inline constexpr const char *kDistName = "tcm_ex_images_drnu_test_10.bin";

// Bytes that differ from position to position, so a shifted split shows.
inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    return v;
}

inline std::vector<uint8_t> bytes_of(const fs::path &p) {
    const std::string s = read_file(p);
    return {s.begin(), s.end()};
}

inline void write_bytes(const fs::path &p, const std::vector<uint8_t> &data) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char *>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

class CalibPackageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vcam::Bus::get().reset();
        vcam::CameraConfig cfg;
        cfg.product = "TV320-T0-1.0";  // its driver loads no calibration at open
        cfg.chip_id = kChipId;
        cam_ = vcam::Bus::get().add_camera(cfg);
        dir_.enter();
        prefix_ = dir_.path() / "pfx";
        ASSERT_EQ(tarvo_path_cfg((prefix_.string() + "/").c_str()), 0);
        ASSERT_NE(tarvo_dev_open(&dev_), nullptr);
        drv_.dev = &dev_;
        std::fill(std::begin(names_), std::end(names_), calib::FileNameSet{});
        std::strcpy(names_[0].distance_images, "ext_images.bin");
        std::strcpy(names_[0].parameters, "ext_param.bin");
        std::strcpy(names_[1].distance_images, kDistName);
        std::strcpy(names_[1].parameters, kParamName);
        cam_->clear_commands();
        log_.clear();
    }
    void TearDown() override {
        if (dev_.ctx != nullptr)
            tarvo_dev_close(&dev_);
        tarvo_path_cfg(".\\");
    }

    bool upload(std::vector<uint8_t> package) {
        vcam::install_factory_calibration(*cam_, std::move(package));
        return calib::_load_calib_data(&drv_, names_);
    }

    static std::vector<uint8_t> package_of(const std::vector<vcam::ZipEntry> &entries,
                                           const vcam::PackageHeader &header = {}) {
        return vcam::calibration_package(vcam::zip_archive(entries), header);
    }

    fs::path param_file() const { return prefix_ / kParamName; }
    fs::path dist_file() const { return prefix_ / kDistName; }

    // Every file under the scratch directory, relative to it.
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto &e : fs::recursive_directory_iterator(dir_.path())) {
            if (!e.is_directory())
                out.push_back(fs::relative(e.path(), dir_.path()).string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    // The two calibration files as files() lists them.
    static std::vector<std::string> calibration_files() {
        std::vector<std::string> out = {std::string("pfx/") + kDistName,
                                        std::string("pfx/") + kParamName};
        std::sort(out.begin(), out.end());
        return out;
    }

    // The mode values the camera was set to, in order.
    std::vector<uint8_t> modes() const {
        std::vector<uint8_t> out;
        for (const vcam::CommandRecord &c : cam_->commands()) {
            if (c.type != vcam::kTypeDevice || c.value != vcam::kDevParamSet)
                continue;
            for (size_t off = 0; off + vcam::kParamItemSize <= c.data.size();
                 off += vcam::kParamItemSize) {
                if (c.data[off] == vcam::kParamMode)
                    out.push_back(c.data[off + 2]);
            }
        }
        return out;
    }

    void expect_no_other_errors(const std::vector<std::string_view> &expected = {}) const {
        EXPECT_EQ(log_.unexpected("ERR", expected), std::vector<std::string>{});
    }

    LogCapture log_;
    TempDir dir_;
    fs::path prefix_;
    std::shared_ptr<vcam::Camera> cam_;
    tarvo_dev_t dev_{};
    tarvo_drv_t drv_{};
    calib::FileNameSet names_[2];
};

}  // namespace tarvo::test
