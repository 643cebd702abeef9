// Decoding beside delivery, under ThreadSanitizer: one thread fetches frames (the driver
// describes each as it is delivered), another converts them and reads the frame-valid flag,
// a third writes that flag; and a frame-ready callback converting with the newest description.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/capture_device.h"

namespace {

using tarvo::test::kFrameBytes;
constexpr int kPixels = 320 * 240;

using DecodeThreads = tarvo::test::OpenDeviceTest;

TEST_F(DecodeThreads, ConvertWhileAnotherThreadFetches) {
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::mutex mu;
    std::vector<uint8_t> latest;  // guarded by mu
    tarvo_frame_info_t latest_info{};
    std::atomic<bool> done{false};
    std::thread fetcher([&] {
        std::vector<uint8_t> buf(kFrameBytes);
        for (int i = 0; i < 20; ++i) {
            tarvo_frame_info_t info{};
            if (tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &info) != 1)
                continue;
            std::lock_guard lock(mu);
            latest = buf;
            latest_info = info;
        }
        done = true;
    });
    std::thread flagger([&] {
        while (!done.load()) {
            epc_adapater_set_frame_valid(1);
            std::this_thread::yield();
        }
    });
    int converted = 0;
    std::vector<float> out(kPixels);
    while (!done.load()) {
        std::vector<uint8_t> frame;
        tarvo_frame_info_t info{};
        {
            std::lock_guard lock(mu);
            frame = latest;
            info = latest_info;
        }
        if (frame.empty()) {
            std::this_thread::yield();
            continue;
        }
        // With the frame's own description, then with the device's newest.
        converted += tarvo_frame_get_distance(&dev_, out.data(), kPixels, frame.data(), kFrameBytes,
                                              &info) == kPixels;
        converted += tarvo_frame_get_gray(&dev_, out.data(), kPixels, frame.data(), kFrameBytes,
                                          nullptr) == kPixels;
        (void)epc_adapater_get_frame_valid();
    }
    fetcher.join();
    flagger.join();
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    EXPECT_GT(converted, 0);
}

std::atomic<int> g_converted{0};

void convert_in_callback(tarvo_dev_t *dev, tarvo_frame_t *frame) {
    std::vector<float> out(kPixels);
    if (tarvo_frame_get_distance(dev, out.data(), kPixels, frame->data, frame->info.frame_size,
                                 nullptr) == kPixels)
        g_converted.fetch_add(1);
}

TEST_F(DecodeThreads, FrameReadyCallbackConvertsWithTheNewestDescription) {
    g_converted = 0;
    tarvo_cap_set_callback_on_frame_ready(&dev_, convert_in_callback);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    for (int i = 0; i < 5; ++i)
        tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr);
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    EXPECT_GE(g_converted.load(), 5);
}

}  // namespace
