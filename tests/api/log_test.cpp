// Logging through the public interface: thresholds, the log file's life cycle, line format.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace fs = std::filesystem;
using tarvo::test::read_file;

namespace {

// Each test starts with every sink silent and works in its own directory.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zr_log_disable();
        dir_.enter();
    }
    void TearDown() override { zr_log_disable(); }

    std::string captured_stdout_of(void (*fn)()) {
        testing::internal::CaptureStdout();
        fn();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    tarvo::test::TempDir dir_;
};

// Files this process holds open, by target path.
bool process_has_open(const fs::path &file) {
    const fs::path wanted = fs::weakly_canonical(file);
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) == wanted)
            return true;
    }
    return false;
}

TEST_F(LogTest, LineCarriesStampThreadLevelAndMessage) {
    ASSERT_EQ(zr_log_enable(1, 0, "a.log"), 1);
    zr_log(1, "DBG", "[%s] value=%d\n", "some_function", 42);
    const std::regex line(
        R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[\d+\]\[DBG\] \[some_function\] value=42\n)");
    EXPECT_TRUE(std::regex_match(read_file("a.log"), line)) << read_file("a.log");
}

TEST_F(LogTest, RawLineHasNoPrefix) {
    ASSERT_EQ(zr_log_enable(1, 2, "a.log"), 1);
    zr_log_raw(2, "%d,%d\n", 1, 2);
    zr_log_raw(1, "below\n");
    EXPECT_EQ(read_file("a.log"), "1,2\n");
}

TEST_F(LogTest, LevelEqualToThresholdIsWrittenAndLowerIsNot) {
    ASSERT_EQ(zr_log_enable(1, 2, "a.log"), 1);
    zr_log(1, "DBG", "below\n");
    zr_log(2, "INF", "equal\n");
    zr_log(4, "ERR", "above\n");
    const std::string text = read_file("a.log");
    EXPECT_EQ(text.find("below"), std::string::npos);
    EXPECT_NE(text.find("[INF] equal"), std::string::npos);
    EXPECT_NE(text.find("[ERR] above"), std::string::npos);
}

TEST_F(LogTest, ConsoleFollowsItsOwnThreshold) {
    ASSERT_EQ(zr_log_enable(0, 3, nullptr), 1);
    const std::string out = captured_stdout_of([] {
        zr_log(2, "INF", "[t] quiet\n");
        zr_log(3, "WRN", "[t] loud\n");
    });
    EXPECT_EQ(out.find("quiet"), std::string::npos);
    EXPECT_NE(out.find("[WRN] [t] loud\n"), std::string::npos);
}

TEST_F(LogTest, IndexAboveTwoIsRefusedAndChangesNothing) {
    ASSERT_EQ(zr_log_enable(1, 3, "a.log"), 1);
    EXPECT_EQ(zr_log_enable(3, 0, "b.log"), 0);
    zr_log(2, "INF", "still filtered\n");
    EXPECT_EQ(read_file("a.log"), "");
    EXPECT_FALSE(fs::exists("b.log"));
    EXPECT_EQ(zr_log_enable(2, 0, nullptr), 1);  // stored, read by no sink
}

TEST_F(LogTest, NullPathOpensDefaultFileOnceAndKeepsIt) {
    ASSERT_EQ(zr_log_enable(1, 2, nullptr), 1);
    zr_log(2, "INF", "first\n");
    ASSERT_EQ(zr_log_enable(1, 2, nullptr), 1);
    zr_log(2, "INF", "second\n");
    const std::string text = read_file("zr.log");
    EXPECT_NE(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

TEST_F(LogTest, ExistingFileIsAppendedNotTruncated) {
    {
        std::FILE *f = std::fopen("a.log", "w");
        std::fputs("old line\n", f);
        std::fclose(f);
    }
    ASSERT_EQ(zr_log_enable(1, 0, "a.log"), 1);
    zr_log_raw(0, "new line\n");
    EXPECT_EQ(read_file("a.log"), "old line\nnew line\n");
}

TEST_F(LogTest, SwitchingFilesClosesThePreviousOne) {
    ASSERT_EQ(zr_log_enable(1, 0, "a.log"), 1);
    zr_log_raw(0, "to a\n");
    ASSERT_EQ(zr_log_enable(1, 0, "b.log"), 1);
    zr_log_raw(0, "to b\n");
    EXPECT_EQ(read_file("a.log"), "to a\n");
    EXPECT_EQ(read_file("b.log"), "to b\n");
    EXPECT_FALSE(process_has_open("a.log"));
    EXPECT_TRUE(process_has_open("b.log"));
}

TEST_F(LogTest, UnopenablePathReportsOnStderrAndLeavesNoFileOpen) {
    ASSERT_EQ(zr_log_enable(1, 0, "a.log"), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(zr_log_enable(1, 0, "missing-dir/b.log"), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "cannot open file missing-dir/b.log for write\n");
    zr_log_raw(0, "goes nowhere\n");
    EXPECT_EQ(read_file("a.log"), "");
    EXPECT_FALSE(process_has_open("a.log"));
    EXPECT_FALSE(fs::exists("missing-dir"));
    // A later successful enable brings file logging back.
    ASSERT_EQ(zr_log_enable(1, 0, "c.log"), 1);
    zr_log_raw(0, "back\n");
    EXPECT_EQ(read_file("c.log"), "back\n");
}

TEST_F(LogTest, DisableSilencesEverySinkUntilThresholdsAreSetAgain) {
    ASSERT_EQ(zr_log_enable(1, 0, "a.log"), 1);
    ASSERT_EQ(zr_log_enable(0, 0, nullptr), 1);
    EXPECT_EQ(zr_log_disable(), 0);
    EXPECT_FALSE(process_has_open("a.log"));
    const std::string out = captured_stdout_of([] {
        for (unsigned level = 0; level < 10; ++level)
            zr_log(level, "ERR", "[t] nothing\n");
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file("a.log"), "");
    EXPECT_EQ(zr_log_disable(), 0);  // nothing open any more
}

TEST_F(LogTest, LogCfgSetsBothThresholdsAndOpensDefaultFileOnlyWhenNoneIsOpen) {
    ASSERT_EQ(zr_log_enable(1, 4, "a.log"), 1);
    tarvo_log_cfg(5, 2, 0);
    zr_log(2, "INF", "[t] kept in a\n");
    EXPECT_NE(read_file("a.log").find("kept in a"), std::string::npos);
    EXPECT_FALSE(fs::exists("zr.log"));
    zr_log_disable();
    tarvo_log_cfg(5, 1, 0);
    zr_log(1, "DBG", "[t] in default\n");
    EXPECT_NE(read_file("zr.log").find("in default"), std::string::npos);
}

// Lines logged by several threads at once (the USB event thread logs beside the application)
// each come out whole: prefix and message together, never another thread's prefix between them.
TEST_F(LogTest, LinesOfConcurrentThreadsStayWhole) {
    ASSERT_EQ(zr_log_enable(1, 0, "a.log"), 1);
    constexpr int kThreads = 4;
    constexpr int kLines = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                zr_log(1, "DBG", "[thread%d] line %d\n", t, i);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    zr_log_disable();
    std::istringstream in(read_file("a.log"));
    const std::regex whole(R"(^[0-9/: .]+\[[0-9]+\]\[DBG\] \[thread[0-9]\] line [0-9]+$)");
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
