// The bulk stream ring on the virtual camera: delivery, resubmission, transfer errors, stop,
// refused start and close while streaming.
#include <tarvo/ll.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "ll/ll_vcam.h"

namespace tarvo::test {
namespace {

using vcam::StreamStep;

// Records what the capture callback receives on the event thread.
class Recorder {
  public:
    static int callback(tarvo_ll_dev_t *dev, int event, const uint8_t *data, int len, void *arg) {
        auto *self = static_cast<Recorder *>(arg);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->events_.push_back({event, len});
        if (event == 0)
            self->bytes_.insert(self->bytes_.end(), data, data + len);
        if (self->abort_on_data_ && event == 0 && len > 0)
            tarvo_ll_cap_abort(dev);
        return 0;
    }

    struct Event {
        int code;
        int len;
        bool operator==(const Event &) const = default;
    };

    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    size_t count(int code) const {
        const auto all = events();
        return static_cast<size_t>(std::count_if(
            all.begin(), all.end(), [code](const Event &e) { return e.code == code; }));
    }
    size_t byte_count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_.size();
    }
    std::vector<uint8_t> bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    void abort_on_data() { abort_on_data_ = true; }

  private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::vector<uint8_t> bytes_;
    bool abort_on_data_ = false;
};

class LlStream : public LlVcamOpen {
  protected:
    bool start(uint32_t arg = 0) {
        return tarvo_ll_cap_start(&dev_, arg, Recorder::callback, &rec_);
    }
    bool ring_idle() const {
        for (const auto &busy : priv(dev_)->xfer_busy) {
            if (busy.load() != 0)
                return false;
        }
        return true;
    }
    size_t pending() const { return cam_->pending_bulk(); }

    Recorder rec_;
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return v;
}

TEST_F(LlStream, BytesArriveInOrderAcrossTransfers) {
    const std::vector<uint8_t> sent = pattern(400000);  // more than two transfer buffers
    cam_->set_stream_source(vcam::make_bytes_source(sent, 100000));
    ASSERT_TRUE(start(0x12345678u));
    EXPECT_EQ(cam_->start_arg(), 0x12345678u);
    const auto starts = commands_of(*cam_, 0xC2, 4, vcam::Dir::out);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].data, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(log().count("[usb_ll_cap_start] trans[", "TRC"), 16u);
    EXPECT_EQ(log().count("issue: txlen=153600", "TRC"), 16u);

    ASSERT_TRUE(eventually([&] { return rec_.byte_count() >= sent.size(); }));
    EXPECT_EQ(rec_.bytes(), sent);
    EXPECT_EQ(rec_.count(0), rec_.events().size());
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev_));
    EXPECT_TRUE(log().unexpected("ERR").empty());
}

TEST_F(LlStream, StopCancelsEveryTransferAndResubmitsNone) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return pending() == 16; }));
    log().clear();

    ASSERT_TRUE(tarvo_ll_cap_stop(&dev_));
    // Stop returns with the ring drained.
    EXPECT_EQ(rec_.count(-3), 16u);
    EXPECT_EQ(rec_.events().size(), 16u);
    EXPECT_TRUE(ring_idle());
    EXPECT_EQ(pending(), 0u);
    EXPECT_FALSE(cam_->streaming());
    EXPECT_EQ(log().count("[usb_ll_cap_stop] trans[", "TRC"), 16u);
    EXPECT_EQ(log().count("cancel: status=", "TRC"), 16u);
    EXPECT_EQ(log().count("]: txlen=0, status = 3", "TRC"), 16u);  // LIBUSB_TRANSFER_CANCELLED
    EXPECT_EQ(log().count("cancelled (last_tx=0)", "TRC"), 16u);
    EXPECT_EQ(log().count("issue: size="), 0u);
    const auto stops = commands_of(*cam_, 0xC2, 5, vcam::Dir::out);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].data, std::vector<uint8_t>{0xC2});
}

TEST_F(LlStream, RefusedStartCancelsTheRingEvenForACallbackThatDoesNotAbort) {
    cam_->add_fault(vcam::Fault::fail(0xC2, 4, "not now", 1));
    EXPECT_FALSE(start());
    EXPECT_EQ(log().count("[usb_ll_cap_start] tarvo_ll_cap_start failed", "WRN"), 1u);
    EXPECT_EQ(log().count("[usb_ll_cap_start] trans[", "TRC"), 32u);  // 16 issued, 16 cancelled
    EXPECT_EQ(log().count("cancel: status=", "TRC"), 16u);
    EXPECT_EQ(rec_.count(-3), 16u);
    EXPECT_EQ(log().count("issue: size="), 0u);
    EXPECT_TRUE(ring_idle());
    EXPECT_EQ(pending(), 0u);

    // The ring can start again once the camera agrees.
    ASSERT_TRUE(start());
    EXPECT_FALSE(log().contains("issue failed"));
    EXPECT_TRUE(tarvo_ll_cap_stop(&dev_));
}

TEST_F(LlStream, SilentCameraTimesOutEveryTransferAndKeepsTheRing) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return rec_.count(-5) >= 16; }));
    ASSERT_TRUE(eventually([&] { return pending() == 16; }));  // all back in the ring
    EXPECT_GE(log().count("timeout (last_tx=0)", "DBG"), 16u);
    EXPECT_GE(log().count("[on_usb_trans_event] trans[", "TRC"), 16u);
    EXPECT_GE(log().count("issue: size=153600 ", "TRC"), 16u);
    // Each timeout is followed by its transfer's resubmission.
    const int first_timeout = log().find("timeout (last_tx=0)");
    EXPECT_GT(log().find("issue: size=153600", first_timeout), first_timeout);
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev_));
    EXPECT_EQ(rec_.count(-3), 16u);
}

TEST_F(LlStream, ZeroLengthTransferIsDeliveredAndResubmitted) {
    cam_->set_stream_source(vcam::make_script_source(
        {StreamStep::zero_length(), StreamStep::data(std::vector<uint8_t>(100, 0x42))}));
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return rec_.byte_count() >= 100; }));
    const auto events = rec_.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], (Recorder::Event{0, 0}));
    EXPECT_EQ(events[1], (Recorder::Event{0, 100}));
    EXPECT_GE(log().count("issue: size=153600 ", "TRC"), 2u);
    EXPECT_EQ(rec_.bytes(), std::vector<uint8_t>(100, 0x42));
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev_));
}

TEST_F(LlStream, TransferErrorsAreDeliveredAndTheRingGoesOn) {
    cam_->set_stream_source(
        vcam::make_script_source({StreamStep::stall_step(), StreamStep::error_step(EPROTO),
                                  StreamStep::data(std::vector<uint8_t>(10, 1))}));
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return rec_.byte_count() >= 10; }));
    const auto events = rec_.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].code, -7);
    EXPECT_EQ(events[1].code, -10);
    EXPECT_EQ(events[2], (Recorder::Event{0, 10}));
    EXPECT_EQ(log().count("stall (last_tx=0)", "WRN"), 1u);
    EXPECT_EQ(log().count("error (1) (last_tx=0)", "WRN"), 1u);
    EXPECT_GE(log().count("issue: size=153600 ", "TRC"), 3u);
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev_));
}

TEST_F(LlStream, WithoutACallbackCompletionsAreLoggedResubmittedAndStopEndsTheRing) {
    cam_->set_stream_source(vcam::make_bytes_source(std::vector<uint8_t>(1000, 3)));
    ASSERT_TRUE(tarvo_ll_cap_start(&dev_, 0, nullptr, nullptr));
    ASSERT_TRUE(eventually([&] { return log().contains("txlen=1000, status = 0"); }));
    ASSERT_TRUE(eventually([&] { return log().count("issue: size=153600 ", "TRC") == 1; }));
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev_));
    EXPECT_TRUE(ring_idle());
    EXPECT_EQ(pending(), 0u);
    EXPECT_EQ(log().count("cancelled (last_tx=0)", "TRC"), 16u);
    EXPECT_EQ(log().count("issue: size=153600 ", "TRC"), 1u);
}

TEST_F(LlStream, CallbackAbortKeepsItsTransferOutOfTheRing) {
    rec_.abort_on_data();
    cam_->set_stream_source(vcam::make_bytes_source(std::vector<uint8_t>(10, 3)));
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return rec_.byte_count() == 10; }));
    ASSERT_TRUE(eventually([&] { return pending() == 15; }));
    EXPECT_EQ(log().count("issue: size="), 0u);
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev_));
    EXPECT_EQ(rec_.count(-3), 15u);
}

TEST_F(LlStream, CloseWhileStreamingEndsTheRingFirst) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return pending() == 16; }));
    tarvo_ll_dev_close(&dev_);
    EXPECT_EQ(dev_.priv, nullptr);
    EXPECT_EQ(rec_.count(-3), 16u);
    EXPECT_EQ(pending(), 0u);
    EXPECT_FALSE(log().contains("stream transfers still pending"));
}

TEST_F(LlStream, CloseAfterTheEventThreadDiedReleasesTransfersStillInFlight) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return pending() == 16; }));
    priv(dev_)->evt_stop = 1;  // the thread leaves as it would on a libusb error
    ASSERT_TRUE(eventually([&] { return priv(dev_)->evt_running.load() == 0; }));
    tarvo_ll_dev_close(&dev_);  // must neither hang nor touch freed memory
    EXPECT_EQ(dev_.priv, nullptr);
    EXPECT_EQ(log().count("[usb_ll_dev_close] stream transfers still pending", "WRN"), 1u);
    EXPECT_EQ(rec_.events().size(), 0u);
}

TEST_F(LlStream, StartOnAClosedRecordFails) {
    tarvo_ll_dev_close(&dev_);
    EXPECT_FALSE(start());
    EXPECT_FALSE(tarvo_ll_cap_stop(&dev_));
    EXPECT_EQ(log().count("USB handler Is NULL!", "ERR"), 2u);
}

}  // namespace
}  // namespace tarvo::test
