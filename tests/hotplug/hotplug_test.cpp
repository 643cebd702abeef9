// Hot-plug notices against the virtual camera: arrivals and departures as cameras are plugged,
// unplugged and re-plugged, and a camera announced as back that opens and captures again.
#include <tarvo/hotplug.h>
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "api/hotplug_watch.h"
#include "frames/camera_frames.h"
#include "support/capture_device.h"
#include "support/log_capture.h"
#include "vcam.h"

namespace {

namespace vcam = tarvo::vcam;

struct Notice {
    int event;
    tarvo_dev_t dev;
    bool reentry_refused;
};

// Records every notice; waits for the ones a test expects.
class Recorder {
  public:
    static void on_notice(const tarvo_dev_t *dev, int event, void *arg) {
        auto *self = static_cast<Recorder *>(arg);
        // Replacing the callback from inside it would wait for itself.
        const bool refused = !tarvo_dev_set_hotplug_callback(on_notice, arg);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->notices_.push_back({event, *dev, refused});
        self->changed_.notify_all();
    }

    // The notices once there are `count` of them; what there is after a generous wait otherwise.
    std::vector<Notice> wait_for(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return notices_.size() >= count; });
        return notices_;
    }
    std::vector<Notice> now() {
        std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notice> notices_;
};

// Each case runs with libusb's hot-plug events and with the polling that stands in for them
// where the platform has none.
class HotplugTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        vcam::Bus::get().reset();
        tarvo::hotplug_use_events(GetParam());
    }
    void TearDown() override {
        EXPECT_TRUE(tarvo_dev_set_hotplug_callback(nullptr, nullptr));
        tarvo::hotplug_use_events(true);
    }

    tarvo::test::LogCapture log_;
    Recorder recorder_;
};

TEST_P(HotplugTest, ArrivalDepartureAndReturnUnderANewAddress) {
    ASSERT_TRUE(tarvo_dev_set_hotplug_callback(Recorder::on_notice, &recorder_));
    auto cam = vcam::Bus::get().add_camera();
    auto notices = recorder_.wait_for(1);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].event, TARVO_HOTPLUG_ARRIVED);
    EXPECT_EQ(notices[0].dev.port, cam->port());
    EXPECT_EQ(notices[0].dev.address, cam->address());
    EXPECT_EQ(notices[0].dev.located, 1);
    EXPECT_EQ(notices[0].dev.ctx, nullptr);
    EXPECT_TRUE(notices[0].reentry_refused);

    const int first_address = cam->address();
    cam->unplug();
    notices = recorder_.wait_for(2);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].event, TARVO_HOTPLUG_LEFT);
    EXPECT_EQ(notices[1].dev.address, first_address);

    cam->replug();
    notices = recorder_.wait_for(3);
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[2].event, TARVO_HOTPLUG_ARRIVED);
    EXPECT_EQ(notices[2].dev.port, cam->port());
    EXPECT_EQ(notices[2].dev.address, cam->address());
    EXPECT_NE(cam->address(), first_address);

    // The announced record opens the camera that came back.
    cam->set_stream_source(vcam::make_camera_stream());
    tarvo_dev_t dev = notices[2].dev;
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev, nullptr, 2 * TARVO_CAP_FRAME_UNIT));
    ASSERT_TRUE(tarvo_cap_start(&dev));
    std::vector<uint8_t> buf(tarvo::test::kFrameBytes);
    tarvo_frame_info_t info{};
    EXPECT_EQ(tarvo_cap_get_frames(&dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), &info),
              1);
    tarvo_dev_close(&dev);
}

TEST_P(HotplugTest, PresentCamerasAreNotAnnouncedAndClearingEndsTheNotices) {
    auto cam = vcam::Bus::get().add_camera();
    ASSERT_TRUE(tarvo_dev_set_hotplug_callback(Recorder::on_notice, &recorder_));
    auto second = vcam::Bus::get().add_camera();
    auto notices = recorder_.wait_for(1);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].dev.port, second->port());

    ASSERT_TRUE(tarvo_dev_set_hotplug_callback(nullptr, nullptr));
    cam->unplug();
    second->unplug();
    // Time for a notice that should not come; the watcher polls at most every 250 ms.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(recorder_.now().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Watching, HotplugTest, ::testing::Values(true, false),
                         [](const auto &param) { return param.param ? "events" : "polling"; });

}  // namespace
