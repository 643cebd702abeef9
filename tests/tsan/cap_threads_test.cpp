// Capture with several application threads at once, run under ThreadSanitizer against the
// virtual camera of the tarvo-vcam launcher (one camera streaming frames).
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/capture_device.h"

namespace {

using tarvo::test::kFrameBytes;

std::atomic<int> g_frames{0};
std::atomic<int> g_timed_frames{0};  // whose time the callback could read

void count_frame(tarvo_dev_t *, tarvo_frame_t *frame) {
    g_frames.fetch_add(1);
    tarvo_frame_time_t time{};
    if (tarvo_frame_get_time(frame, &time) && time.monotonic_ns != 0)
        g_timed_frames.fetch_add(1);
}

using CapThreads = tarvo::test::OpenDeviceTest;

TEST_F(CapThreads, FetchWaitAndParametersAtOnceThenStop) {
    g_frames = 0;
    g_timed_frames = 0;
    tarvo_cap_set_callback_on_frame_ready(&dev_, count_frame);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::atomic<int> fetched{0};
    std::atomic<int> timed_fetches{0};
    std::thread fetcher([&] {
        std::vector<uint8_t> buf(kFrameBytes);
        for (int i = 0; i < 10; ++i) {
            if (tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr) == 1)
                ++fetched;
            tarvo_frame_time_t time{};
            if (tarvo_cap_get_frame_times(&dev_, &time, 1) == 1 && time.monotonic_ns != 0)
                ++timed_fetches;
        }
    });
    std::thread params([&] {
        for (int i = 0; i < 5; ++i) {
            tarvo_param_item_t item{};
            item.param_id = 12;
            EXPECT_TRUE(tarvo_param_batch_get(&dev_, &item, 1));
        }
    });
    fetcher.join();
    params.join();
    std::atomic<bool> waited{false};
    std::thread waiter([&] { waited = tarvo_cap_wait(&dev_, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    waiter.join();
    EXPECT_TRUE(waited.load());
    EXPECT_EQ(fetched.load(), 10);
    EXPECT_EQ(timed_fetches.load(), 10);
    EXPECT_GE(g_frames.load(), 10);
    EXPECT_EQ(g_timed_frames.load(), g_frames.load());
}

TEST_F(CapThreads, CloseWhileAnotherThreadWaits) {
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::thread waiter([&] { tarvo_cap_wait(&dev_, 0); });
    std::thread fetcher([&] { tarvo_cap_get_frames(&dev_, 1000, nullptr, 0, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    tarvo_dev_close(&dev_);
    waiter.join();
    fetcher.join();
    EXPECT_EQ(dev_.ctx, nullptr);
}

}  // namespace
