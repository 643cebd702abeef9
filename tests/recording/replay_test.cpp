// A scene recorded and played back through tarvo-vcam --replay decodes to the same distances as
// the live camera; damaged recordings get one clear error line from every reader, never a crash.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "recorded_frames.h"
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

// What the "conditions" recordings of mcap_test_writer.py hold: frame k's header temperatures and
// register r of the sensor's register file.
int16_t recorded_sensor_temperature(uint64_t k) {
    return static_cast<int16_t>(400 + 7 * k);
}
int16_t recorded_illumination_temperature(uint64_t k) {
    return static_cast<int16_t>(-50 - 3 * static_cast<int64_t>(k));
}
uint32_t recorded_register(size_t r) {
    return (r * 7 + 0x35) & 0xFF;
}

std::vector<uint32_t> registers_of(const fs::path &file) {
    tarvo::recording::RecordedFrames frames;
    std::vector<uint32_t> registers;
    std::string error;
    EXPECT_TRUE(frames.open(file.string(), error, tarvo::recording::FrameKind::kAny)) << error;
    EXPECT_TRUE(frames.sensor_registers(registers, error)) << error;
    return registers;
}

// A program under the played-back camera sees each frame's recorded header temperatures and the
// recorded register file: recorded again by `tarvo record`, the frames carry the temperatures
// of the frames they replay, and each sensor register holds its recorded value unless the
// library set it up itself (as it does on a camera played back without a register file) or
// changed some of its bits (the ABS registers, which it reads, modifies and writes back).
TEST_F(Replay, CameraSendsRecordedTemperaturesAndRegisters) {
    const std::string live = vcam_ + " --no-calibration --scene sphere:1.25 -- ";
    ASSERT_EQ(run(dir_, live + tool_ + " capture -n 4 -o raw.bin >/dev/null 2>&1"), 0);
    ASSERT_EQ(run(dir_, writer_ + " conditions raw.bin a.mcap"), 0);
    ASSERT_EQ(run(dir_, writer_ + " conditions raw.bin plain.mcap no-registers"), 0);
    for (const char *name : {"a", "plain"}) {
        ASSERT_EQ(run(dir_, vcam_ + " --no-calibration --replay " + name + ".mcap -- " + tool_ +
                                " record -n 4 -o again_" + name + ".mcap >/dev/null 2>&1"),
                  0)
            << name;
    }

    tarvo::recording::RecordedFrames again;
    std::string error;
    ASSERT_TRUE(
        again.open((dir_ / "again_a.mcap").string(), error, tarvo::recording::FrameKind::kAny))
        << error;
    ASSERT_EQ(again.size(), 4u);
    for (size_t i = 0; i < again.size(); ++i) {
        tarvo::recording::RecordedFrame f;
        ASSERT_TRUE(again.read(i, false, f, error)) << error;
        ASSERT_TRUE(f.has_temperatures);
        EXPECT_EQ(f.sensor_temperature, recorded_sensor_temperature(f.sequence)) << i;
        EXPECT_EQ(f.illumination_temperature, recorded_illumination_temperature(f.sequence)) << i;
    }

    const std::vector<uint32_t> with = registers_of(dir_ / "again_a.mcap");
    const std::vector<uint32_t> without = registers_of(dir_ / "again_plain.mcap");
    ASSERT_EQ(with.size(), 256u);
    ASSERT_EQ(without.size(), 256u);
    const std::vector<size_t> modified = {0x22, 0x25, 0x28, 0x2B};
    size_t kept = 0;
    for (size_t r = 0; r < with.size(); ++r) {
        SCOPED_TRACE(r);
        if (std::find(modified.begin(), modified.end(), r) != modified.end())
            continue;
        EXPECT_TRUE(with[r] == recorded_register(r) || with[r] == without[r]) << with[r];
        kept += with[r] == recorded_register(r) && without[r] != recorded_register(r);
    }
    // The trimming bytes, which the library only reads, come from the recording.
    for (size_t r = 0xE8; r <= 0xEF; ++r)
        EXPECT_EQ(with[r], recorded_register(r)) << r;
    EXPECT_GT(kept, 0u);
}

// What tarvo info says of temperatures and register files.
TEST_F(Replay, InfoShowsTemperaturesAndTheRegisterFile) {
    const std::string live = vcam_ + " --no-calibration --scene sphere:1.25 -- ";
    ASSERT_EQ(run(dir_, live + tool_ + " capture -n 4 -o raw.bin >/dev/null 2>&1"), 0);
    ASSERT_EQ(run(dir_, writer_ + " conditions raw.bin a.mcap"), 0);
    ASSERT_EQ(run(dir_, writer_ + " conditions raw.bin plain.mcap no-registers"), 0);
    ASSERT_EQ(run(dir_, writer_ + " frames raw.bin old.mcap"), 0);
    ASSERT_EQ(run(dir_, writer_ + " hostile ."), 0);
    struct Case {
        const char *file;
        const char *json;  // in the --json line
        const char *text;  // in the text
    };
    const Case cases[] = {
        {"a.mcap",
         "\"temperatures\":{\"sensor\":{\"min\":40.0,\"max\":42.1},"
         "\"illumination\":{\"min\":-5.9,\"max\":-5.0}},"
         "\"register_file\":{\"present\":true,\"registers\":256}",
         "temperatures: sensor 40.0 to 42.1 C, illumination -5.9 to -5.0 C\n"
         "register file: 256 registers of the image sensor\n"},
        {"plain.mcap", "\"register_file\":{\"present\":false,\"registers\":0}",
         "register file: not recorded\n"},
        {"old.mcap", "\"temperatures\":null", "temperatures: not recorded\n"},
        {"register_gap.mcap",
         "\"register_file\":{\"present\":false,\"registers\":0,"
         "\"error\":\"register file: register 0x10 missing\"}",
         "register file: register 0x10 missing\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_EQ(run(dir_, tool_ + " info --json " + c.file + " > info.json 2>&1"), 0);
        EXPECT_NE(text(dir_ / "info.json").find(c.json), std::string::npos)
            << text(dir_ / "info.json");
        ASSERT_EQ(run(dir_, tool_ + " info " + c.file + " > info.txt 2>&1"), 0);
        EXPECT_NE(text(dir_ / "info.txt").find(c.text), std::string::npos)
            << text(dir_ / "info.txt");
    }
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
         {"not_mcap", "empty", "bad_crc", "huge_chunk", "orphan_message", "no_frames", "missing",
          "unknown_layout", "short_temperatures", "bad_register", "register_gap",
          "register_out_of_range", "wide_register", "bad_parameter"}) {
        SCOPED_TRACE(name);
        const std::string file = std::string(name) + ".mcap";
        EXPECT_EQ(run(dir_, vcam_ + " --replay " + file + " -- true 2> err.txt"), 2);
        const std::string err = text(dir_ / "err.txt");
        EXPECT_EQ(err.rfind(error_start("tarvo-vcam", file), 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    for (const char *name :
         {"not_mcap", "empty", "bad_crc", "huge_chunk", "orphan_message", "unknown_layout"}) {
        SCOPED_TRACE(name);
        const std::string file = std::string(name) + ".mcap";
        EXPECT_EQ(run(dir_, tool_ + " info " + file + " > out.txt 2> err.txt"), 1);
        EXPECT_EQ(text(dir_ / "err.txt").rfind(error_start("tarvo", file), 0), 0u);
        EXPECT_TRUE(text(dir_ / "out.txt").empty());
    }
}

}  // namespace
