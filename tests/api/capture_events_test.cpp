// The capture engine's transfer callback on its own: what each transport event does to the
// device's capture state, without a camera.
#include <tarvo/init.h>

#include <gtest/gtest.h>

#include "api/dev_ctx.h"
#include "support/log_capture.h"

namespace {

int g_aborts = 0;
void count_abort(tarvo_ll_dev_t *) {
    ++g_aborts;
}

class CaptureEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        g_aborts = 0;
        ops_.cap_abort = count_abort;
        dev_.ctx = &ctx_;
        ctx_.ll.ops = &ops_;
        zr_stream_cfg_t cfg{10};
        ctx_.stream = zr_stream_create(&cfg);
        ctx_.stop = 0;
    }
    void TearDown() override { zr_stream_destroy(ctx_.stream); }
    int event(int status) { return tarvo::on_capture_event(&ctx_.ll, status, nullptr, 0, &dev_); }

    tarvo::test::LogCapture log_;
    tarvo_ll_ops_t ops_{};
    tarvo_dev_ctx_t ctx_;
    tarvo_dev_t dev_{};
};

TEST_F(CaptureEvents, TheSixtyFifthTimeoutStopsCapture) {
    for (int i = 0; i < 64; ++i)
        event(TARVO_ERR_CAP_TIMEOUT);
    EXPECT_EQ(ctx_.stop.load(), 0);
    EXPECT_EQ(ctx_.err.load(), 0);
    EXPECT_EQ(g_aborts, 0);
    event(TARVO_ERR_CAP_TIMEOUT);
    EXPECT_EQ(ctx_.stop.load(), 1);
    EXPECT_EQ(ctx_.err.load(), TARVO_ERR_CAP_TIMEOUT);
    EXPECT_EQ(g_aborts, 1);
    EXPECT_EQ(log_.count("[on_capture_event] trans timeout -> stop", "WRN"), 1u);
    event(TARVO_ERR_CAP_TIMEOUT);  // already stopping: no second report
    EXPECT_EQ(g_aborts, 1);
    EXPECT_EQ(ctx_.timeouts.load(), 66u);
}

TEST_F(CaptureEvents, TransportErrorsStopAndArePending) {
    struct Case {
        int status;
        int err;
    };
    const Case cases[] = {{TARVO_ERR_CAP_STALL, TARVO_ERR_CAP_STALL},
                          {TARVO_ERR_CAP_UNKNOWN, TARVO_ERR_CAP_UNKNOWN},
                          {TARVO_ERR_CAP_ERROR, TARVO_ERR_CAP_ERROR}};
    for (const Case &c : cases) {
        ctx_.stop = 0;
        ctx_.err = 0;
        g_aborts = 0;
        event(c.status);
        EXPECT_EQ(ctx_.stop.load(), 1);
        EXPECT_EQ(ctx_.err.load(), c.err);
        EXPECT_EQ(g_aborts, 1);
        event(c.status);  // a second error after stop only updates the code
        EXPECT_EQ(g_aborts, 1);
    }
}

TEST_F(CaptureEvents, CancelledTransferEndsTheRing) {
    event(TARVO_ERR_CAP_CANCELLED);
    EXPECT_EQ(ctx_.stop.load(), 1);
    EXPECT_EQ(ctx_.err.load(), 0);
    EXPECT_EQ(g_aborts, 1);
}

TEST_F(CaptureEvents, DataWithoutFramesChangesNothing) {
    const uint8_t noise[64] = {1, 2, 3};
    tarvo::on_capture_event(&ctx_.ll, TARVO_OK, noise, sizeof noise, &dev_);
    tarvo::on_capture_event(&ctx_.ll, TARVO_OK, noise, 0, &dev_);
    EXPECT_EQ(ctx_.stop.load(), 0);
    EXPECT_EQ(ctx_.err.load(), 0);
    EXPECT_EQ(g_aborts, 0);
}

}  // namespace
