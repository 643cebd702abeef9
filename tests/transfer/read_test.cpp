// Reading data stored in the camera's flash into files through the public interface.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "transfer_vcam.h"

namespace {

using namespace tarvo::test;
using tarvo::vcam::Dir;
using tarvo::vcam::Flash;

class ReadTest : public TransferVcam {};

TEST_F(ReadTest, StoredDataArrivesByteExactInPiecesOf450) {
    struct Case {
        size_t size;
        std::vector<uint16_t> pieces;
    };
    const Case cases[] = {
        {1, {1}},
        {450, {450}},
        {900, {450, 450}},
        {901, {450, 450, 1}},
        {2000, {450, 450, 450, 450, 200}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        fresh_flash();
        const auto data = pattern(c.size, 7);
        flash_->store(2, 3, data, 0x00ABCDEF);

        EXPECT_EQ(tarvo_bin_data_read(&ll_, 2, "out.bin"), 1);

        EXPECT_EQ(file_bytes("out.bin"), data);
        EXPECT_EQ(dir_entries("."), std::vector<std::string>{"out.bin"});  // no temporary left
        const Flash::Stats stats = flash_->stats();
        EXPECT_EQ(stats.payload_lengths, c.pieces);
        EXPECT_EQ(stats.errors, std::vector<std::string>{});
        const auto query = actions(0, Dir::out);
        ASSERT_EQ(query.size(), 1u);
        EXPECT_EQ(query[0].data[0], 2);  // asks about the type read
        EXPECT_TRUE(
            log_.contains("[tarvo_bin_data_read] Version:3,type:2, addr:0xabcdef,data size:" +
                              std::to_string(c.size),
                          "INF"));
        expect_no_other_errors();
        std::filesystem::remove("out.bin");
    }
}

TEST_F(ReadTest, EmptyStoredDataGivesAnEmptyFile) {
    flash_->store(2, 1, {});
    EXPECT_EQ(tarvo_bin_data_read(&ll_, 2, "out.bin"), 1);
    ASSERT_TRUE(std::filesystem::exists("out.bin"));
    EXPECT_EQ(std::filesystem::file_size("out.bin"), 0u);
    EXPECT_TRUE(actions(17, Dir::out).empty());
    expect_no_other_errors();
}

TEST_F(ReadTest, NoStoredDataCreatesNoFile) {
    EXPECT_EQ(tarvo_bin_data_read(&ll_, 2, "out.bin"), -1);
    EXPECT_TRUE(log_.contains("[tarvo_bin_data_read] No valid data to read, please check", "ERR"));
    EXPECT_TRUE(log_.contains("data size:-1", "INF"));
    EXPECT_EQ(dir_entries("."), std::vector<std::string>{});
    EXPECT_TRUE(actions(17, Dir::out).empty());
    expect_no_other_errors({"No valid data to read"});
}

TEST_F(ReadTest, WithoutAPathTheDataGoesToCalibBin) {
    flash_->store(9, 1, pattern(500));
    EXPECT_EQ(tarvo_bin_data_read(&ll_, 9, nullptr), 1);
    EXPECT_EQ(file_bytes("calib.bin"), pattern(500));
    EXPECT_EQ(dir_entries("."), std::vector<std::string>{"calib.bin"});
}

TEST_F(ReadTest, AFailedReadLeavesNoPartialFileAndKeepsTheOldOne) {
    struct Case {
        const char *what;
        std::function<void(Flash &)> fault;
        const char *line;
    };
    const Case cases[] = {
        {"second piece, request", [](Flash &f) { f.fail_command(17, Dir::out, 1); },
         "[al_get_data_payload] write phase failed"},
        {"second piece, answer", [](Flash &f) { f.fail_command(17, Dir::in, 1); },
         "[al_get_data_payload] read phase failed"},
        {"last piece, answer", [](Flash &f) { f.fail_command(17, Dir::in, 2); },
         "[al_get_data_payload] read phase failed"},
        {"information answer", [](Flash &f) { f.fail_command(0, Dir::in); },
         "[tarvo_bin_data_read] Get info failed"},
    };
    const std::vector<uint8_t> old_contents = pattern(77, 9);
    for (const Case &c : cases) {
        for (const bool existed : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.what << (existed ? ", file existed" : ""));
            fresh_flash();
            flash_->store(2, 1, pattern(1000, 5));
            c.fault(*flash_);
            if (existed)
                write_file("out.bin", old_contents);

            EXPECT_EQ(tarvo_bin_data_read(&ll_, 2, "out.bin"), -1);

            EXPECT_TRUE(log_.contains(c.line, "ERR")) << c.line;
            if (existed) {
                EXPECT_EQ(file_bytes("out.bin"), old_contents);
                EXPECT_EQ(dir_entries("."), std::vector<std::string>{"out.bin"});
            } else {
                EXPECT_EQ(dir_entries("."), std::vector<std::string>{});
            }
            std::error_code ec;
            std::filesystem::remove("out.bin", ec);
        }
    }
}

TEST_F(ReadTest, AnUnwritableTargetIsReportedBeforeAnyPiece) {
    flash_->store(2, 1, pattern(100));
    EXPECT_EQ(tarvo_bin_data_read(&ll_, 2, "missing-dir/out.bin"), -1);
    EXPECT_TRUE(log_.contains("[tarvo_bin_data_read] File open failed", "ERR"));
    EXPECT_TRUE(actions(17, Dir::out).empty());
}

// A FIFO named as the output is written in place, never replaced by a regular file;
// a FIFO that nobody reads is refused at once instead of blocking.
TEST_F(ReadTest, FifoAndDeviceTargetsAreWrittenInPlace) {
    flash_->store(2, 1, pattern(1000, 3));
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    const int reader = ::open("pipe", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(tarvo_bin_data_read(&ll_, 2, "pipe"), 1);
    std::vector<uint8_t> got(2000);
    const ssize_t n = ::read(reader, got.data(), got.size());
    ::close(reader);
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(got, pattern(1000, 3));

    EXPECT_EQ(tarvo_bin_data_read(&ll_, 2, "pipe"), -1);
    EXPECT_TRUE(log_.contains("[tarvo_bin_data_read] pipe is a FIFO that nobody reads", "ERR"));
    struct stat st;
    ASSERT_EQ(lstat("pipe", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(dir_entries("."), std::vector<std::string>{"pipe"});
}

TEST_F(ReadTest, AnImplausibleStoredSizeIsNotRead) {
    flash_->store(2, 1, pattern(100));
    flash_->set_reported_size(AL_DATA_MAX_IMAGE_SIZE + 1);
    EXPECT_EQ(tarvo_bin_data_read(&ll_, 2, "out.bin"), -1);
    EXPECT_TRUE(log_.contains("Stored size 67108865 is beyond 67108864 bytes", "ERR"));
    EXPECT_TRUE(actions(17, Dir::out).empty());
    EXPECT_EQ(dir_entries("."), std::vector<std::string>{});
}

TEST_F(ReadTest, UploadRefusesMissingOrClosedHandles) {
    tarvo_dev_t closed{};
    EXPECT_EQ(tarvo_data_upload(nullptr, 2, "out.bin"), -1);
    EXPECT_EQ(tarvo_data_upload(&closed, 2, "out.bin"), -1);
    EXPECT_EQ(log_.count("[tarvo_data_upload] Wrong params", "DBG"), 2u);
    EXPECT_EQ(action_commands(), 0u);
    EXPECT_EQ(tarvo_bin_data_read(nullptr, 2, "out.bin"), -1);
    EXPECT_EQ(dir_entries("."), std::vector<std::string>{});
}

TEST_F(ReadTest, UploadReadsThroughAnOpenHandle) {
    tarvo_ll_dev_close(&ll_);  // the handle opens the camera itself
    tarvo_dev_t list[1] = {};
    ASSERT_EQ(tarvo_dev_list(list, 1), 1);
    tarvo_dev_t *dev = tarvo_dev_open(&list[0]);
    ASSERT_NE(dev, nullptr);
    flash_->store(2, 4, pattern(700, 2));
    EXPECT_EQ(tarvo_data_upload(dev, 2, "cal.bin"), 1);
    EXPECT_EQ(file_bytes("cal.bin"), pattern(700, 2));
    EXPECT_EQ(dev->busy, 0);
    tarvo_dev_close(dev);
}

}  // namespace
