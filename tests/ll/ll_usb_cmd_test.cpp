// The command channel on the virtual camera: wire form of the requests, phases, the status poll
// and its failures, control transfers that never complete, and device reset.
#include <tarvo/ll.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "ll/ll_vcam.h"

namespace tarvo::test {
namespace {

using vcam::Dir;
using vcam::Fault;

using LlCmd = LlVcamOpen;

std::vector<uint8_t> le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

tarvo_ll_param_item_t item(uint8_t id, std::vector<uint8_t> value = {}) {
    tarvo_ll_param_item_t it;
    std::memset(&it, 0, sizeof it);
    it.param_id = id;
    it.param_val_len = static_cast<uint8_t>(value.size());
    if (!value.empty())
        std::memcpy(it.param_val, value.data(), value.size());
    return it;
}

TEST_F(LlCmd, RegisterReadOf40IsReadIn16_16_8FromTheRightAddresses) {
    for (uint32_t r = 0; r < 40; ++r)
        cam_->set_reg(1, 100 + r, 0xA0000000u + r * 3);
    std::vector<uint32_t> values(40);  // exact size
    ASSERT_TRUE(tarvo_ll_reg_read(&dev_, 1, 100, values.data(), 40));
    for (uint32_t r = 0; r < 40; ++r)
        EXPECT_EQ(values[r], 0xA0000000u + r * 3) << r;

    const auto requests = commands_of(*cam_, 0xC2, 1, Dir::out);
    const auto reads = commands_of(*cam_, 0xC2, 1, Dir::in);
    ASSERT_EQ(requests.size(), 3u);
    ASSERT_EQ(reads.size(), 3u);
    const uint32_t firsts[] = {100, 116, 132};
    const uint16_t bytes[] = {64, 64, 32};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(requests[i].length, 7);
        EXPECT_EQ(requests[i].target, 1);
        EXPECT_EQ(requests[i].first, firsts[i]);
        EXPECT_EQ(requests[i].byte_count, bytes[i]);
        EXPECT_EQ(requests[i].request_type, 0x22);
        EXPECT_EQ(reads[i].length, bytes[i]);
        EXPECT_EQ(reads[i].request_type, 0xA2);
    }
    // A status poll after every phase.
    EXPECT_EQ(status_requests(*cam_), 6u);
    EXPECT_TRUE(log().unexpected("ERR").empty());
}

TEST_F(LlCmd, RegisterReadOfNothingSendsNothing) {
    EXPECT_TRUE(tarvo_ll_reg_read(&dev_, 1, 0, nullptr, 0));
    EXPECT_TRUE(cam_->commands().empty());
}

TEST_F(LlCmd, RegisterWriteSendsHeaderAndValuesInOneRequest) {
    const uint32_t values[3] = {0x11223344u, 5, 0xFFFFFFFFu};
    ASSERT_TRUE(tarvo_ll_reg_write(&dev_, 1, 10, values, 3));
    for (uint32_t r = 0; r < 3; ++r)
        EXPECT_EQ(cam_->reg(1, 10 + r), values[r]);
    const auto writes = commands_of(*cam_, 0xC2, 0, Dir::out);
    ASSERT_EQ(writes.size(), 1u);
    const std::vector<uint8_t> expected = {1,    10, 0, 0, 0, 12,   0,    0x44, 0x33, 0x22,
                                           0x11, 5,  0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(writes[0].data, expected);
    EXPECT_EQ(status_requests(*cam_), 1u);
}

TEST_F(LlCmd, RegisterWriteOfNothingSendsTheHeaderAlone) {
    ASSERT_TRUE(tarvo_ll_reg_write(&dev_, 2, 0x01020304u, nullptr, 0));
    const auto writes = commands_of(*cam_, 0xC2, 0, Dir::out);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data, (std::vector<uint8_t>{2, 4, 3, 2, 1, 0, 0}));
}

TEST_F(LlCmd, RegisterWriteTooLongForOneRequestIsRefusedUnsent) {
    std::vector<uint32_t> values(16383);
    EXPECT_FALSE(tarvo_ll_reg_write(&dev_, 1, 0, values.data(), 16383));
    EXPECT_TRUE(cam_->commands().empty());
    EXPECT_EQ(log().count("[usb_ll_reg_write] too many registers", "ERR"), 1u);
}

TEST_F(LlCmd, ParameterGetOf7IsReadIn3_3_1) {
    const uint8_t ids[] = {2, 3, 5, 6, 7, 12, 13};
    std::vector<tarvo_ll_param_item_t> items;
    for (uint8_t id : ids)
        items.push_back(item(id, {0xEE, 0xEE}));  // stale lengths and values
    ASSERT_TRUE(tarvo_ll_param_get(&dev_, items.data(), 7));

    const auto requests = commands_of(*cam_, 0xC0, 4, Dir::out);
    const auto reads = commands_of(*cam_, 0xC0, 4, Dir::in);
    ASSERT_EQ(requests.size(), 3u);
    ASSERT_EQ(reads.size(), 3u);
    const uint16_t lengths[] = {60, 60, 20};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(requests[i].length, lengths[i]);
        EXPECT_EQ(reads[i].length, lengths[i]);
    }
    // The request carries the ids with cleared values.
    std::vector<uint8_t> last_request(20, 0);
    last_request[0] = 13;
    EXPECT_EQ(requests[2].data, last_request);

    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(items[i].param_id, ids[i]);
    const std::string product = "TV320-E2-1.3";
    EXPECT_EQ(items[1].param_val_len, product.size());
    EXPECT_EQ(
        std::string(reinterpret_cast<const char *>(items[1].param_val), items[1].param_val_len),
        product);
    EXPECT_EQ(items[5].param_val_len, 4);
    EXPECT_EQ(std::vector<uint8_t>(items[5].param_val, items[5].param_val + 4), le32(30));
    EXPECT_EQ(items[6].param_val_len, 2);
    EXPECT_EQ(items[6].param_val[0] | items[6].param_val[1] << 8, 700);
    EXPECT_EQ(status_requests(*cam_), 6u);
}

TEST_F(LlCmd, ParameterSetSendsAllItemsInOneRequest) {
    const tarvo_ll_param_item_t items[2] = {item(12, le32(20)), item(13, {0xF4, 0x01})};
    ASSERT_TRUE(tarvo_ll_param_set(&dev_, items, 2));
    const auto sets = commands_of(*cam_, 0xC0, 3, Dir::out);
    ASSERT_EQ(sets.size(), 1u);
    ASSERT_EQ(sets[0].data.size(), 40u);
    EXPECT_EQ(std::memcmp(sets[0].data.data(), items, 40), 0);
    EXPECT_EQ(cam_->param(12), le32(20));
    EXPECT_EQ(cam_->param(13), (std::vector<uint8_t>{0xF4, 0x01}));
}

TEST_F(LlCmd, BadParameterListsAreRefusedUnsent) {
    tarvo_ll_param_item_t it = item(3);
    EXPECT_FALSE(tarvo_ll_param_get(&dev_, &it, -1));
    EXPECT_FALSE(tarvo_ll_param_set(&dev_, nullptr, 2));
    EXPECT_FALSE(tarvo_ll_param_set(&dev_, &it, 65535 / 20 + 1));
    EXPECT_TRUE(cam_->commands().empty());
    EXPECT_EQ(log().count("bad parameter list", "ERR"), 3u);
}

TEST_F(LlCmd, WrongEchoFailsTheCommand) {
    cam_->add_fault(Fault::wrong_echo(0xC2, 0, 0xC2, 1));
    const uint32_t v = 1;
    EXPECT_FALSE(tarvo_ll_reg_write(&dev_, 1, 0, &v, 1));
    EXPECT_EQ(log().count("[usb_ll_check_last_cmd]  last cmd (t=194,v=1) is not as "
                          "expect(t=194,v=0)",
                          "WRN"),
              1u);
}

TEST_F(LlCmd, BusyTwiceThenDoneTakesThreeStatusRequests) {
    cam_->add_fault(Fault::busy(0xC2, 0, 2, 1));
    const uint32_t v = 7;
    ASSERT_TRUE(tarvo_ll_reg_write(&dev_, 1, 4, &v, 1));
    EXPECT_EQ(status_requests(*cam_), 3u);
    EXPECT_EQ(cam_->reg(1, 4), 7u);
}

TEST_F(LlCmd, DeviceFailureIsReportedWithItsMessage) {
    cam_->add_fault(Fault::fail(0xC2, 0, "register locked", 1));
    const uint32_t v = 7;
    EXPECT_FALSE(tarvo_ll_reg_write(&dev_, 1, 4, &v, 1));
    EXPECT_EQ(log().count("[usb_ll_check_last_cmd] register locked", "ERR"), 1u);
}

TEST_F(LlCmd, DeviceFailureMessageFillingItsFieldIsCutAtTheField) {
    cam_->add_fault(Fault::fail(0xC2, 0, std::string(60, 'M'), 1));
    const uint32_t v = 7;
    EXPECT_FALSE(tarvo_ll_reg_write(&dev_, 1, 4, &v, 1));
    EXPECT_EQ(log().count("[usb_ll_check_last_cmd] " + std::string(60, 'M'), "ERR"), 1u);
    EXPECT_FALSE(log().contains(std::string(61, 'M')));
}

// Which phase of a two-phase read fails, and the line it must leave.
struct PhaseCase {
    const char *name;
    Fault fault;
    const char *line;
    bool param;  // parameter get instead of register read
};

class LlPhase : public LlVcamOpen, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(LlPhase, FailingPhaseIsNamed) {
    const PhaseCase &c = GetParam();
    cam_->add_fault(c.fault);
    if (c.param) {
        tarvo_ll_param_item_t it = item(3);
        EXPECT_FALSE(tarvo_ll_param_get(&dev_, &it, 1));
    } else {
        uint32_t v[2] = {};
        EXPECT_FALSE(tarvo_ll_reg_read(&dev_, 1, 0, v, 2));
    }
    if (c.line) {
        EXPECT_EQ(log().count(c.line, "ERR"), 1u);
    } else {
        EXPECT_FALSE(log().contains("phase failed"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, LlPhase,
    ::testing::Values(PhaseCase{"reg_request_stall", Fault::stall(0xC2, 1, Dir::out),
                                "[usb_ll_reg_read] write phase failed", false},
                      PhaseCase{"reg_request_refused", Fault::fail(0xC2, 1, "no", -1),
                                "[usb_ll_reg_read] write phase failed", false},
                      PhaseCase{"reg_answer_stall", Fault::stall(0xC2, 1, Dir::in),
                                "[usb_ll_reg_read] read phase failed", false},
                      PhaseCase{"param_request_stall", Fault::stall(0xC0, 4, Dir::out),
                                "[usb_ll_param_get] write phase failed", true},
                      // A refused request fails in the status poll, which names no phase.
                      PhaseCase{"param_request_refused", Fault::fail(0xC0, 4, "no", -1), nullptr,
                                true},
                      PhaseCase{"param_answer_stall", Fault::stall(0xC0, 4, Dir::in),
                                "[usb_ll_param_get] read phase failed", true}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST_F(LlCmd, StalledCommandFailsWithPipe) {
    cam_->add_fault(Fault::stall(0xC2, 0, Dir::out, 1));
    uint8_t hdr[7] = {1};
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev_, 1, 0xC2, 0, hdr, 7, 1000));
    EXPECT_EQ(log().count("[usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_PIPE", "ERR"), 1u);
}

TEST_F(LlCmd, ShortAnswerFails) {
    uint8_t reply[100] = {};  // the status reply has 63 bytes
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev_, 0, 0xB0, 0, reply, sizeof reply, 1000));
    EXPECT_EQ(log().count("[usb_ll_exe_cmd] exe usb cmd failed: **UNKNOWN**", "ERR"), 1u);
}

TEST_F(LlCmd, UncompletedControlTransferIsCancelledAfterItsPolls) {
    cam_->add_fault(Fault::silent(0xC2, 0, Dir::out, 1));
    uint8_t hdr[7] = {1};
    // A transfer timeout far beyond the polls does not extend the wait.
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev_, 1, 0xC2, 0, hdr, 7, 10000));
    EXPECT_EQ(log().count("[usb_ll_exe_cmd] contrl trans timeout , cancel it", "WRN"), 1u);
    EXPECT_EQ(log().count("[usb_ll_exe_cmd] control transfer timeout !", "ERR"), 1u);
    EXPECT_EQ(log().count("[usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_TIMEOUT", "ERR"), 1u);
    // The abandoned transfer completes as cancelled on the event thread, which frees it.
    EXPECT_TRUE(eventually([&] { return !tarvo::ll::has_abandoned_cmds(priv(dev_)); }));
    EXPECT_TRUE(eventually([&] { return log().contains("[_usb_ll_on_cmd_finish]"); }));
    // The channel goes on working.
    const uint32_t v = 9;
    EXPECT_TRUE(tarvo_ll_reg_write(&dev_, 1, 1, &v, 1));
}

TEST_F(LlCmd, CloseFreesAControlTransferThatNeverCompleted) {
    cam_->add_fault(Fault::silent(0xC2, 0, Dir::out, 1));
    uint8_t hdr[7] = {1};
    // With the event thread gone the cancelled transfer cannot complete.
    priv(dev_)->evt_stop = 1;
    ASSERT_TRUE(eventually([&] { return priv(dev_)->evt_running.load() == 0; }));
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev_, 1, 0xC2, 0, hdr, 7, 10000));
    EXPECT_TRUE(tarvo::ll::has_abandoned_cmds(priv(dev_)));
    tarvo_ll_dev_close(&dev_);  // frees it; the sanitizer's leak check would say otherwise
    EXPECT_EQ(dev_.priv, nullptr);
}

TEST_F(LlCmd, CommandOnAClosedRecordFails) {
    tarvo_ll_dev_close(&dev_);
    uint8_t b = 0;
    EXPECT_FALSE(tarvo_ll_exe_cmd(&dev_, 1, 0xC2, 5, &b, 1, 1000));
    EXPECT_EQ(log().count("[usb_ll_exe_cmd]  USB handler Is NULL!", "ERR"), 1u);
    EXPECT_FALSE(log().contains("exe usb cmd failed"));
}

TEST_F(LlCmd, ResetOfAnotherTargetIsConfirmedByTheCamera) {
    ASSERT_TRUE(tarvo_ll_dev_reset(&dev_, 5));
    const auto resets = commands_of(*cam_, 0xC0, 0, Dir::out);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0].data, le32(5));
    EXPECT_EQ(cam_->resets(), std::vector<uint32_t>{5});
    EXPECT_EQ(status_requests(*cam_), 1u);
    EXPECT_NE(dev_.priv, nullptr);
}

TEST_F(LlCmd, ResetOfTheUsbInterfaceReopensTheCameraThatCameBack) {
    cam_->set_reset_replug_delay(std::chrono::milliseconds(500));
    const int old_address = cam_->address();
    EXPECT_FALSE(tarvo_ll_dev_reset(&dev_, 3));  // false even when the camera came back
    EXPECT_EQ(cam_->resets(), std::vector<uint32_t>{3});
    EXPECT_NE(cam_->address(), old_address);
    ASSERT_NE(dev_.priv, nullptr);
    EXPECT_EQ(status_requests(*cam_), 0u);  // no status poll after this reset
    EXPECT_EQ(log().count("[usb_ll_dev_reset] Reset usb if (timeout = 3000 ms) ...", "TRC"), 1u);
    EXPECT_EQ(log().count("[usb_ll_dev_reset] Reset usb if end. ", "TRC"), 1u);
    EXPECT_FALSE(log().contains("reopen device failed!"));
    const uint32_t v = 3;
    EXPECT_TRUE(tarvo_ll_reg_write(&dev_, 1, 0, &v, 1));
}

TEST_F(LlCmd, ResetOfTheUsbInterfaceGivesUpAfter15Attempts) {
    cam_->set_reset_replug_delay(std::nullopt);
    EXPECT_FALSE(tarvo_ll_dev_reset(&dev_, 3));
    EXPECT_EQ(dev_.priv, nullptr);
    EXPECT_EQ(log().count("[usb_ll_dev_open]  create usb context", "DBG"), 15u);
    const int failed = log().find("[usb_ll_dev_reset] reopen device failed!");
    ASSERT_GE(failed, 0);
    EXPECT_GT(log().find("[usb_ll_dev_reset] Reset usb if end. ", failed), failed);
}

}  // namespace
}  // namespace tarvo::test
