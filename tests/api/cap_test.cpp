// Capture end to end through the public interface: the virtual camera streams frames in stream
// packets, the library parses, buffers and delivers them.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/vcam_device.h"
#include "support/wait.h"

namespace {

using tarvo::test::eventually;
using tarvo::test::kFrameBytes;
using tarvo::vcam::CameraFramesConfig;
using tarvo::vcam::StreamStep;
namespace vcam = tarvo::vcam;

constexpr uint32_t kTwoFrames = 2 * TARVO_CAP_FRAME_UNIT;

// The last error the error callback reported.
std::atomic<int> g_last_error{0};

class CapTest : public tarvo::test::VcamDeviceTest {
  protected:
    // An error callback that notes each error and lets capture go on.
    void record_errors() {
        g_last_error = 0;
        tarvo_cap_set_callback_on_error(&dev_, [](tarvo_dev_t *, int err, uint32_t) {
            g_last_error = err;
            return true;
        });
    }
};

TEST_F(CapTest, FramesArriveIntactAndInOrder) {
    CameraFramesConfig cfg;
    cfg.max_packet_payload = 50000;  // every frame spans several packets
    cfg.data_sum = true;
    open_with(cfg);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    EXPECT_TRUE(tarvo_cap_is_ongoing(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    for (uint32_t seq = 0; seq < 5; ++seq) {
        tarvo_frame_info_t info{};
        ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &info), 1) << seq;
        EXPECT_EQ(info.frame_idx, seq);
        EXPECT_EQ(info.frame_size, kFrameBytes);
        EXPECT_EQ(info.frame_format, vcam::kFormatDcs4);
        EXPECT_EQ(info.width, 320u);
        EXPECT_EQ(info.height, 240u);
        EXPECT_EQ(info.pixel_size, 8);
        ASSERT_TRUE(buf == expected(seq)) << "frame " << seq << " differs";
    }
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    EXPECT_FALSE(tarvo_cap_is_ongoing(&dev_));
    // The camera holds no factory calibration package, so the open reports the load failed.
    EXPECT_EQ(log_.unexpected("ERR", {"Load calibration data failed"}), std::vector<std::string>{});
}

TEST_F(CapTest, RenderedSceneFramesArriveAsRendered) {
    open_with(vcam::scene_frames());
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    tarvo_frame_info_t info{};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &info), 1);
        EXPECT_TRUE(buf == expected(info.frame_idx));
    }
}

TEST_F(CapTest, SeveralFramesIntoOneBufferFirstInfoAndTheRestStays) {
    CameraFramesConfig cfg;
    cfg.frames_per_transfer = 5;  // five frames arrive at once
    open_with(cfg);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    ASSERT_TRUE(eventually([&] { return cam_->stream_stats().bytes >= 5u * kFrameBytes; }));
    std::vector<uint8_t> buf(3 * kFrameBytes);
    tarvo_frame_info_t info{};
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 3, buf.data(), 3 * kFrameBytes, &info), 3);
    EXPECT_EQ(info.frame_idx, 0);
    for (uint32_t seq = 0; seq < 3; ++seq) {
        EXPECT_TRUE(std::equal(buf.begin() + seq * kFrameBytes,
                               buf.begin() + (seq + 1) * kFrameBytes, expected(seq).begin()))
            << seq;
    }
    std::vector<uint8_t> one(kFrameBytes);
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, one.data(), kFrameBytes, &info), 1);
    EXPECT_EQ(info.frame_idx, 3);
    EXPECT_TRUE(one == expected(3));
}

TEST_F(CapTest, BurstBeyondTheBufferKeepsTheNewestFrames) {
    CameraFramesConfig cfg;
    cfg.frames_per_transfer = 6;  // six frames at once into a buffer of two
    open_with(cfg, kTwoFrames);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    // Wait until the parser has been fed all six frames before fetching any.
    const auto fed = [&] {
        size_t total = 0;
        for (const std::string &line : log_.lines_with("raw bytes"))
            total += std::stoul(line.substr(line.find("] ", line.find("feed_input")) + 2));
        return total;
    };
    ASSERT_TRUE(eventually([&] { return fed() >= 6u * (kFrameBytes + 36); }));
    std::vector<uint8_t> buf(kFrameBytes);
    tarvo_frame_info_t info{};
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &info), 1);
    // Frames 0 to 3 were dropped to make room (later bursts may have pushed on further).
    EXPECT_GE(info.frame_idx, 4);
    EXPECT_TRUE(buf == expected(info.frame_idx));
}

TEST_F(CapTest, UnplugDuringCaptureReachesTheErrorCallback) {
    open_with({});
    record_errors();
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), 1);
    cam_->unplug();
    EXPECT_TRUE(tarvo_cap_wait(&dev_, 0));
    EXPECT_EQ(g_last_error.load(), TARVO_ERR_CAP_UNKNOWN);
    tarvo_dev_close(&dev_);  // no camera to answer the stop: close still returns
    EXPECT_EQ(dev_.ctx, nullptr);
}

TEST_F(CapTest, FrameBufferMustHoldTwoFrameUnits) {
    open_with({}, kTwoFrames - 1);
    EXPECT_FALSE(tarvo_cap_start(&dev_));
    EXPECT_TRUE(log_.contains("capture buffer not set or size is not correct", "ERR"));
    uint8_t *buf = reinterpret_cast<uint8_t *>(1);
    uint32_t size = 0;
    EXPECT_TRUE(tarvo_cap_get_frame_buffer(&dev_, &buf, &size));
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, TARVO_CAP_FRAME_UNIT);
    ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev_, nullptr, kTwoFrames));
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    // Not while capturing, not on a closed handle.
    EXPECT_FALSE(tarvo_cap_set_frame_buffer(&dev_, nullptr, kTwoFrames));
    tarvo_dev_t closed{};
    EXPECT_FALSE(tarvo_cap_set_frame_buffer(&closed, nullptr, kTwoFrames));
    EXPECT_FALSE(tarvo_cap_set_frame_buffer(nullptr, nullptr, kTwoFrames));
}

TEST_F(CapTest, FetchArgumentsAndStates) {
    open_with({});
    std::vector<uint8_t> buf(kFrameBytes);
    EXPECT_EQ(tarvo_cap_get_frames(&dev_, 0, buf.data(), kFrameBytes, nullptr), -1);
    tarvo_dev_t closed{};
    EXPECT_EQ(tarvo_cap_get_frames(&closed, 1, buf.data(), kFrameBytes, nullptr), -1);
    EXPECT_EQ(log_.count("Wrong params"), 2u);
    EXPECT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), -2);
    EXPECT_EQ(tarvo_cap_get_frame(&dev_, buf.data(), kFrameBytes, nullptr), -2);
    EXPECT_TRUE(log_.contains("device is not capturing"));
    EXPECT_FALSE(tarvo_cap_wait(&dev_, 10));
    EXPECT_TRUE(tarvo_cap_stop(&dev_));  // not capturing is fine
    EXPECT_FALSE(tarvo_cap_stop(&closed));
}

TEST_F(CapTest, GetFrameReturnsZeroAtOnceWhenNothingIsReady) {
    open_with({});
    cam_->set_stream_source(vcam::make_script_source({}));  // the camera sends nothing
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    std::vector<uint8_t> untouched = buf;
    EXPECT_EQ(tarvo_cap_get_frame(&dev_, buf.data(), kFrameBytes, nullptr), 0);
    EXPECT_TRUE(buf == untouched);
}

TEST_F(CapTest, ZeroFrameRateGivesTheDefaultTimeout) {
    cam_->set_param(12, std::vector<uint8_t>{0, 0, 0, 0});
    open_with({});
    // The camera sends nothing: the fetch waits out its deadline.
    cam_->set_stream_source(vcam::make_script_source({}));
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    EXPECT_EQ(tarvo_cap_get_frames(&dev_, 5, nullptr, 0, nullptr), 0);
    EXPECT_TRUE(log_.contains("frame_num = 5, timeout_msec=2750", "TRC"));
    EXPECT_TRUE(
        log_.contains(std::string("timeout ... (") + std::strerror(ETIMEDOUT) + ")", "INF"));
}

TEST_F(CapTest, FrameReadyCallbackRunsOnTheFetchingThread) {
    open_with({});
    static std::thread::id cb_thread;
    static std::vector<uint16_t> indices;
    static std::vector<uint8_t> first_bytes;
    indices.clear();
    tarvo_cap_set_callback_on_frame_ready(&dev_, [](tarvo_dev_t *, tarvo_frame_t *frame) {
        cb_thread = std::this_thread::get_id();
        indices.push_back(frame->info.frame_idx);
        if (first_bytes.empty())
            first_bytes.assign(frame->data, frame->data + frame->info.frame_size);
    });
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    // Without a buffer the frames reach the callback only.
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 3, nullptr, 0, nullptr), 3);
    EXPECT_EQ(cb_thread, std::this_thread::get_id());
    EXPECT_EQ(indices, (std::vector<uint16_t>{0, 1, 2}));
    EXPECT_TRUE(first_bytes == expected(0));
    EXPECT_EQ(log_.count("frdy cb (", "DBG"), 3u);
}

TEST_F(CapTest, ShortBufferIsTruncatedButTheCallbackSeesWholeFrames) {
    open_with({});
    static size_t whole = 0;
    whole = 0;
    static std::vector<uint8_t> want;
    want = expected(0);
    tarvo_cap_set_callback_on_frame_ready(&dev_, [](tarvo_dev_t *, tarvo_frame_t *frame) {
        if (frame->info.frame_idx == 0 &&
            std::memcmp(frame->data, want.data(), frame->info.frame_size) == 0) {
            ++whole;
        }
    });
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::vector<uint8_t> small(1000);  // exact size: ASan catches a write past it
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, small.data(), 1000, nullptr), 1);
    EXPECT_EQ(whole, 1u);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), want.begin()));
    EXPECT_EQ(
        log_.count("buffer space of 1000 bytes is smaller than the frame of 614400 bytes", "WRN"),
        1u);
}

// The cut frame still counts, for a fetch without a frame-ready callback too, and the caller
// learns from the log why the frame will not decode; a buffer that holds the frame says nothing.
TEST_F(CapTest, ShortFetchBufferIsCountedAndNamedInAWarning) {
    open_with({});
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    struct Case {
        uint32_t size;
        size_t warnings;
    };
    const Case cases[] = {{kFrameBytes - 1, 1}, {16, 1}, {kFrameBytes, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        log_.clear();
        std::vector<uint8_t> buf(c.size);
        tarvo_frame_info_t info{};
        ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), c.size, &info), 1);
        EXPECT_EQ(info.frame_size, kFrameBytes);
        const std::string line = "buffer space of " + std::to_string(c.size) +
                                 " bytes is smaller than the frame of 614400 bytes";
        EXPECT_EQ(log_.count(line, "WRN"), c.warnings);
    }
    // Two frames into room for one and a half: the second is the one cut, at what is left.
    std::vector<uint8_t> buf(kFrameBytes + kFrameBytes / 2);
    log_.clear();
    ASSERT_EQ(
        tarvo_cap_get_frames(&dev_, 2, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), 2);
    EXPECT_EQ(
        log_.count("buffer space of 307200 bytes is smaller than the frame of 614400 bytes", "WRN"),
        1u);
}

TEST_F(CapTest, StallReachesAWaitInAnotherThread) {
    open_with({});
    record_errors();
    std::vector<StreamStep> steps;
    steps.push_back(StreamStep::data(std::vector<uint8_t>(100, 0)));
    steps.push_back(StreamStep::stall_step());
    cam_->set_stream_source(vcam::make_script_source(steps));
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::atomic<bool> result{false};
    std::thread waiter([&] { result = tarvo_cap_wait(&dev_, 0); });
    waiter.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(g_last_error.load(), TARVO_ERR_CAP_STALL);
    EXPECT_TRUE(log_.contains("error cb invoke: TARVO_ERR_CAP_STALL", "TRC"));
}

TEST_F(CapTest, DamagedFramesAreReportedWithTheirTotal) {
    CameraFramesConfig cfg;
    cfg.data_sum = true;
    cfg.damage_every = 2;  // frames 1, 3, 5... fail their checksum
    open_with(cfg);
    static std::atomic<uint32_t> total{0};
    static std::atomic<int> code{0};
    total = 0;
    tarvo_cap_set_callback_on_error(&dev_, [](tarvo_dev_t *, int err, uint32_t arg) {
        code = err;
        total = arg;
        return true;
    });
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    tarvo_frame_info_t info{};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &info), 1);
        EXPECT_EQ(info.frame_idx % 2, 0) << "a damaged frame was delivered";
        EXPECT_TRUE(buf == expected(info.frame_idx));
    }
    EXPECT_EQ(code.load(), TARVO_ERR_CAP_FRAME_DISCARD);
    EXPECT_GE(total.load(), 2u);
    EXPECT_TRUE(log_.contains("trans discard 1 frames", "DBG"));
}

TEST_F(CapTest, ErrorCallbackReturningFalseMutesDeliveryUntilNextStart) {
    ASSERT_NO_FATAL_FAILURE(start_muted_capture());
    // Muted: a wait returns at once, and no frame is handed out.
    EXPECT_TRUE(tarvo_cap_wait(&dev_, 0));
    std::vector<uint8_t> buf(kFrameBytes);
    EXPECT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), 0);
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    // The next start delivers again.
    cam_->set_stream_source(vcam::make_camera_stream({}));
    frames_ = {};
    tarvo_cap_set_callback_on_error(&dev_, nullptr);
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    ASSERT_EQ(tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), 1);
    EXPECT_TRUE(buf == expected(0));
}

TEST_F(CapTest, StopAndCloseWakeThreadsThatWait) {
    cam_->set_param(12, std::vector<uint8_t>{1, 0, 0, 0});
    open_with({});
    cam_->set_stream_source(vcam::make_script_source({}));  // nothing ever arrives
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::atomic<int> fetched{99};
    std::atomic<bool> waited{false};
    std::thread fetcher([&] { fetched = tarvo_cap_get_frames(&dev_, 100, nullptr, 0, nullptr); });
    std::thread waiter([&] { waited = tarvo_cap_wait(&dev_, 0); });
    ASSERT_TRUE(eventually([&] { return log_.contains("frame_num = 100"); }));
    ASSERT_TRUE(tarvo_cap_stop(&dev_));
    fetcher.join();
    waiter.join();
    EXPECT_TRUE(fetched.load() == -2 || fetched.load() == 0) << fetched.load();
    EXPECT_TRUE(waited.load());

    // Close while a thread waits without limit.
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    std::thread late([&] { tarvo_cap_wait(&dev_, 0); });
    ASSERT_TRUE(eventually([&] { return log_.count("timeout_msec=0", "DBG") >= 2; }));
    tarvo_dev_close(&dev_);
    late.join();
    EXPECT_EQ(dev_.ctx, nullptr);
}

TEST_F(CapTest, SnapshotStartsAndStopsAroundOneFrame) {
    open_with({});
    std::vector<uint8_t> buf(kFrameBytes);
    tarvo_frame_info_t info{};
    ASSERT_TRUE(tarvo_cap_snapshot(&dev_, buf.data(), kFrameBytes, &info));
    EXPECT_FALSE(tarvo_cap_is_ongoing(&dev_));
    EXPECT_TRUE(buf == expected(info.frame_idx));
    tarvo_dev_t closed{};
    EXPECT_FALSE(tarvo_cap_snapshot(&closed, buf.data(), kFrameBytes, &info));
}

TEST_F(CapTest, CloseStopsARunningCapture) {
    open_with({});
    ASSERT_TRUE(tarvo_cap_start(&dev_));
    tarvo_dev_close(&dev_);
    EXPECT_EQ(dev_.ctx, nullptr);
    EXPECT_FALSE(cam_->streaming());
    // The camera holds no factory calibration package, so the open reports the load failed.
    EXPECT_EQ(log_.unexpected("ERR", {"Load calibration data failed"}), std::vector<std::string>{});
}

TEST_F(CapTest, RefusedStartLeavesCaptureIdle) {
    open_with({});
    cam_->add_fault(vcam::Fault::fail(0xC2, 4, "sensor not ready"));
    EXPECT_FALSE(tarvo_cap_start(&dev_));
    EXPECT_FALSE(tarvo_cap_is_ongoing(&dev_));
    EXPECT_TRUE(log_.contains("sensor not ready", "ERR"));
}

}  // namespace

namespace {

// Every capture call in every capture state, each from a fresh device.
enum class State { closed, idle, capturing, stopping, muted };
enum class Call { set_buffer, start, stop, get_frames, wait, is_ongoing, snapshot };

struct StateCase {
    State state;
    Call call;
    int expected;  // bool results as 0/1
};

class CapStates : public CapTest, public ::testing::WithParamInterface<StateCase> {
  protected:
    // Brings the device into `state`.
    void enter(State state) {
        if (state == State::closed)
            return;
        if (state == State::muted)
            return start_muted_capture();
        open_with({});
        if (state == State::stopping) {
            cam_->set_stream_source(vcam::make_script_source({StreamStep::stall_step()}));
        }
        if (state == State::idle)
            return;
        ASSERT_TRUE(tarvo_cap_start(&dev_));
        if (state == State::stopping) {
            ASSERT_TRUE(tarvo_cap_wait(&dev_, 0));  // until the stall
        }
    }

    int perform(Call call) {
        std::vector<uint8_t> buf(kFrameBytes);
        switch (call) {
            case Call::set_buffer:
                return tarvo_cap_set_frame_buffer(&dev_, nullptr, kTwoFrames);
            case Call::start:
                return tarvo_cap_start(&dev_);
            case Call::stop:
                return tarvo_cap_stop(&dev_);
            case Call::get_frames:
                return tarvo_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr);
            case Call::wait:
                return tarvo_cap_wait(&dev_, 50);
            case Call::is_ongoing:
                return tarvo_cap_is_ongoing(&dev_);
            case Call::snapshot:
                return tarvo_cap_snapshot(&dev_, buf.data(), kFrameBytes, nullptr);
        }
        return -100;
    }
};

TEST_P(CapStates, CallGivesItsResult) {
    const StateCase c = GetParam();
    ASSERT_NO_FATAL_FAILURE(enter(c.state));
    EXPECT_EQ(perform(c.call), c.expected);
}

constexpr int kWrongParams = -1;
constexpr int kNotCapturing = -2;
constexpr int kStall = TARVO_ERR_CAP_STALL;
constexpr int kUntested = 100;  // no such case: snapshot while stopping or muted
constexpr int kCallCount = 7;

// The result of every call in one state, in the order of Call.
struct StateRow {
    State state;
    int results[kCallCount];
};

// Capturing: start fails as it is already running, and wait times out while capture goes on.
// Stopping: start fails until the stop, and a fetch reports the pending stall (there is no error
// callback). Muted: start ends the muted capture and starts afresh.
// clang-format off
const StateRow kStateRows[] = {
    //                  set_buffer start stop get_frames     wait is_ongoing snapshot
    {State::closed,    {0,         0,    0,   kWrongParams,  0,   0,         0}},
    {State::idle,      {1,         1,    1,   kNotCapturing, 0,   0,         1}},
    {State::capturing, {0,         0,    1,   1,             0,   1,         1}},
    {State::stopping,  {0,         0,    1,   kStall,        1,   1,         kUntested}},
    {State::muted,     {0,         1,    1,   0,             1,   1,         kUntested}},
};
// clang-format on

std::vector<StateCase> state_cases() {
    std::vector<StateCase> cases;
    for (const StateRow &row : kStateRows) {
        for (int call = 0; call < kCallCount; ++call) {
            if (row.results[call] != kUntested)
                cases.push_back({row.state, static_cast<Call>(call), row.results[call]});
        }
    }
    return cases;
}

std::string case_name(const ::testing::TestParamInfo<StateCase> &info) {
    static const char *const states[] = {"closed", "idle", "capturing", "stopping", "muted"};
    static const char *const calls[] = {"set_buffer", "start",      "stop",    "get_frames",
                                        "wait",       "is_ongoing", "snapshot"};
    return std::string(states[static_cast<int>(info.param.state)]) + "_" +
           calls[static_cast<int>(info.param.call)];
}

INSTANTIATE_TEST_SUITE_P(EveryState, CapStates, ::testing::ValuesIn(state_cases()), case_name);

}  // namespace
