// The progress callback of image transfers: one report per acknowledged chunk or written piece,
// on the calling thread, and none once removed or after a failure.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "transfer_vcam.h"

namespace {

using namespace tarvo::test;
using tarvo::vcam::Dir;

struct Report {
    uint32_t done;
    uint32_t total;
    std::thread::id thread;
    bool operator==(const Report &o) const {
        return done == o.done && total == o.total && thread == o.thread;
    }
};

void record(uint32_t done, uint32_t total, void *user) {
    static_cast<std::vector<Report> *>(user)->push_back({done, total, std::this_thread::get_id()});
}

class ProgressTest : public TransferVcam {
  protected:
    void SetUp() override {
        TransferVcam::SetUp();
        tarvo_transfer_set_progress_cb(record, &reports_);
    }
    void TearDown() override {
        tarvo_transfer_set_progress_cb(nullptr, nullptr);
        TransferVcam::TearDown();
    }
    std::vector<Report> expected(std::vector<std::pair<uint32_t, uint32_t>> steps) const {
        std::vector<Report> out;
        for (const auto &[done, total] : steps)
            out.push_back({done, total, std::this_thread::get_id()});
        return out;
    }
    std::vector<Report> reports_;
};

TEST_F(ProgressTest, WriteReportsEveryAcknowledgedChunk) {
    struct Case {
        uint32_t size;
        std::vector<std::pair<uint32_t, uint32_t>> steps;
    };
    const Case cases[] = {
        {1, {{1, 1}}},
        {1018, {{1018, 1018}}},
        {2500, {{1018, 2500}, {2036, 2500}, {2500, 2500}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        fresh_flash();
        reports_.clear();
        write_file("image.bin", pattern(c.size));
        EXPECT_EQ(tarvo_bin_data_write(&ll_, 4, 1, 0, "image.bin"), 1);
        EXPECT_EQ(reports_, expected(c.steps));
    }
}

TEST_F(ProgressTest, ReadReportsEveryPiece) {
    struct Case {
        uint32_t size;
        std::vector<std::pair<uint32_t, uint32_t>> steps;
    };
    const Case cases[] = {
        {0, {}},
        {450, {{450, 450}}},
        {901, {{450, 901}, {900, 901}, {901, 901}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        fresh_flash();
        reports_.clear();
        flash_->store(5, 1, pattern(c.size));
        EXPECT_EQ(tarvo_bin_data_read(&ll_, 5, "out.bin"), 1);
        EXPECT_EQ(reports_, expected(c.steps));
    }
}

TEST_F(ProgressTest, NoReportPastAFailureNorWithoutACallback) {
    // The camera refuses the second chunk: only the first is reported.
    flash_->fail_command(6, Dir::out, 1);
    write_file("image.bin", pattern(3000));
    EXPECT_EQ(tarvo_bin_data_write(&ll_, 4, 1, 0, "image.bin"), -1);
    EXPECT_EQ(reports_, expected({{1018, 3000}}));

    reports_.clear();
    fresh_flash();
    tarvo_transfer_set_progress_cb(nullptr, nullptr);
    EXPECT_EQ(tarvo_bin_data_write(&ll_, 4, 1, 0, "image.bin"), 1);
    EXPECT_TRUE(reports_.empty());
}

}  // namespace
