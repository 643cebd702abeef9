// Library start and stop, the path prefix and the error names, through the public interface.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace fs = std::filesystem;
using tarvo::test::read_file;

namespace {

class InitTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_.enter(); }
    void TearDown() override { tarvo_uninit(); }
    tarvo::test::TempDir dir_;
};

std::string todays_log_name() {
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    char name[64];
    std::strftime(name, sizeof name, "tarvo_%Y%m%d.log", &today);
    return name;
}

TEST_F(InitTest, WithoutNameLogsIntoTodaysFile) {
    tarvo_init(nullptr);
    const std::string text = read_file(todays_log_name());
    EXPECT_NE(text.find("[INF] [tarvo_init]  --- TARVO v1.31(compile at "), std::string::npos)
        << text;
    EXPECT_NE(text.find(") log start -----\n"), std::string::npos);
}

TEST_F(InitTest, UninitWritesTheEndLineAndSilencesLogging) {
    tarvo_init("app.log");
    tarvo_uninit();
    zr_log(4, "ERR", "[t] after uninit\n");
    const std::string text = read_file("app.log");
    EXPECT_NE(text.find("[DBG] [tarvo_uninit] ----- AL log END ----\n\n"), std::string::npos);
    EXPECT_EQ(text.find("after uninit"), std::string::npos);
}

TEST_F(InitTest, InitSetsConsoleToWarningsAndFileToDebug) {
    tarvo_init("app.log");
    testing::internal::CaptureStdout();
    zr_log(2, "INF", "[t] info\n");
    zr_log(3, "WRN", "[t] warning\n");
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("info"), std::string::npos);
    EXPECT_NE(out.find("warning"), std::string::npos);
    zr_log(0, "TRC", "[t] trace\n");
    zr_log(1, "DBG", "[t] debug\n");
    const std::string text = read_file("app.log");
    EXPECT_EQ(text.find("trace"), std::string::npos);
    EXPECT_NE(text.find("debug"), std::string::npos);
}

TEST_F(InitTest, InitResetsThePrefix) {
    tarvo_init("app.log");
    ASSERT_EQ(tarvo_path_cfg("elsewhere/"), 0);
    tarvo_init("app.log");
    EXPECT_STREQ(tarvo_path_get(), ".\\");
}

TEST_F(InitTest, PrefixCreatesEveryMissingLevelAndKeepsTrailingSeparator) {
    struct Case {
        const char *prefix;
        const char *created;
    };
    const Case cases[] = {
        {"one/two/three/", "one/two/three"},
        {"a\\b\\c\\", "a/b/c"},
        {"mixed/x\\y", "mixed/x/y"},
        {".\\", "."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.prefix);
        EXPECT_EQ(tarvo_path_cfg(c.prefix), 0);
        EXPECT_STREQ(tarvo_path_get(), c.prefix);
        EXPECT_TRUE(fs::is_directory(c.created));
    }
    EXPECT_FALSE(fs::exists(".\\"));  // the default prefix is the current directory, no file
}

TEST_F(InitTest, PrefixOfAbsolutePathWorks) {
    const std::string prefix = (dir_.path() / "abs" / "deep").string() + "/";
    EXPECT_EQ(tarvo_path_cfg(prefix.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir_.path() / "abs" / "deep"));
}

TEST_F(InitTest, LongPrefixIsStoredAs255Characters) {
    const std::string longer(300, 'p');
    tarvo_path_cfg(longer.c_str());
    EXPECT_EQ(std::string(tarvo_path_get()), longer.substr(0, 255));
}

TEST_F(InitTest, EmptyPrefixIsStoredAndCannotBeCreated) {
    EXPECT_EQ(tarvo_path_cfg(""), -1);
    EXPECT_STREQ(tarvo_path_get(), "");
}

TEST_F(InitTest, PrefixUnderAFileFails) {
    {
        std::FILE *f = std::fopen("plain", "w");
        std::fclose(f);
    }
    EXPECT_EQ(tarvo_path_cfg("plain/sub/"), -1);
    EXPECT_EQ(tarvo_path_cfg(nullptr), -1);
}

TEST(ErrorName, EveryCodeHasItsName) {
    struct Case {
        int code;
        const char *name;
    };
    const Case cases[] = {
        {-10, "TARVO_ERR_CAP_UNKNOWN"},
        {-9, "**UNKNOWN**"},
        {-8, "TARVO_ERR_CAP_ERROR"},
        {-7, "TARVO_ERR_CAP_STALL"},
        {-6, "**UNKNOWN**"},
        {-5, "TARVO_ERR_CAP_TIMEOUT"},
        {-4, "**UNKNOWN**"},
        {-3, "**UNKNOWN**"},
        {-2, "**UNKNOWN**"},
        {-1, "**UNKNOWN**"},
        {0, "OK"},
        {1, "**UNKNOWN**"},
        {2, "**UNKNOWN**"},
        {3, "TARVO_ERR_CAP_FRAME_DISCARD"},
        {4, "**UNKNOWN**"},
        {-11, "**UNKNOWN**"},
        {INT32_MIN, "**UNKNOWN**"},
        {INT32_MAX, "**UNKNOWN**"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(tarvo_error_name(c.code), c.name) << c.code;
}

}  // namespace
