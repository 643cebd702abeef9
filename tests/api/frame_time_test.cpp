// Frame times through the public interface: host arrival times, the 64-bit sequence and the lost
// frames before each delivered frame, read after a fetch and in the frame-ready callback.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "support/vcam_device.h"

namespace {

using tarvo::test::kFrameBytes;
using tarvo::vcam::CameraFramesConfig;

struct Delivered {
    tarvo_frame_info_t info;
    tarvo_frame_time_t time;
};

class FrameTimeTest : public tarvo::test::VcamDeviceTest {
  protected:
    // A camera streaming at `fps` frames per second.
    void open_at(uint32_t fps, const CameraFramesConfig &frames = {}) {
        tarvo::vcam::Bus::get().reset();
        tarvo::vcam::CameraConfig cfg;
        cfg.frame_rate = fps;
        cam_ = tarvo::vcam::Bus::get().add_camera(cfg);
        open_with(frames);
        // Damaged frames only count; the error callback takes the reports.
        tarvo_cap_set_callback_on_error(&dev_, [](tarvo_dev_t *, int, uint32_t) { return true; });
    }

    // Fetches `count` frames one by one, each with the time the library gives for it.
    std::vector<Delivered> fetch(uint32_t count) {
        std::vector<Delivered> out;
        std::vector<uint8_t> buf(kFrameBytes);
        for (uint32_t i = 0; i < count; ++i) {
            Delivered d{};
            if (tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &d.info) != 1)
                break;
            EXPECT_EQ(tarvo_cap_get_frame_times(&dev_, &d.time, 1), 1);
            out.push_back(d);
        }
        return out;
    }
};

uint64_t now_ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Every frame's sequence follows from the previous one and the frames lost between them, and
// the lost frames are those the frame index skipped.
void expect_consistent_numbering(const std::vector<Delivered> &frames) {
    for (size_t i = 1; i < frames.size(); ++i) {
        const tarvo_frame_time_t &prev = frames[i - 1].time;
        const tarvo_frame_time_t &cur = frames[i].time;
        EXPECT_EQ(cur.sequence, prev.sequence + 1 + cur.lost_before) << "frame " << i;
        const uint16_t step =
            static_cast<uint16_t>(frames[i].info.frame_idx - frames[i - 1].info.frame_idx);
        EXPECT_EQ(cur.lost_before, step - 1u) << "frame " << i;
    }
}

TEST_F(FrameTimeTest, TimesAreArrivalsPacedByTheCamera) {
    constexpr uint32_t kFps = 50;
    constexpr uint32_t kFrames = 40;
    open_at(kFps);
    const uint64_t real_before = now_ns(CLOCK_REALTIME);
    const uint64_t mono_before = now_ns(CLOCK_MONOTONIC);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    const std::vector<Delivered> frames = fetch(kFrames);
    const uint64_t mono_after = now_ns(CLOCK_MONOTONIC);
    const uint64_t real_after = now_ns(CLOCK_REALTIME);
    ASSERT_EQ(frames.size(), kFrames);
    expect_consistent_numbering(frames);

    // The camera sends frame k no earlier than k periods after capture started (a host that
    // falls behind only delays frames), so each arrival time lies at least sequence x period
    // after the start: times of arrival, not of the fetch or of the start. No upper bound: a
    // busy host may delay any frame.
    const uint64_t period_ns = (1000000u / kFps) * 1000u;  // the camera paces in whole µs
    for (size_t i = 0; i < frames.size(); ++i) {
        const tarvo_frame_time_t &t = frames[i].time;
        EXPECT_GE(t.monotonic_ns, mono_before);
        EXPECT_LE(t.monotonic_ns, mono_after);
        EXPECT_GE(t.realtime_ns, real_before);
        EXPECT_LE(t.realtime_ns, real_after);
        EXPECT_GE(t.monotonic_ns - mono_before, t.sequence * period_ns) << "frame " << i;
        if (i > 0) {
            EXPECT_GT(t.monotonic_ns, frames[i - 1].time.monotonic_ns) << "frame " << i;
        }
    }
}

TEST_F(FrameTimeTest, SequenceCarriesOnWhereTheFrameIndexWraps) {
    CameraFramesConfig frames_cfg;
    frames_cfg.first_fridx = 65533;
    open_at(60, frames_cfg);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    const std::vector<Delivered> frames = fetch(6);
    ASSERT_EQ(frames.size(), 6u);
    expect_consistent_numbering(frames);
    EXPECT_EQ(frames[2].info.frame_idx, 65535);
    EXPECT_EQ(frames[3].info.frame_idx, 0);
    EXPECT_EQ(frames[3].time.sequence, frames[2].time.sequence + 1);
    EXPECT_EQ(frames[3].time.lost_before, 0u);
}

TEST_F(FrameTimeTest, DiscardedFramesCountAsLost) {
    CameraFramesConfig frames_cfg;
    frames_cfg.data_sum = true;
    frames_cfg.damage_every = 3;  // frames 2, 5, 8... fail their payload checksum
    open_at(60, frames_cfg);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    const std::vector<Delivered> frames = fetch(6);
    ASSERT_EQ(frames.size(), 6u);
    expect_consistent_numbering(frames);
    for (const Delivered &d : frames) {
        // The camera numbers its frames from 0 as the capture does.
        EXPECT_EQ(d.time.sequence, d.info.frame_idx);
        EXPECT_NE(d.info.frame_idx % 3, 2) << "a damaged frame was delivered";
    }
    EXPECT_EQ(frames[2].time.lost_before, 1u);
}

TEST_F(FrameTimeTest, RestartNumbersFromZero) {
    open_at(60);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    ASSERT_EQ(fetch(3).size(), 3u);
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    const std::vector<Delivered> again = fetch(1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].time.sequence, 0u);
    EXPECT_EQ(again[0].time.lost_before, 0u);
}

// Each frame time carries the temperatures of its frame's stream header, signed, as sent.
TEST_F(FrameTimeTest, TimesCarryTheHeaderTemperatures) {
    struct Case {
        int16_t chip, board;
    };
    for (const Case c : {Case{0x0190, 0x0180}, Case{-125, 655}, Case{0, 0}, Case{32767, -32768}}) {
        SCOPED_TRACE(std::to_string(c.chip) + " " + std::to_string(c.board));
        CameraFramesConfig frames_cfg;
        frames_cfg.temp_chip = c.chip;
        frames_cfg.temp_ib = c.board;
        open_at(60, frames_cfg);
        ASSERT_TRUE(tarvo_cap_start(&dev_));
        const std::vector<Delivered> frames = fetch(2);
        ASSERT_EQ(frames.size(), 2u);
        for (const Delivered &d : frames) {
            EXPECT_EQ(d.time.sensor_temperature, c.chip);
            EXPECT_EQ(d.time.illumination_temperature, c.board);
        }
        tarvo_cap_stop(&dev_);
        tarvo_dev_close(&dev_);
    }
}

// The frame-ready callback's times are those a fetch reports for the same frames.
std::vector<tarvo_frame_time_t> g_callback_times;
bool g_callback_found_all = true;

TEST_F(FrameTimeTest, CallbackReadsTheTimeOfItsFrame) {
    open_at(60);
    g_callback_times.clear();
    g_callback_found_all = true;
    tarvo_cap_set_callback_on_frame_ready(&dev_, [](tarvo_dev_t *, tarvo_frame_t *frame) {
        tarvo_frame_time_t t{};
        tarvo_frame_t copy = *frame;  // a copy of the record names the same frame
        g_callback_found_all = g_callback_found_all && tarvo_frame_get_time(frame, &t) &&
                               tarvo_frame_get_time(&copy, &t);
        g_callback_times.push_back(t);
    });
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 4, nullptr, 0, nullptr), 4);
    std::vector<tarvo_frame_time_t> fetched(8);
    ASSERT_EQ(tarvo_cap_get_frame_times(&dev_, fetched.data(), 8), 4);
    EXPECT_TRUE(g_callback_found_all);
    ASSERT_EQ(g_callback_times.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(g_callback_times[i].monotonic_ns, fetched[i].monotonic_ns) << i;
        EXPECT_EQ(g_callback_times[i].sequence, fetched[i].sequence) << i;
    }
    // Outside the callback no frame is being delivered.
    tarvo_frame_t frame{};
    tarvo_frame_time_t t{};
    EXPECT_FALSE(tarvo_frame_get_time(&frame, &t));
}

TEST_F(FrameTimeTest, ArgumentsAndThreadsWithoutAFetch) {
    open_at(60);
    tarvo_frame_time_t t{};
    EXPECT_EQ(tarvo_cap_get_frame_times(nullptr, &t, 1), -1);
    EXPECT_EQ(tarvo_cap_get_frame_times(&dev_, nullptr, 1), -1);
    EXPECT_EQ(tarvo_cap_get_frame_times(&dev_, nullptr, 0), 0);
    EXPECT_FALSE(tarvo_frame_get_time(nullptr, &t));
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    ASSERT_EQ(fetch(1).size(), 1u);
    // Another thread has fetched nothing.
    int other = -2;
    std::thread([&] { other = tarvo_cap_get_frame_times(&dev_, &t, 1); }).join();
    EXPECT_EQ(other, 0);
}

}  // namespace
