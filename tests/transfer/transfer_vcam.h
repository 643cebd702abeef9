// Shared pieces of the transfer tests: a fixture with one camera whose flash answers the action
// protocol, an opened low-level record, a captured log and a scratch working directory.
#pragma once

#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "transfer_files.h"
#include "vcam.h"
#include "vcam_flash.h"

namespace tarvo::test {

class TransferVcam : public ::testing::Test {
  protected:
    void SetUp() override {
        vcam::Bus::get().reset();
        vcam::CameraConfig cfg;
        cfg.product = "TV320-T0-1.0";  // a driver without a processing pipeline behind it
        cam_ = vcam::Bus::get().add_camera(cfg);
        install_flash();
        std::memset(&ll_, 0, sizeof ll_);
        ASSERT_EQ(tarvo_ll_dev_open(&ll_), &ll_);
        dir_.enter();
        cam_->clear_commands();
        log_.clear();
    }
    void TearDown() override { tarvo_ll_dev_close(&ll_); }

    // A fresh flash, so each case of a table starts from an empty camera.
    void fresh_flash() {
        install_flash();
        cam_->clear_commands();
        log_.clear();
    }

    // Action requests of one direction the camera received, in order.
    std::vector<vcam::CommandRecord> actions(uint16_t action, vcam::Dir dir) const {
        std::vector<vcam::CommandRecord> out;
        for (vcam::CommandRecord &c : cam_->commands()) {
            if (c.type == vcam::kTypeAction && c.value == action && c.dir == dir)
                out.push_back(std::move(c));
        }
        return out;
    }
    size_t action_commands() const {
        size_t n = 0;
        for (const vcam::CommandRecord &c : cam_->commands())
            n += c.type == vcam::kTypeAction ? 1 : 0;
        return n;
    }

    // Error lines other than the expected ones.
    void expect_no_other_errors(const std::vector<std::string_view> &expected = {}) const {
        EXPECT_EQ(log_.unexpected("ERR", expected), std::vector<std::string>{});
    }

    LogCapture log_;
    TempDir dir_;
    std::shared_ptr<vcam::Camera> cam_;
    std::shared_ptr<vcam::Flash> flash_;
    tarvo_ll_dev_t ll_;

  private:
    void install_flash() {
        flash_ = std::make_shared<vcam::Flash>();
        cam_->set_command_extension(vcam::kTypeAction, flash_);
    }
};

}  // namespace tarvo::test
