// The device lifecycle against other threads and against callbacks that call back into the
// library, under ThreadSanitizer, with the camera of the tarvo-vcam launcher (one camera
// streaming frames at 30 fps).
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "api/dev_ctx.h"
#include "support/capture_device.h"
#include "support/wait.h"

namespace {

using tarvo::test::eventually;
using tarvo::test::kFrameBytes;
using tarvo::test::run_to_completion;

using LifecycleThreads = tarvo::test::OpenDeviceTest;

TEST_F(LifecycleThreads, CloseWhileOtherThreadsAreInsideCommands) {
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::atomic<int> reads{0};
    std::thread registers([&] {
        uint32_t regs[40];
        while (tarvo_reg_batch_read(&dev_, 1, 0, regs, 40))
            ++reads;
    });
    std::thread params([&] {
        tarvo_param_item_t item{};
        item.param_id = 12;
        while (tarvo_param_batch_get(&dev_, &item, 1))
            ++reads;
    });
    std::thread fetcher([&] { tarvo_cap_get_frames(&dev_, 1000, nullptr, 0, nullptr); });
    ASSERT_TRUE(eventually([&] { return reads.load() >= 6; }));
    tarvo_dev_close(&dev_);
    registers.join();
    params.join();
    fetcher.join();
    EXPECT_EQ(dev_.ctx, nullptr);
}

TEST(LifecycleHeapHandle, ReopeningAnOpenHandleKeepsIt) {
    zr_log_disable();
    auto *dev = static_cast<tarvo_dev_t *>(std::calloc(1, sizeof(tarvo_dev_t)));
    ASSERT_NE(dev, nullptr);
    dev->free_on_close = 1;
    ASSERT_EQ(tarvo_dev_open(dev), dev);
    ASSERT_EQ(tarvo_dev_open(dev), dev);
    tarvo_param_item_t item{};
    item.param_id = 12;
    EXPECT_TRUE(tarvo_param_batch_get(dev, &item, 1));
    tarvo_dev_close(dev);
}

std::atomic<int> g_refused{0};
std::atomic<int> g_reentered{0};

void call_back_in(tarvo_dev_t *dev, tarvo_frame_t *) {
    std::vector<uint8_t> buf(kFrameBytes);
    if (tarvo_cap_get_frame(dev, buf.data(), kFrameBytes, nullptr) == -1 &&
        !tarvo_cap_wait(dev, 10)) {
        ++g_refused;
    }
    tarvo_param_item_t item{};
    item.param_id = 12;
    if (tarvo_param_batch_get(dev, &item, 1))
        ++g_reentered;
}

TEST_F(LifecycleThreads, CallbacksCallBackIntoTheLibraryOnTwoThreads) {
    g_refused = 0;
    g_reentered = 0;
    tarvo_cap_set_callback_on_frame_ready(&dev_, call_back_in);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::atomic<bool> waited{false};
    std::thread waiter([&] { waited = tarvo_cap_wait(&dev_, 0); });
    run_to_completion("the fetch", [&] {
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(tarvo_cap_get_frames(&dev_, 2, nullptr, 0, nullptr), 2);
    });
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    waiter.join();
    EXPECT_TRUE(waited.load());
    // Every frame of the fetches went through the callback before the stop; a parameter read of
    // the waiter's last callbacks may meet the stop command on the command channel.
    EXPECT_GE(g_refused.load(), 6);
    EXPECT_GE(g_reentered.load(), 6);
}

std::atomic<int> g_frames{0};

TEST_F(LifecycleThreads, FetchesAboveIntMaxRunUntilStop) {
    tarvo_cap_set_callback_on_frame_ready(&dev_,
                                          [](tarvo_dev_t *, tarvo_frame_t *) { ++g_frames; });
    for (uint32_t frame_num : {0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(frame_num);
        g_frames = 0;
        ASSERT_TRUE(tarvo_cap_start(&dev_));
        std::thread fetcher([&] { tarvo_cap_get_frames(&dev_, frame_num, nullptr, 0, nullptr); });
        const bool delivered = eventually([] { return g_frames.load() >= 3; });
        ASSERT_TRUE(tarvo_cap_stop(&dev_));
        fetcher.join();
        EXPECT_TRUE(delivered);
    }
}

// Frame index of every frame delivered into a caller's buffer, by its address.
std::mutex g_seen_mutex;
std::vector<std::pair<const uint8_t *, uint16_t>> g_seen;

TEST_F(LifecycleThreads, AFetchBesideAWaitGetsConsecutiveFrames) {
    tarvo_cap_set_callback_on_frame_ready(&dev_, [](tarvo_dev_t *, tarvo_frame_t *frame) {
        std::lock_guard<std::mutex> lock(g_seen_mutex);
        g_seen.emplace_back(frame->data, frame->info.frame_idx);
    });
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::thread waiter([&] { tarvo_cap_wait(&dev_, 0); });
    constexpr uint32_t kBatch = 5;
    std::vector<uint8_t> buf(kBatch * kFrameBytes);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        {
            std::lock_guard<std::mutex> lock(g_seen_mutex);
            g_seen.clear();
        }
        tarvo_frame_info_t info{};
        ASSERT_EQ(tarvo_cap_get_frames(&dev_, kBatch, buf.data(), kBatch * kFrameBytes, &info),
                  static_cast<int>(kBatch));
        std::lock_guard<std::mutex> lock(g_seen_mutex);
        int in_buffer = 0;
        for (const auto &[data, idx] : g_seen) {
            if (data < buf.data() || data >= buf.data() + buf.size())
                continue;
            const auto slot = static_cast<uint16_t>((data - buf.data()) / kFrameBytes);
            EXPECT_EQ(idx, static_cast<uint16_t>(info.frame_idx + slot));
            ++in_buffer;
        }
        EXPECT_EQ(in_buffer, static_cast<int>(kBatch));
    }
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    waiter.join();
}

std::atomic<bool> g_muted{false};

TEST_F(LifecycleThreads, StartLeavesTheMutedState) {
    g_muted = false;
    tarvo_cap_set_callback_on_error(&dev_, [](tarvo_dev_t *, int, uint32_t) {
        g_muted = true;
        return false;
    });
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), 1);
    // The launcher's camera streams without faults: the stall comes to the capture engine the
    // way the transport reports one, while the event thread goes on delivering transfers.
    tarvo::on_capture_event(&dev_.ctx->ll, TARVO_ERR_CAP_STALL, nullptr, 0, &dev_);
    std::atomic<bool> waited{false};
    std::thread waiter([&] { waited = tarvo_cap_wait(&dev_, 0); });
    waiter.join();
    ASSERT_TRUE(waited.load());
    ASSERT_TRUE(g_muted.load());
    tarvo_cap_set_callback_on_error(&dev_, nullptr);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::thread fetcher([&] { EXPECT_EQ(tarvo_cap_get_frames(&dev_, 2, nullptr, 0, nullptr), 2); });
    fetcher.join();
}

}  // namespace
