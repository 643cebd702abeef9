// Shared pieces of the transport tests on the virtual camera: a fixture that starts every test
// with an empty bus and a captured log, an opened-record holder and command filters.
#pragma once

#include <tarvo/ll.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "ll/usb_ll.h"
#include "support/log_capture.h"
#include "support/wait.h"
#include "vcam.h"

namespace tarvo::test {

inline tarvo_ll_dev_t zeroed_record() {
    tarvo_ll_dev_t dev;
    std::memset(&dev, 0, sizeof dev);
    return dev;
}

inline usb_ll_dev_priv_t *priv(const tarvo_ll_dev_t &dev) {
    return static_cast<usb_ll_dev_priv_t *>(dev.priv);
}

// Control requests of one type, value and direction, in arrival order.
inline std::vector<vcam::CommandRecord> commands_of(const vcam::Camera &cam, uint8_t type,
                                                    uint16_t value, vcam::Dir dir) {
    std::vector<vcam::CommandRecord> out;
    for (vcam::CommandRecord &c : cam.commands()) {
        if (c.type == type && c.value == value && c.dir == dir)
            out.push_back(std::move(c));
    }
    return out;
}

inline size_t status_requests(const vcam::Camera &cam) {
    return commands_of(cam, vcam::kTypeStatus, 0, vcam::Dir::in).size();
}

class LlVcam : public ::testing::Test {
  protected:
    void SetUp() override {
        bus().reset();
        log_ = std::make_unique<LogCapture>();
    }
    void TearDown() override {
        for (tarvo_ll_dev_t *dev : to_close_)
            tarvo_ll_dev_close(dev);
        for (auto &block : blocks_) {
            for (int i = 0; i < block.second; ++i)
                tarvo_ll_dev_close(&block.first[i]);
        }
        to_close_.clear();
        blocks_.clear();
        tarvo::ll::set_handle_events(nullptr);
        bus().reset();
        log_.reset();
    }

    static vcam::Bus &bus() { return vcam::Bus::get(); }

    // `n` zeroed records that live until the end of the test and are closed then (closing a
    // closed record is harmless).
    tarvo_ll_dev_t *records(int n) {
        auto block = std::make_unique<tarvo_ll_dev_t[]>(n);
        std::memset(block.get(), 0, sizeof(tarvo_ll_dev_t) * n);
        blocks_.emplace_back(std::move(block), n);
        return blocks_.back().first.get();
    }

    // Closes the fixture's own record `dev` at the end of the test.
    void close_at_end(tarvo_ll_dev_t *dev) { to_close_.push_back(dev); }

    LogCapture &log() { return *log_; }

  private:
    std::unique_ptr<LogCapture> log_;
    std::vector<tarvo_ll_dev_t *> to_close_;
    std::vector<std::pair<std::unique_ptr<tarvo_ll_dev_t[]>, int>> blocks_;
};

// A fixture with one high-speed camera whose record is open.
class LlVcamOpen : public LlVcam {
  protected:
    void SetUp() override {
        LlVcam::SetUp();
        cam_ = bus().add_camera();
        dev_ = zeroed_record();
        close_at_end(&dev_);
        ASSERT_EQ(tarvo_ll_dev_open(&dev_), &dev_);
        ASSERT_TRUE(eventually([this] { return priv(dev_)->evt_running.load() == 1; }));
        cam_->clear_commands();
        log().clear();
    }

    std::shared_ptr<vcam::Camera> cam_;
    tarvo_ll_dev_t dev_;
};

}  // namespace tarvo::test
