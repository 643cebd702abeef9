// The exported protocol steps on their own: the information query, acknowledgement reads and
// payload requests, against the virtual camera's flash. Buffers are exactly as large as the
// records, so an overrun shows under the address sanitizer.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <memory>

#include "transfer_vcam.h"

namespace {

using namespace tarvo::test;
using tarvo::vcam::Dir;

using ProtocolTest = TransferVcam;

TEST_F(ProtocolTest, ActionsWithoutAnAnswerReadNothing) {
    uint8_t out[AL_DATA_ACK_SIZE] = {};
    for (uint8_t action : {0, 1, 2, 3, 6, 7, 17, 255}) {
        SCOPED_TRACE(static_cast<int>(action));
        EXPECT_EQ(al_data_read_action_info(&ll_, action, out), 1);
    }
    EXPECT_EQ(cam_->commands().size(), 0u);
}

TEST_F(ProtocolTest, AcknowledgementAndAction5AnswersFillExactRecords) {
    auto ack = std::make_unique<uint8_t[]>(AL_DATA_ACK_SIZE);
    std::memset(ack.get(), 0x5A, AL_DATA_ACK_SIZE);
    EXPECT_EQ(al_data_read_action_info(&ll_, 4, ack.get()), 1);
    EXPECT_EQ(std::vector<uint8_t>(ack.get(), ack.get() + AL_DATA_ACK_SIZE),
              std::vector<uint8_t>(AL_DATA_ACK_SIZE, 0));  // an idle camera: next 0, status 0
    auto five = std::make_unique<uint8_t[]>(AL_DATA_ACTION5_SIZE);
    EXPECT_EQ(al_data_read_action_info(&ll_, 5, five.get()), 1);

    const auto req4 = actions(4, Dir::out);
    ASSERT_EQ(req4.size(), 1u);
    EXPECT_EQ(req4[0].data, std::vector<uint8_t>(13, 0));
    const auto req5 = actions(5, Dir::out);
    ASSERT_EQ(req5.size(), 1u);
    EXPECT_EQ(req5[0].data, std::vector<uint8_t>(9, 0));
    EXPECT_EQ(actions(5, Dir::in).size(), 1u);
    EXPECT_EQ(flash_->stats().errors, std::vector<std::string>{});
}

TEST_F(ProtocolTest, AcknowledgementReadTellsWhichPhaseFailed) {
    uint8_t out[AL_DATA_ACK_SIZE];
    std::memset(out, 0x5A, sizeof out);
    flash_->fail_command(4, Dir::out);
    EXPECT_EQ(al_data_read_action_info(&ll_, 4, out), 0);
    EXPECT_TRUE(log_.contains("[al_data_read_action_info] Write phase failed", "ERR"));
    EXPECT_TRUE(actions(4, Dir::in).empty());

    flash_->fail_command(4, Dir::in);
    EXPECT_EQ(al_data_read_action_info(&ll_, 4, out), -1);
    EXPECT_TRUE(log_.contains("[al_data_read_action_info] Read phase failed", "ERR"));
    EXPECT_EQ(out[0], 0x5A);  // untouched

    EXPECT_EQ(al_data_read_action_info(&ll_, 4, nullptr), -1);
}

TEST_F(ProtocolTest, InformationQueryDescribesTheStoredData) {
    flash_->store(2, 0x0107, pattern(1234), 0x00ABCDEF);
    auto info = std::make_unique<al_data_info_t>();
    std::memset(info.get(), 0, sizeof *info);
    info->type = 2;
    static_assert(sizeof(al_data_info_t) == AL_DATA_INFO_SIZE);
    EXPECT_EQ(al_get_data_info(&ll_, 0, info.get(), AL_DATA_INFO_SIZE), 1);
    EXPECT_EQ(info->type, 2);
    EXPECT_EQ(info->version, 0x0107);
    EXPECT_EQ(info->size, 1234u);
    EXPECT_EQ(info->addr, 0x00ABCDEFu);

    info->type = 3;  // nothing stored
    EXPECT_EQ(al_get_data_info(&ll_, 0, info.get(), AL_DATA_INFO_SIZE), 1);
    EXPECT_EQ(info->size, AL_DATA_SIZE_NONE);
    expect_no_other_errors();
}

TEST_F(ProtocolTest, InformationQueryFailuresLeaveTheRecord) {
    struct Case {
        Dir dir;
        const char *line;
    };
    for (const Case &c : {Case{Dir::out, "[al_get_data_info] write phase failed"},
                          Case{Dir::in, "[al_get_data_info] read phase failed"}}) {
        SCOPED_TRACE(c.line);
        flash_->store(2, 1, pattern(10));
        flash_->fail_command(0, c.dir);
        uint8_t record[AL_DATA_INFO_SIZE] = {2};
        EXPECT_EQ(al_get_data_info(&ll_, 0, record, sizeof record), 0);
        EXPECT_TRUE(log_.contains(c.line, "ERR"));
        EXPECT_EQ(record[0], 2);
        EXPECT_EQ(record[4], 0);
    }
    EXPECT_EQ(al_get_data_info(&ll_, 0, nullptr, 16), 0);
}

TEST_F(ProtocolTest, PayloadRequestsClearTheirReservedBytes) {
    flash_->store(2, 1, pattern(462, 3));
    uint8_t query[AL_DATA_INFO_SIZE] = {2};
    ASSERT_EQ(al_get_data_info(&ll_, 0, query, sizeof query), 1);

    // The buffer still holds an earlier piece; the camera refuses non-zero reserved bytes.
    auto buf = std::make_unique<uint8_t[]>(AL_DATA_PIECE_SIZE);
    std::memset(buf.get(), 0xAA, AL_DATA_PIECE_SIZE);
    ASSERT_EQ(al_get_data_payload(&ll_, buf.get(), AL_DATA_PIECE_SIZE), 1);
    EXPECT_TRUE(std::equal(buf.get(), buf.get() + AL_DATA_PIECE_SIZE, pattern(462, 3).begin()));
    // A piece shorter than the request record still needs 12 bytes of buffer, and no more.
    auto small = std::make_unique<uint8_t[]>(12);
    std::memset(small.get(), 0xAA, 12);
    ASSERT_EQ(al_get_data_payload(&ll_, small.get(), 12), 1);
    EXPECT_TRUE(std::equal(small.get(), small.get() + 12, pattern(462, 3).begin() + 450));

    const auto requests = actions(17, Dir::out);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].data, (std::vector<uint8_t>{0, 0, 0, 0, 0xC2, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(requests[1].data, (std::vector<uint8_t>{0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(flash_->stats().errors, std::vector<std::string>{});
}

TEST_F(ProtocolTest, PayloadRequestsOutsideOneToFourHundredFiftyAreRefused) {
    uint8_t buf[AL_DATA_PIECE_SIZE + 1] = {};
    EXPECT_EQ(al_get_data_payload(&ll_, buf, 0), 0);
    EXPECT_EQ(al_get_data_payload(&ll_, buf, AL_DATA_PIECE_SIZE + 1), 0);
    EXPECT_EQ(al_get_data_payload(&ll_, nullptr, 10), 0);
    EXPECT_EQ(log_.count("[al_get_data_payload] Wrong params", "ERR"), 3u);
    EXPECT_EQ(cam_->commands().size(), 0u);
}

}  // namespace
