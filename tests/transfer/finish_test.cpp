// How a write ends: the restart or storing wait after a completed transfer, and no reset and no
// wait after a stopped one. The library's waits are recorded instead of slept, and the erase
// bound is shortened, so these cases run in moments.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>

#include "transfer/action_protocol.h"
#include "transfer_vcam.h"

namespace {

using namespace tarvo::test;
using std::chrono::milliseconds;
using tarvo::vcam::Dir;
using tarvo::vcam::Flash;

class FinishTest : public TransferVcam {
  protected:
    void SetUp() override {
        TransferVcam::SetUp();
        tarvo::transfer::timing().sleep = [this](milliseconds d) { sleeps_.push_back(d); };
    }
    void TearDown() override {
        tarvo::transfer::reset_timing();
        TransferVcam::TearDown();
    }
    void fresh_flash() {
        TransferVcam::fresh_flash();
        sleeps_.clear();
    }
    std::vector<milliseconds> sleeps_;
};

TEST_F(FinishTest, CompletedTransfersRestartOrWaitByType) {
    struct Case {
        uint8_t type;
        bool reset;
        std::optional<milliseconds> wait;
    };
    const Case cases[] = {
        {0, true, milliseconds(20000)}, {1, true, milliseconds(20000)},
        {2, false, milliseconds(7000)}, {3, false, milliseconds(7000)},
        {4, false, std::nullopt},       {200, false, std::nullopt},
    };
    write_file("image.bin", pattern(1200));
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        fresh_flash();
        const size_t resets_before = cam_->resets().size();

        EXPECT_EQ(tarvo_bin_data_write(&ll_, c.type, 2, 0, "image.bin"), 1);

        EXPECT_EQ(flash_->image(c.type)->bytes, pattern(1200));
        const std::vector<uint32_t> resets = cam_->resets();
        ASSERT_EQ(resets.size(), resets_before + (c.reset ? 1 : 0));
        if (c.reset) {
            EXPECT_EQ(resets.back(), 0u);
        }
        EXPECT_EQ(sleeps_,
                  c.wait ? std::vector<milliseconds>{*c.wait} : std::vector<milliseconds>{});
        const size_t warnings =
            log_.count("!!! DO NOT RESET or POWER OFF the board until return !!!!", "WRN");
        EXPECT_EQ(warnings, c.wait ? 1u : 0u);
        EXPECT_EQ(log_.count("[tarvo_bin_data_write]  * Wait board to reset...", "WRN"),
                  c.reset ? 1u : 0u);
        if (c.reset) {
            EXPECT_LT(log_.find("Data transfer finished."), log_.find("rest device (target=0)"));
            EXPECT_LT(log_.find("rest device (target=0)"), log_.find("* Wait board to reset..."));
        }
        expect_no_other_errors();
    }
}

// Every way a transfer can stop short, on a firmware image (type 0) that would be followed by a
// reset and a 20 s wait had it completed: each reports failure and neither resets nor waits.
TEST_F(FinishTest, StoppedTransfersFailWithoutResetOrWait) {
    struct Case {
        const char *what;
        std::function<void(Flash &)> fault;
        std::vector<std::string> errors;  // expected, besides "data upgrade failed!"
        const char *info;                 // INF line naming where it stopped, or null
        size_t chunks_sent;
    };
    const Case cases[] = {
        {"information query fails",
         [](Flash &f) { f.fail_command(0, Dir::in); },
         {"[al_get_data_info] read phase failed", "Get info failed, the stored version is unknown"},
         nullptr,
         0},
        {"transfer information refused",
         [](Flash &f) { f.fail_command(1, Dir::out); },
         {},
         nullptr,
         0},
        {"information not accepted",
         [](Flash &f) { f.set_info_ack(0, 2); },
         {"[tarvo_bin_data_write] Wrong version(Target:0,Now:3)"},
         nullptr,
         0},
        {"information acknowledged with a chunk index",
         [](Flash &f) { f.set_info_ack(1, 3); },
         {"[tarvo_bin_data_write] Wrong version(Target:1,Now:3)"},
         nullptr,
         0},
        {"information acknowledgement request fails",
         [](Flash &f) { f.fail_command(4, Dir::out); },
         {"[al_data_read_action_info] Write phase failed"},
         nullptr,
         0},
        {"information acknowledgement answer fails",
         [](Flash &f) { f.fail_command(4, Dir::in); },
         {"[al_data_read_action_info] Read phase failed"},
         nullptr,
         0},
        {"erase request refused", [](Flash &f) { f.fail_command(7, Dir::out); }, {}, nullptr, 0},
        {"erase acknowledgement request fails",
         [](Flash &f) {
             f.set_erase_acks(2);
             f.fail_command(4, Dir::out, 2);
         },
         {"[al_data_read_action_info] Write phase failed",
          "[tarvo_bin_data_write] DATA ACK failed"},
         nullptr,
         0},
        {"erase acknowledgement answer fails",
         [](Flash &f) {
             f.set_erase_acks(2);
             f.fail_command(4, Dir::in, 2);
         },
         {"[al_data_read_action_info] Read phase failed", "[tarvo_bin_data_write] DATA ACK failed"},
         nullptr,
         0},
        {"erase ends with a bad status",
         [](Flash &f) { f.set_erase_end(0, 2); },
         {"camera not ready after erase: next=0, status=2"},
         nullptr,
         0},
        {"erase ends expecting chunk 1",
         [](Flash &f) { f.set_erase_end(1, 1); },
         {"camera not ready after erase: next=1, status=1"},
         nullptr,
         0},
        {"second chunk refused",
         [](Flash &f) { f.fail_command(6, Dir::out, 1); },
         {},
         "Data transfer failed D.",
         2},
        {"acknowledgement request of the second chunk fails",
         [](Flash &f) { f.fail_command(4, Dir::out, 3); },
         {"[al_data_read_action_info] Write phase failed"},
         "Data transfer failed C.",
         2},
        {"acknowledgement answer of the second chunk fails",
         [](Flash &f) { f.fail_command(4, Dir::in, 3); },
         {"[al_data_read_action_info] Read phase failed"},
         "Data transfer failed C.",
         2},
        {"second chunk acknowledged as itself",
         [](Flash &f) { f.set_chunk_ack_fault(1, Flash::AckFault::repeat); },
         {},
         "Data transfer failed A.indx1, 1",
         2},
        {"first chunk acknowledged two ahead",
         [](Flash &f) { f.set_chunk_ack_fault(0, Flash::AckFault::skip); },
         {"camera expects chunk 2 after chunk 0"},
         "Data transfer failed B.",
         1},
    };
    write_file("image.bin", pattern(2500));  // three chunks
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fresh_flash();
        flash_->store(0, 2, pattern(64, 8));
        c.fault(*flash_);
        const size_t resets_before = cam_->resets().size();

        EXPECT_EQ(tarvo_bin_data_write(&ll_, 0, 3, 0, "image.bin"), -1);

        EXPECT_TRUE(log_.contains("[tarvo_bin_data_write] data upgrade failed!", "ERR"));
        // The camera's refusals show in the transport's own lines.
        std::vector<std::string_view> expected{"data upgrade failed!", "injected failure",
                                               "exe usb cmd failed"};
        for (const std::string &line : c.errors) {
            EXPECT_TRUE(log_.contains(line, "ERR")) << line;
            expected.push_back(line);
        }
        expect_no_other_errors(expected);
        if (c.info != nullptr) {
            EXPECT_TRUE(log_.contains(std::string("[tarvo_bin_data_write] ") + c.info, "INF"));
        }
        EXPECT_EQ(cam_->resets().size(), resets_before);
        EXPECT_EQ(sleeps_, std::vector<milliseconds>{});
        EXPECT_FALSE(log_.contains("Data transfer finished."));
        EXPECT_FALSE(log_.contains("DO NOT RESET"));
        // No chunk after the stop, and none twice.
        EXPECT_EQ(actions(6, Dir::out).size(), c.chunks_sent);
        EXPECT_EQ(flash_->stats().errors, std::vector<std::string>{});
        // The firmware that was there stays the stored one.
        EXPECT_EQ(flash_->image(0)->version, 2);
        EXPECT_EQ(flash_->image(0)->bytes, pattern(64, 8));
    }
}

TEST_F(FinishTest, AnEraseThatNeverEndsIsGivenUp) {
    tarvo::transfer::timing().erase_limit = milliseconds(300);
    flash_->set_erase_acks(-1);
    write_file("image.bin", pattern(100));

    EXPECT_EQ(tarvo_bin_data_write(&ll_, 0, 3, 0, "image.bin"), -1);

    EXPECT_TRUE(log_.contains("[tarvo_bin_data_write] flash erase may take up to 300 ms", "DBG"));
    EXPECT_TRUE(log_.contains(
        "[tarvo_bin_data_write] Flash erase not finished after 300 ms, giving up", "ERR"));
    EXPECT_TRUE(log_.contains("data upgrade failed!", "ERR"));
    EXPECT_GT(actions(4, Dir::in).size(), 2u);  // it did wait through several answers
    EXPECT_TRUE(actions(6, Dir::out).empty());
    EXPECT_TRUE(cam_->resets().empty());
    EXPECT_EQ(sleeps_, std::vector<milliseconds>{});
    EXPECT_FALSE(flash_->image(0).has_value());
}

}  // namespace
