// Several cameras and handles in one process, and a second process on a camera in use, against
// the two virtual cameras of the tarvo-vcam launcher (sphere scene at 1.25 m). Run in the plain,
// sanitised and ThreadSanitizer trees.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "support/capture_device.h"

namespace {

using tarvo::test::kFrameBytes;
using tarvo::test::kTestFrameBuffer;
constexpr int kPixels = 320 * 240;
constexpr float kSceneMetres = 1.25f;

// Captures `frames` frames and decodes each into distances: true when every frame arrived and
// its centre shows the scene's distance.
bool capture_and_decode(tarvo_dev_t *dev, int frames) {
    if (!tarvo_cap_set_frame_buffer(dev, nullptr, kTestFrameBuffer) || !tarvo_cap_start(dev))
        return false;
    std::vector<uint8_t> raw(kFrameBytes);
    std::vector<float> metres(kPixels);
    bool ok = true;
    for (int i = 0; i < frames && ok; ++i) {
        tarvo_frame_info_t info{};
        ok = tarvo_cap_get_frames(dev, 1, raw.data(), kFrameBytes, &info) == 1 &&
             tarvo_frame_get_distance(dev, metres.data(), kPixels, raw.data(), kFrameBytes,
                                      &info) == kPixels &&
             std::fabs(metres[120 * 320 + 160] - kSceneMetres) < 0.05f;
    }
    return tarvo_cap_stop(dev) && ok;
}

class TwoCameras : public ::testing::Test {
  protected:
    void SetUp() override {
        zr_log_disable();
        ASSERT_EQ(tarvo_dev_list(list_, 2), 2);
    }
    void TearDown() override {
        for (tarvo_dev_t &dev : list_)
            tarvo_dev_close(&dev);
    }

    void expect_refused(tarvo_dev_t handle, int reason, const char *name) {
        EXPECT_EQ(tarvo_dev_open(&handle), nullptr);
        EXPECT_EQ(handle.ctx, nullptr);
        EXPECT_EQ(tarvo_dev_last_error(), reason);
        EXPECT_STREQ(tarvo_error_name(tarvo_dev_last_error()), name);
    }

    tarvo_dev_t list_[2] = {};
};

TEST_F(TwoCameras, SecondEpcCameraIsRefusedWhileTheFirstHoldsThePipeline) {
    ASSERT_NE(tarvo_dev_open(&list_[0]), nullptr);
    EXPECT_EQ(tarvo_dev_last_error(), TARVO_OK);
    expect_refused(list_[1], TARVO_ERR_DEV_PIPELINE_BOUND, "TARVO_ERR_DEV_PIPELINE_BOUND");
    EXPECT_TRUE(capture_and_decode(&list_[0], 3));
    // Once the first is closed, the second binds the pipeline and decodes on its own.
    tarvo_dev_close(&list_[0]);
    ASSERT_NE(tarvo_dev_open(&list_[1]), nullptr);
    EXPECT_TRUE(capture_and_decode(&list_[1], 3));
}

TEST_F(TwoCameras, ACameraIsOpenOnOneHandleAtATime) {
    // Handles copied while the camera is listed, not open (a copy of an open handle would share
    // its context).
    tarvo_dev_t first_camera{};  // not located: the open takes the first camera on the bus
    const tarvo_dev_t handles[] = {list_[0], first_camera};
    ASSERT_NE(tarvo_dev_open(&list_[0]), nullptr);
    for (const tarvo_dev_t &handle : handles) {
        SCOPED_TRACE(static_cast<int>(handle.located));
        expect_refused(handle, TARVO_ERR_DEV_ALREADY_OPEN, "TARVO_ERR_DEV_ALREADY_OPEN");
    }
    EXPECT_TRUE(capture_and_decode(&list_[0], 3));
}

// Each thread opens, captures, decodes and closes its own camera again and again; the pipeline
// serves one at a time, so an open may be refused while the other thread's camera is open, but
// nothing of one camera ever reaches the other.
TEST_F(TwoCameras, ThreadsOpenCaptureDecodeAndCloseTheirOwnCameras) {
    constexpr int kRounds = 4;
    std::atomic<int> failures{0};
    std::atomic<int> wrong_refusals{0};
    auto run = [&](const tarvo_dev_t listed) {
        for (int done = 0; done < kRounds;) {
            tarvo_dev_t dev = listed;
            if (tarvo_dev_open(&dev) == nullptr) {
                wrong_refusals += tarvo_dev_last_error() != TARVO_ERR_DEV_PIPELINE_BOUND;
                std::this_thread::yield();
                continue;
            }
            failures += !capture_and_decode(&dev, 2);
            tarvo_dev_close(&dev);
            ++done;
        }
    };
    std::thread a(run, list_[0]);
    std::thread b(run, list_[1]);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(wrong_refusals.load(), 0);
}

// Two threads start one device's capture at once: one start wins, the other is refused without
// touching the running capture, whose frames keep coming.
TEST_F(TwoCameras, ConcurrentStartsStartOnceAndCaptureGoesOn) {
    tarvo_dev_t *dev = tarvo_dev_open(&list_[0]);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(tarvo_cap_set_frame_buffer(dev, nullptr, kTestFrameBuffer));
    std::vector<uint8_t> raw(3 * kFrameBytes);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        std::latch go(2);
        std::atomic<int> started{0};
        auto start = [&] {
            go.arrive_and_wait();
            started += tarvo_cap_start(dev);
        };
        std::thread a(start);
        std::thread b(start);
        a.join();
        b.join();
        EXPECT_EQ(started.load(), 1);
        EXPECT_TRUE(tarvo_cap_is_ongoing(dev));
        EXPECT_EQ(tarvo_cap_get_frames(dev, 3, raw.data(), 3 * kFrameBytes, nullptr), 3);
        ASSERT_TRUE(tarvo_cap_stop(dev));
    }
}

// Runs `command` through the shell; its exit status, and what it wrote on standard error.
int run_command(const std::string &command, std::string &err) {
    const std::string err_file = testing::TempDir() + "tarvo-devices-stderr";
    const int status = std::system((command + " 2>" + err_file).c_str());
    err.clear();
    if (std::FILE *f = std::fopen(err_file.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr)
            err += line;
        std::fclose(f);
    }
    std::remove(err_file.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another process asks for a parameter of the camera this one captures from: it is told the
// camera is in use and touches nothing, listing still works, and the capture here goes on.
TEST_F(TwoCameras, AnotherProcessIsToldTheCameraIsInUseWhileCaptureGoesOn) {
    const char *cli = std::getenv("TARVO_CLI");
    if (cli == nullptr)
        GTEST_SKIP() << "TARVO_CLI not set";
    ASSERT_NE(tarvo_dev_open(&list_[0]), nullptr);
    ASSERT_TRUE(tarvo_cap_set_frame_buffer(&list_[0], nullptr, kTestFrameBuffer));
    ASSERT_TRUE(tarvo_cap_start(&list_[0]));
    std::vector<uint8_t> raw(kFrameBytes);
    ASSERT_EQ(tarvo_cap_get_frames(&list_[0], 1, raw.data(), kFrameBytes, nullptr), 1);

    // The tool picks the camera this process holds by its place on the bus.
    const std::string camera = std::to_string(list_[0].bus) + "-" + std::to_string(list_[0].port);
    std::string err;
    EXPECT_EQ(
        run_command(std::string(cli) + " param get 12 --camera " + camera + " >/dev/null", err), 1);
    EXPECT_EQ(err, "tarvo: camera in use by another process\n");
    EXPECT_EQ(run_command(std::string(cli) + " list >/dev/null", err), 0);
    EXPECT_EQ(err, "");

    // The camera was not re-initialised under the capture: the frames keep coming.
    EXPECT_EQ(tarvo_cap_get_frames(&list_[0], 60, nullptr, 0, nullptr), 60);
    EXPECT_TRUE(tarvo_cap_stop(&list_[0]));
}

}  // namespace
