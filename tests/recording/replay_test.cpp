// A scene recorded and played back through tarvo-vcam --replay decodes to the same distances as
// the live camera; damaged recordings get one clear error line from every reader, never a crash.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "run_tools.h"

namespace {

namespace fs = std::filesystem;

using tarvo::test::env;
using tarvo::test::quoted;
using tarvo::test::run;
using tarvo::test::slurp;
using tarvo::test::text;

// "PROGRAM: FILE: ", how an error line about FILE begins.
std::string error_start(const char *program, const std::string &file) {
    std::string out = program;
    out.append(": ").append(file).append(": ");
    return out;
}

class Replay : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tarvo-replay-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        // Calibration files of earlier cameras must not decode these: each test has its own
        // cache and state folders for the tool.
        setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
        setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
        vcam_ = quoted(env("TARVO_VCAM"));
        tool_ = quoted(env("TARVO_TOOL"));
        writer_ = "/usr/bin/python3 '" + env("MCAP_TEST_WRITER") + "'";
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    std::string vcam_, tool_, writer_;
};

TEST_F(Replay, RecordedSphereDecodesAsTheLiveCamera) {
    const std::string live = vcam_ + " --no-calibration --scene sphere:1.25 -- ";
    ASSERT_EQ(run(dir_, live + tool_ + " capture -n 4 -o raw.bin >/dev/null 2>&1"), 0);
    ASSERT_EQ(run(dir_, live + tool_ + " depth --format f32 -o live.zrd >/dev/null 2>&1"), 0);
    ASSERT_EQ(run(dir_, writer_ + " frames raw.bin a.mcap"), 0);

    const std::string replay = vcam_ + " --no-calibration --replay a.mcap -- ";
    ASSERT_EQ(run(dir_, replay + tool_ + " depth --format f32 -o replay.zrd >/dev/null 2>&1"), 0);
    const auto expected = slurp(dir_ / "live.zrd");
    ASSERT_GT(expected.size(), 320u * 240u * 4u);
    EXPECT_EQ(slurp(dir_ / "replay.zrd"), expected);

    // The recorded camera's identity, and what the recording holds.
    ASSERT_EQ(run(dir_, replay + tool_ + " info --json > ident.json 2>&1"), 0);
    EXPECT_NE(text(dir_ / "ident.json").find("\"ident\":\"REC-7\""), std::string::npos);
    EXPECT_NE(text(dir_ / "ident.json").find("\"chip_id\":3"), std::string::npos);
    ASSERT_EQ(run(dir_, tool_ + " info --json a.mcap > info.json 2>&1"), 0);
    EXPECT_NE(text(dir_ / "info.json").find("\"frames\":4"), std::string::npos);
    EXPECT_NE(text(dir_ / "info.json").find("\"complete\":true"), std::string::npos);

    // Played faster and in a loop, the camera delivers more frames than were recorded.
    EXPECT_EQ(run(dir_, vcam_ + " --replay a.mcap --loop --rate 4 -- " + tool_ +
                            " capture -n 12 >/dev/null 2>&1"),
              0);
}

// The camera's calibration travels in the recording: a camera with per-pixel errors, replayed
// in a fresh folder, uploads the recorded calibration and decodes the same corrected distances.
TEST_F(Replay, RecordedCalibrationCorrectsAsTheLiveCamera) {
    const std::string live =
        vcam_ + " --scene sphere:1.25 --pixel-error 20 --chip-id 3 --wafer-id 2 -- ";
    // The calibration the live camera uploads goes to tarvo-data/, where the recording takes it.
    ASSERT_EQ(
        run(dir_, live + tool_ + " --path tarvo-data/ capture -n 2 -o raw.bin >/dev/null 2>&1"), 0);
    ASSERT_EQ(run(dir_, live + tool_ +
                            " --path tarvo-data/ depth --format f32 -o live.zrd >/dev/null 2>&1"),
              0);
    ASSERT_EQ(run(dir_, writer_ + " frames raw.bin a.mcap tarvo-data"), 0);
    fs::create_directories(dir_ / "fresh");
    ASSERT_EQ(run(dir_ / "fresh", vcam_ + " --replay ../a.mcap -- " + tool_ +
                                      " depth --format f32 -o replay.zrd >/dev/null 2>&1"),
              0);
    EXPECT_EQ(slurp(dir_ / "fresh" / "replay.zrd"), slurp(dir_ / "live.zrd"));
}

TEST_F(Replay, RecordingCutShortPlaysItsWholeRecords) {
    const std::string live = vcam_ + " --no-calibration --scene sphere:1.25 -- ";
    ASSERT_EQ(run(dir_, live + tool_ + " capture -n 4 -o raw.bin >/dev/null 2>&1"), 0);
    ASSERT_EQ(run(dir_, writer_ + " frames raw.bin a.mcap"), 0);
    fs::resize_file(dir_ / "a.mcap", fs::file_size(dir_ / "a.mcap") * 3 / 4);
    ASSERT_EQ(run(dir_, tool_ + " info --json a.mcap > info.json 2>&1"), 0);
    EXPECT_NE(text(dir_ / "info.json").find("\"complete\":false"), std::string::npos);
    EXPECT_EQ(run(dir_, vcam_ + " --replay a.mcap -- " + tool_ + " depth -o r.png >/dev/null 2>&1"),
              0);
}

TEST_F(Replay, DamagedRecordingsGetOneErrorLine) {
    ASSERT_EQ(run(dir_, writer_ + " hostile ."), 0);
    for (const char *name :
         {"not_mcap", "empty", "bad_crc", "huge_chunk", "orphan_message", "no_frames", "missing"}) {
        SCOPED_TRACE(name);
        const std::string file = std::string(name) + ".mcap";
        EXPECT_EQ(run(dir_, vcam_ + " --replay " + file + " -- true 2> err.txt"), 2);
        const std::string err = text(dir_ / "err.txt");
        EXPECT_EQ(err.rfind(error_start("tarvo-vcam", file), 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    for (const char *name : {"not_mcap", "empty", "bad_crc", "huge_chunk", "orphan_message"}) {
        SCOPED_TRACE(name);
        const std::string file = std::string(name) + ".mcap";
        EXPECT_EQ(run(dir_, tool_ + " info " + file + " > out.txt 2> err.txt"), 1);
        EXPECT_EQ(text(dir_ / "err.txt").rfind(error_start("tarvo", file), 0), 0u);
        EXPECT_TRUE(text(dir_ / "out.txt").empty());
    }
}

}  // namespace
