// The camera's bulk stream on endpoint 0x81 under a ring of libusb bulk transfers.
#include "sim_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace tarvo::vcam;
using vcam_test::Client;
using vcam_test::eventually;

constexpr int kTransferSize = 153600;

// A ring of bulk transfers that resubmits every completion until it is told to stop, like the
// library's capture ring.
class Ring {
  public:
    struct Event {
        int status;
        int length;
    };

    Ring(Client &c, int count = 16, unsigned timeout_ms = 6000) : bufs_(count) {
        for (int i = 0; i < count; ++i) {
            bufs_[i].resize(kTransferSize);
            libusb_transfer *t = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(t, c.handle(), 0x81, bufs_[i].data(), kTransferSize,
                                      &Ring::callback, this, timeout_ms);
            xfers_.push_back(t);
        }
    }
    ~Ring() {
        cancel_all();
        wait_idle();
        for (auto *t : xfers_) {
            libusb_free_transfer(t);
        }
    }

    void submit_all() {
        std::lock_guard lk(mu_);
        resubmit_ = true;
        for (auto *t : xfers_) {
            if (libusb_submit_transfer(t) == 0) {
                ++in_flight_;
            }
        }
    }
    void cancel_all() {
        {
            std::lock_guard lk(mu_);
            resubmit_ = false;
        }
        for (auto *t : xfers_) {
            libusb_cancel_transfer(t);
        }
    }
    bool wait_idle() {
        std::unique_lock lk(mu_);
        return cv_.wait_for(lk, std::chrono::seconds(10), [&] { return in_flight_ == 0; });
    }
    // Waits until `pred` holds for the events seen so far.
    bool wait_for(const std::function<bool(const std::vector<Event> &)> &pred) {
        std::unique_lock lk(mu_);
        return cv_.wait_for(lk, std::chrono::seconds(10), [&] { return pred(events_); });
    }
    std::vector<Event> events() {
        std::lock_guard lk(mu_);
        return events_;
    }
    std::vector<uint8_t> bytes() {
        std::lock_guard lk(mu_);
        return bytes_;
    }
    int in_flight() {
        std::lock_guard lk(mu_);
        return in_flight_;
    }

  private:
    static void LIBUSB_CALL callback(libusb_transfer *t) {
        auto *ring = static_cast<Ring *>(t->user_data);
        std::lock_guard lk(ring->mu_);
        ring->events_.push_back({t->status, t->actual_length});
        ring->bytes_.insert(ring->bytes_.end(), t->buffer, t->buffer + t->actual_length);
        const bool again = ring->resubmit_ && t->status != LIBUSB_TRANSFER_CANCELLED &&
                           t->status != LIBUSB_TRANSFER_NO_DEVICE;
        if (!again || libusb_submit_transfer(t) != 0) {
            --ring->in_flight_;
        }
        ring->cv_.notify_all();
    }

    std::vector<std::vector<uint8_t>> bufs_;
    std::vector<libusb_transfer *> xfers_;
    std::mutex mu_;
    std::condition_variable cv_;
    // Guarded by mu_.
    std::vector<Event> events_;
    std::vector<uint8_t> bytes_;
    bool resubmit_ = true;
    int in_flight_ = 0;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    }
    return v;
}

size_t count_status(const std::vector<Ring::Event> &ev, int status) {
    return static_cast<size_t>(std::count_if(
        ev.begin(), ev.end(), [&](const Ring::Event &e) { return e.status == status; }));
}

class SimStream : public vcam_test::OneCamera {
  protected:
    void SetUp() override {
        OneCamera::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(libusb_clear_halt(client->handle(), 0x81), 0);
    }
    void TearDown() override {
        ring.reset();
        client.reset();
    }

    bool start(uint32_t arg = 0) {
        client->out(kTypeRegister, kRegCapStart, vcam_test::le32_bytes(arg));
        auto st = client->status();
        return st && (*st)[0] == kStatusDone && (*st)[2] == kRegCapStart;
    }
    bool stop() {
        client->out(kTypeRegister, kRegCapStop, {0xC2});
        auto st = client->status();
        return st && (*st)[0] == kStatusDone && (*st)[2] == kRegCapStop;
    }

    std::unique_ptr<Ring> ring;
};

TEST_F(SimStream, SendsNothingBeforeStartThenTheBytesAcrossTransfers) {
    const auto data = pattern(400000, 3);
    cam->set_stream_source(make_bytes_source(data));
    ring = std::make_unique<Ring>(*client);
    ring->submit_all();
    EXPECT_TRUE(eventually([&] { return cam->pending_bulk() == 16; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(ring->events().empty());

    ASSERT_TRUE(start(0x11223344));
    EXPECT_EQ(cam->start_arg(), 0x11223344u);
    EXPECT_TRUE(cam->streaming());
    ASSERT_TRUE(ring->wait_for([](auto &ev) { return ev.size() == 3; }));
    EXPECT_EQ(ring->bytes(), data);
    auto ev = ring->events();
    EXPECT_EQ(ev[0].length, kTransferSize);
    EXPECT_EQ(ev[1].length, kTransferSize);
    EXPECT_EQ(ev[2].length, 400000 - 2 * kTransferSize);

    ASSERT_TRUE(stop());
    EXPECT_FALSE(cam->streaming());
    ring->cancel_all();
    ASSERT_TRUE(ring->wait_idle());
    EXPECT_EQ(count_status(ring->events(), LIBUSB_TRANSFER_CANCELLED), 16u);
    auto stats = cam->stream_stats();
    EXPECT_EQ(stats.discarded, 16u);
    EXPECT_EQ(stats.completed, 3u);
    EXPECT_EQ(stats.bytes, 400000u);
    EXPECT_EQ(stats.starts, 1u);
    EXPECT_EQ(stats.stops, 1u);
    EXPECT_EQ(stats.clear_halts, 1u);
}

TEST_F(SimStream, ScriptedTransfers) {
    struct Case {
        const char *what;
        StreamStep step;
        int status;
        int length;
    };
    const Case cases[] = {
        {"short transfer", StreamStep::data(pattern(1000, 1)), LIBUSB_TRANSFER_COMPLETED, 1000},
        {"zero-length transfer", StreamStep::zero_length(), LIBUSB_TRANSFER_COMPLETED, 0},
        {"stall", StreamStep::stall_step(), LIBUSB_TRANSFER_STALL, 0},
        {"protocol error", StreamStep::error_step(EPROTO), LIBUSB_TRANSFER_ERROR, 0},
        {"overflow", StreamStep::error_step(EOVERFLOW), LIBUSB_TRANSFER_OVERFLOW, 0},
        {"one more byte", StreamStep::data(std::vector<uint8_t>{42}), LIBUSB_TRANSFER_COMPLETED, 1},
    };
    std::vector<StreamStep> steps;
    for (const auto &c : cases) {
        steps.push_back(c.step);
    }
    cam->set_stream_source(make_script_source(steps));
    ring = std::make_unique<Ring>(*client);
    ring->submit_all();
    ASSERT_TRUE(start());
    ASSERT_TRUE(ring->wait_for([&](auto &ev) { return ev.size() == std::size(cases); }));
    auto ev = ring->events();
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(ev[i].status, cases[i].status) << cases[i].what;
        EXPECT_EQ(ev[i].length, cases[i].length) << cases[i].what;
    }
    auto stats = cam->stream_stats();
    EXPECT_EQ(stats.zero_length, 1u);
    EXPECT_EQ(stats.stalls, 1u);
    EXPECT_EQ(stats.errors, 2u);
}

TEST_F(SimStream, SilenceRunsIntoTransferTimeouts) {
    cam->set_stream_source(make_script_source(
        {StreamStep::silence(std::chrono::milliseconds(400)), StreamStep::data(pattern(5, 9))}));
    ring = std::make_unique<Ring>(*client, 2, 100);
    ring->submit_all();
    ASSERT_TRUE(start());
    ASSERT_TRUE(ring->wait_for(
        [](auto &ev) { return !ev.empty() && ev.back().status == LIBUSB_TRANSFER_COMPLETED; }));
    auto ev = ring->events();
    EXPECT_GE(count_status(ev, LIBUSB_TRANSFER_TIMED_OUT), 2u);
    EXPECT_EQ(ev.back().length, 5);
}

TEST_F(SimStream, StopLeavesTransfersPendingUntilCancelled) {
    cam->set_stream_source(make_script_source({StreamStep::data(pattern(kTransferSize, 0))}, true));
    ring = std::make_unique<Ring>(*client);
    ring->submit_all();
    ASSERT_TRUE(start());
    ASSERT_TRUE(ring->wait_for([](auto &ev) { return ev.size() >= 50; }));
    ASSERT_TRUE(stop());
    // Whatever the camera had in hand completes; the rest wait for the host.
    EXPECT_TRUE(eventually([&] { return cam->pending_bulk() == 16; }));
    const size_t before = ring->events().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ring->events().size(), before);
    ring->cancel_all();
    ASSERT_TRUE(ring->wait_idle());
    auto ev = ring->events();
    EXPECT_EQ(count_status(ev, LIBUSB_TRANSFER_CANCELLED), 16u);
    EXPECT_EQ(count_status(ev, LIBUSB_TRANSFER_COMPLETED), ev.size() - 16);
}

TEST_F(SimStream, EveryStartReplaysTheSource) {
    const auto data = pattern(1000, 5);
    cam->set_stream_source(make_bytes_source(data, 300));
    ring = std::make_unique<Ring>(*client);
    ring->submit_all();
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(start());
        ASSERT_TRUE(ring->wait_for([&](auto &ev) { return ev.size() == 4u * round; }));
        ASSERT_TRUE(stop());
    }
    auto ev = ring->events();
    EXPECT_EQ(ev[0].length, 300);
    EXPECT_EQ(ev[3].length, 100);
    auto all = ring->bytes();
    EXPECT_EQ(std::vector<uint8_t>(all.begin(), all.begin() + 1000), data);
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + 1000, all.end()), data);
}

TEST_F(SimStream, FramesFollowTheFrameRateParameter) {
    struct Counter : FrameGenerator {
        std::atomic<uint32_t> rate{0};
        void on_start(const StreamContext &ctx) override { rate = ctx.frame_rate; }
        std::shared_ptr<const std::vector<uint8_t>> frame(uint32_t seq) override {
            auto f = std::make_shared<std::vector<uint8_t>>(200000, static_cast<uint8_t>(seq));
            return f;
        }
    };
    auto gen = std::make_shared<Counter>();
    cam->set_param(kParamFrameRate, std::vector<uint8_t>{200, 0, 0, 0});
    cam->set_stream_source(make_frame_source(gen));
    ring = std::make_unique<Ring>(*client);
    ring->submit_all();
    ASSERT_TRUE(start());
    // Each 200000-byte frame spans a full transfer and a short one.
    ASSERT_TRUE(ring->wait_for([](auto &ev) { return ev.size() >= 8; }));
    EXPECT_EQ(gen->rate.load(), 200u);
    ASSERT_TRUE(stop());
    auto ev = ring->events();
    auto bytes = ring->bytes();
    EXPECT_EQ(ev[0].length, kTransferSize);
    EXPECT_EQ(ev[1].length, 200000 - kTransferSize);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[200000], 1);
    EXPECT_EQ(bytes[600000], 3);
}

TEST_F(SimStream, UnplugEndsPendingTransfersWithNoDevice) {
    ring = std::make_unique<Ring>(*client);
    ring->submit_all();
    ASSERT_TRUE(start());
    EXPECT_TRUE(eventually([&] { return cam->pending_bulk() == 16; }));
    cam->unplug();
    ASSERT_TRUE(ring->wait_idle());
    EXPECT_EQ(count_status(ring->events(), LIBUSB_TRANSFER_NO_DEVICE), 16u);
    EXPECT_FALSE(cam->streaming());
}

TEST_F(SimStream, TwoCamerasStreamTheirOwnData) {
    auto other = Bus::get().add_camera();
    Client second(other->port());
    ASSERT_TRUE(second.opened());
    ASSERT_EQ(second.setup(0), 0);
    cam->set_stream_source(make_bytes_source(pattern(5000, 1)));
    other->set_stream_source(make_bytes_source(pattern(7000, 2)));
    ring = std::make_unique<Ring>(*client);
    Ring ring2(second);
    ring->submit_all();
    ring2.submit_all();
    ASSERT_TRUE(start());
    second.out(kTypeRegister, kRegCapStart, {0, 0, 0, 0});
    ASSERT_TRUE(ring->wait_for([](auto &ev) { return ev.size() == 1; }));
    ASSERT_TRUE(ring2.wait_for([](auto &ev) { return ev.size() == 1; }));
    EXPECT_EQ(ring->bytes(), pattern(5000, 1));
    EXPECT_EQ(ring2.bytes(), pattern(7000, 2));
}

}  // namespace
