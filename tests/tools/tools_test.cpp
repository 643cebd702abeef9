// The installed tarvo and tarvo-vcam, run as a user runs them: each case is a shell command in
// a scratch directory with the installed bin/ first on PATH, checked by its exit status and by
// what it printed.
#include <gtest/gtest.h>
#if TARVO_TEST_PNG
#include <png.h>
#endif

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using tarvo::test::read_file;
using tarvo::test::TempDir;

constexpr unsigned kFrameBytes = 614400;  // 320 x 240 pixels of four 16-bit samples

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class ToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *bin = std::getenv("TARVO_TOOLS_BIN");
        ASSERT_NE(bin, nullptr) << "TARVO_TOOLS_BIN names the installed bin/ folder";
        bin_ = bin;
        ASSERT_TRUE(std::filesystem::exists(bin_ + "/tarvo"));
        ASSERT_TRUE(std::filesystem::exists(bin_ + "/tarvo-vcam"));
        dir_.enter();
    }

    // `command` through sh, in the scratch directory, standard input empty.
    Outcome run(const std::string &command) const {
        const std::string line = "PATH='" + bin_ +
                                 "':\"$PATH\"; export PATH; unset TARVO_VCAM_FPS; " +
                                 // The tool's own files stay in this test's scratch folder.
                                 "XDG_STATE_HOME=\"$PWD/.state\" XDG_CACHE_HOME=\"$PWD/.cache\"; "
                                 "export XDG_STATE_HOME XDG_CACHE_HOME; " +
                                 command + " </dev/null >out.txt 2>err.txt";
        const int raw = std::system(line.c_str());
        Outcome r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        r.out = read_file(dir_.path() / "out.txt");
        r.err = read_file(dir_.path() / "err.txt");
        return r;
    }

    void write(const std::string &name, size_t size, unsigned seed) const {
        std::ofstream f(dir_.path() / name, std::ios::binary);
        for (size_t i = 0; i < size; ++i)
            f.put(static_cast<char>((i * 131 + seed) ^ (i >> 8)));
    }
    std::string file(const std::string &name) const { return read_file(dir_.path() / name); }
    bool exists(const std::string &name) const {
        return std::filesystem::exists(dir_.path() / name);
    }

    std::string bin_;
    TempDir dir_;
};

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// Every line of the text in which `pattern` is found.
size_t count_matches(const std::string &text, const std::string &pattern) {
    const std::regex re(pattern);
    size_t n = 0;
    for (const std::string &l : lines(text))
        n += std::regex_search(l, re) ? 1 : 0;
    return n;
}

TEST_F(ToolsTest, UsageErrorsExitWith2AndShowTheUsage) {
    const char *cases[] = {
        "tarvo",
        "tarvo no-such-command",
        "tarvo capture -n many",
        "tarvo capture --no-such-option",
        "tarvo param",
        "tarvo param get",
        "tarvo param get 256",
        "tarvo param set 12 1e0",
        "tarvo param set 12 zz",
        "tarvo param set 12 000102030405060708090a0b0c0d0e0f101112",
        "tarvo reg read 1",
        "tarvo reg read 256 0",
        "tarvo reg read 1 0x100000000",
        "tarvo reg read 1 0 0",
        "tarvo reg read 1 0xff 2",
        "tarvo reg write 1 0x100 1",
        "tarvo reg write 1 0",
        "tarvo firmware upgrade 1 2",
        "tarvo data write 5 65536 f",
        "tarvo data read x g",
        "tarvo depth -o d.jpg",
        "tarvo gray -o g",
        "tarvo pointcloud -o p.txt",
        "tarvo depth -o d.png --color --range 4 1",
        "tarvo depth -o d.png --color --range 2 2",
        "tarvo depth -o d.png --color --range -1 3",
        "tarvo pointcloud -o p.ply --range 3 0.5",
        "tarvo view --source dds:ns --integration-time 300",
        "tarvo view --source dds:ns --camera 1",
        "tarvo-vcam",
        "tarvo-vcam --fps 0 -- true",
        "tarvo-vcam --fps 121 -- true",
        "TARVO_VCAM_FPS=500 tarvo-vcam -- true",
        "tarvo-vcam --count 17 -- true",
        "tarvo-vcam --no-such-option -- true",
        "tarvo-vcam --flash-dir no-such-dir -- true",
    };
    for (const char *c : cases) {
        SCOPED_TRACE(c);
        const Outcome r = run(c);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("sage"), std::string::npos) << r.err;  // "Usage" or "usage"
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(ToolsTest, WithoutACameraEveryCommandFailsWith1AndSaysSo) {
    write("f", 100, 1);
    const char *commands[] = {
        "tarvo info",          "tarvo info --json",      "tarvo capture -n 1",
        "tarvo demo -n 1",     "tarvo param get 12",     "tarvo param set 12 1e000000",
        "tarvo reg read 1 0",  "tarvo reg write 1 0 1",  "tarvo firmware upgrade 4 2 f",
        "tarvo data read 5 g", "tarvo data write 5 2 f",
    };
    for (const char *c : commands) {
        SCOPED_TRACE(c);
        const Outcome r = run(std::string("tarvo-vcam --count 0 -- ") + c);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(count_matches(r.err, "^tarvo: no camera found$"), 1u) << r.err;
    }
    EXPECT_FALSE(exists("g"));
}

TEST_F(ToolsTest, VersionAndHelp) {
    const Outcome version = run("tarvo --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("tarvo [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.out;

    const Outcome help = run("tarvo --help");
    EXPECT_EQ(help.status, 0);
    for (const char *command :
         {"list", "info", "capture", "demo", "param", "reg", "firmware", "data"}) {
        EXPECT_EQ(count_matches(help.out, std::string("^  ") + command + " "), 1u) << command;
    }
    const Outcome sub = run("tarvo reg read --help");
    EXPECT_EQ(sub.status, 0);
    EXPECT_NE(sub.out.find("COUNT"), std::string::npos) << sub.out;
}

TEST_F(ToolsTest, LauncherHelpNamesTheVariableOfEveryOption) {
    const Outcome r = run("tarvo-vcam --help");
    ASSERT_EQ(r.status, 0);
    // Each option line is followed by its "[TARVO_VCAM_..., default ...]" line.
    const std::vector<std::string> help = lines(r.out);
    size_t options = 0;
    for (size_t i = 0; i < help.size(); ++i) {
        if (!std::regex_search(help[i], std::regex("^ +(-., )?--[a-z]")) ||
            help[i].find("--help") != std::string::npos) {
            continue;
        }
        ++options;
        ASSERT_LT(i + 1, help.size());
        EXPECT_TRUE(std::regex_search(help[i + 1], std::regex("\\[TARVO_VCAM_[A-Z_]+, default ")))
            << help[i];
    }
    EXPECT_GE(options, 8u);
    for (const char *name :
         {"--count", "--fps", "--flash-dir", "TARVO_VCAM_FPS", "TARVO_VCAM_FLASH_DIR"}) {
        EXPECT_NE(r.out.find(name), std::string::npos) << name;
    }
}

TEST_F(ToolsTest, ListAndInfoAsTextAndJson) {
    const Outcome list = run("tarvo-vcam --count 2 -- tarvo list");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(lines(list.out).front(), "2 camera(s)");

    const Outcome json = run("tarvo-vcam --count 2 -- tarvo list --json");
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(count_matches(json.out,
                            "^\\[?\\{\"index\":[01],\"bus\":1,\"port\":[12],\"address\":[0-9]+,"
                            "\"speed\":3\\}[,\\]]$"),
              2u)
        << json.out;
    EXPECT_EQ(lines(json.out).size(), 2u);
    EXPECT_EQ(run("tarvo-vcam --count 0 -- tarvo list --json").out, "[]\n");

    const std::string camera = "tarvo-vcam --chip-id 77 --wafer-id 9 --fps 45 -- ";
    const Outcome info = run(camera + "tarvo info");
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(count_matches(info.out, "product TV320-E2-1.3, ident VCAM-1, firmware 113"), 1u);
    EXPECT_EQ(count_matches(info.out, "chip id 77, wafer id 9, part version 4"), 1u) << info.out;
    EXPECT_EQ(count_matches(info.out, "frame rate 45 fps, integration time 700"), 1u);

    const Outcome info_json = run(camera + "tarvo info --json");
    EXPECT_EQ(info_json.status, 0);
    ASSERT_EQ(lines(info_json.out).size(), 1u) << info_json.out;
    for (const char *field :
         {"\"product\":\"TV320-E2-1.3\"", "\"firmware\":113", "\"chip_id\":77", "\"wafer_id\":9",
          "\"part_version\":4", "\"frame_rate\":45", "\"integration_time\":700"}) {
        EXPECT_NE(info_json.out.find(field), std::string::npos) << field;
    }

    const Outcome all = run("tarvo-vcam --count 3 -- tarvo info --json --all");
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(count_matches(all.out, "^\\{\"bus\":1,.*\"frame_rate\":30,.*\\}$"), 3u) << all.out;
}

// tarvo doctor: one line per check; warnings pass, failures name their fix and exit 1. The
// frames check measures the rate that arrives, which a busy host lowers: its line is checked for
// its form, and the exit status must agree with it.
TEST_F(ToolsTest, DoctorPassesOnTheVirtualCameraAndNamesEachFailure) {
    const char *checks[] = {"camera", "usb-speed", "permission",  "udev-rule",  "autosuspend",
                            "libusb", "firmware",  "calibration", "path-prefix"};
    const std::string frames_line =
        "^(ok|FAIL) +frames +[0-9]+ frames at [0-9.]+ fps \\(set 30 fps\\)";
    const Outcome r = run("tarvo-vcam -- tarvo doctor");
    EXPECT_EQ(lines(r.out).size(), std::size(checks) + 1) << r.out;
    for (const char *c : checks)
        EXPECT_EQ(count_matches(r.out, std::string("^(ok|warn)  +") + c + " "), 1u) << c << r.out;
    EXPECT_EQ(count_matches(r.out, frames_line), 1u) << r.out;
    EXPECT_EQ(r.status, count_matches(r.out, "^FAIL +frames ") == 0 ? 0 : 1) << r.out << r.err;

    const Outcome json = run("tarvo-vcam -- tarvo doctor --json");
    EXPECT_EQ(count_matches(json.out,
                            "^\\{\"check\":\"[a-z-]+\",\"status\":\"(ok|warn|fail)\","
                            "\"finding\":\".*\",\"fix\":(null|\".*\")\\}$"),
              std::size(checks) + 1)
        << json.out;
    EXPECT_EQ(count_matches(json.out, "\"status\":\"fail\""),
              count_matches(json.out, "^\\{\"check\":\"frames\",\"status\":\"fail\""))
        << json.out;

    const Outcome slow = run("tarvo-vcam --speed 2 -- tarvo doctor");
    EXPECT_EQ(slow.status, 1);
    EXPECT_EQ(count_matches(slow.out,
                            "^FAIL +usb-speed +linked at full speed .*; fix: .*USB 2.0 "
                            "\\(or faster\\) port.*hub.*cable"),
              1u)
        << slow.out;
    EXPECT_EQ(count_matches(slow.out, "^FAIL +(usb-speed|frames) "),
              count_matches(slow.out, "^FAIL"))
        << slow.out;

    const Outcome none = run("tarvo-vcam --count 0 -- tarvo doctor");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(count_matches(none.out, "^FAIL +camera +no camera 111b:1238 found.*; fix: plug"), 1u)
        << none.out;
}

TEST_F(ToolsTest, CameraChosenByIndexBusPortOrIdent) {
    const Outcome list = run("tarvo-vcam -n 3 -- tarvo list --ident --json");
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(
        list.out,
        "[{\"index\":0,\"bus\":1,\"port\":1,\"address\":2,\"speed\":3,\"ident\":\"VCAM-1\"},\n"
        "{\"index\":1,\"bus\":1,\"port\":2,\"address\":3,\"speed\":3,\"ident\":\"VCAM-2\"},\n"
        "{\"index\":2,\"bus\":1,\"port\":3,\"address\":4,\"speed\":3,\"ident\":\"VCAM-3\"}]\n");

    struct Case {
        const char *selector;
        const char *ident;
    };
    for (const Case c : {Case{"VCAM-2", "VCAM-2"}, Case{"2", "VCAM-3"}, Case{"0", "VCAM-1"},
                         Case{"1-2", "VCAM-2"}}) {
        SCOPED_TRACE(c.selector);
        const Outcome r =
            run(std::string("tarvo-vcam -n 3 -- tarvo info --json --camera ") + c.selector);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(std::string("\"ident\":\"") + c.ident + "\""), std::string::npos)
            << r.out;
    }
    const Outcome param = run("tarvo-vcam -n 2 -- tarvo param get 2 --camera 1");
    EXPECT_EQ(param.status, 0) << param.err;

    const struct {
        const char *selector;
        const char *message;
    } missing[] = {
        {"VCAM-9", "^tarvo: no camera with ident VCAM-9 "},
        {"1-9", "^tarvo: no camera at bus 001 port 009 "},
        {"7", "^tarvo: no camera with index or ident 7 \\(3 camera\\(s\\) found\\)$"},
    };
    for (const auto &c : missing) {
        SCOPED_TRACE(c.selector);
        const Outcome r =
            run(std::string("tarvo-vcam -n 3 -- tarvo capture -n 1 --camera ") + c.selector);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(count_matches(r.err, c.message), 1u) << r.err;
    }
}

TEST_F(ToolsTest, CaptureSettingsReachTheCamera) {
    const Outcome r =
        run("tarvo-vcam -- tarvo -v capture -n 2 --frame-rate 20 --integration-time 300 "
            "--modulation-frequency 24000 --min-amplitude 40 --hdr --undistort --auto-exposure");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_matches(r.err, "Set FPS:20$"), 1u) << r.err;

    const Outcome frequency = run("tarvo-vcam -- tarvo depth -o d.zrd --modulation-frequency 1234");
    EXPECT_EQ(frequency.status, 1);
    EXPECT_EQ(count_matches(frequency.err,
                            "^tarvo: modulation frequency 1234 kHz is not one of the sensor's: "
                            "36000, 24000, 12000, 6000, 3000, 1500, 750$"),
              1u)
        << frequency.err;
    EXPECT_FALSE(exists("d.zrd"));

    for (const char *c : {"tarvo capture --integration-time 0", "tarvo capture --frame-rate 121",
                          "tarvo view --min-amplitude -1", "tarvo pointcloud -o p.ply --hdr=x",
                          "tarvo info --all --camera 1", "tarvo capture --camera ''"}) {
        SCOPED_TRACE(c);
        const Outcome usage = run(c);
        EXPECT_EQ(usage.status, 2);
        EXPECT_EQ(usage.out, "");
    }
}

TEST_F(ToolsTest, VerboseLinesGoToStandardErrorOnly) {
    const Outcome r = run("tarvo-vcam -n 2 -- tarvo -v list --json");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_matches(r.out, "^\\[?\\{\"index\":[01],.*\\}[,\\]]$"), 2u) << r.out;
    EXPECT_EQ(lines(r.out).size(), 2u) << r.out;
    EXPECT_NE(r.err.find("[DBG] "), std::string::npos) << r.err;

    const Outcome text = run("tarvo-vcam -- tarvo -v param get 12");
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "12: 1e 00 00 00\n");
}

TEST_F(ToolsTest, ParametersAndRegistersRoundTrip) {
    const Outcome get = run("tarvo-vcam --fps 45 -- tarvo param get 12 13 7");
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out, "12: 2d 00 00 00\n13: bc 02\n7: 04 00 01 00 01 00\n");

    const Outcome set =
        run("tarvo-vcam -- sh -c 'tarvo param set 0x28 01:02:03 && tarvo param get 40'");
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(lines(set.out).back(), "40: 01 02 03") << set.out;

    const Outcome reg =
        run("tarvo-vcam -- sh -c 'tarvo reg write 7 0x10 5 0xdeadbeef 4294967295 && "
            "tarvo reg read 7 16 4'");
    EXPECT_EQ(reg.status, 0);
    EXPECT_EQ(reg.out,
              "3 register(s) written\n"
              "0x00000010: 0x00000005\n"
              "0x00000011: 0xdeadbeef\n"
              "0x00000012: 0xffffffff\n"
              "0x00000013: 0x00000000\n");
}

TEST_F(ToolsTest, CaptureSummarySaysWhatArrived) {
    const Outcome r = run("tarvo-vcam --fps 60 -- tarvo capture -n 60");
    ASSERT_EQ(r.status, 0) << r.err;
    std::smatch m;
    // A machine too busy to fetch every frame in time drops some (the camera does not wait);
    // the parser must still see no damage.
    const std::regex summary(
        "received 60, dropped ([0-9]+), discarded 0, ([0-9.]+) fps, cpu "
        "([0-9.]+) ms per frame");
    ASSERT_TRUE(std::regex_search(r.out, m, summary)) << r.out;
    // The camera paces the frames at 60 per second and never sends faster; a loaded machine
    // may fetch them slower, so only the upper side is firm.
    const double rate = std::stod(m[2]);
    EXPECT_GT(rate, 0.0) << "dropped " << m[1];
    EXPECT_LT(rate, 75.0);
    EXPECT_GT(std::stod(m[3]), 0.0);
    // Not a terminal: no progress line.
    EXPECT_EQ(r.err.find('\r'), std::string::npos);

    const Outcome saved = run("tarvo-vcam -- tarvo capture -n 3 -o raw.bin");
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(file("raw.bin").size(), 3u * kFrameBytes);

    const Outcome legacy = run("tarvo-vcam -- tarvo -n 2 capture");
    EXPECT_EQ(legacy.status, 0) << legacy.err;
    EXPECT_NE(legacy.out.find("received 2, dropped "), std::string::npos) << legacy.out;

    const Outcome demo = run("tarvo-vcam -- tarvo demo -n 2");
    EXPECT_EQ(demo.status, 0) << demo.err;
    EXPECT_EQ(lines(demo.out).front(), "1 camera(s)");

    const Outcome unwritable = run("tarvo-vcam -- tarvo capture -n 2 -o no-such-dir/raw.bin");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(count_matches(unwritable.err,
                            "^tarvo: cannot write no-such-dir/raw.bin: No such file or directory$"),
              1u);
}

TEST_F(ToolsTest, InterruptedCaptureKeepsTheFramesAndSummarises) {
    // SIGINT once the first frame is in the file: the capture stops, finishes the file and
    // prints its summary.
    const Outcome r =
        run("tarvo-vcam --fps 5 -- sh -c 'tarvo capture -n 100000 -o raw.bin & "
            "i=0; while [ -z \"$(find . -maxdepth 1 -name .raw.bin.\\*.part -size +0c)\" ] && "
            "[ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done; kill -INT $!; wait $!'");
    EXPECT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m,
                                  std::regex("captured ([0-9]+) frame\\(s\\) in .*, interrupted")))
        << r.out;
    const size_t frames = std::stoul(m[1]);
    EXPECT_GE(frames, 1u);
    EXPECT_EQ(file("raw.bin").size(), frames * kFrameBytes);
    for (const auto &entry : std::filesystem::directory_iterator(dir_.path()))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();  // no temporary file left
}

TEST_F(ToolsTest, WorkingFolderStaysEmpty) {
    const Outcome r =
        run("mkdir w && (cd w && XDG_STATE_HOME=\"$PWD/../state\" XDG_CACHE_HOME=\"$PWD/../cache\" "
            "tarvo-vcam -- tarvo depth -o ../d.zrd)");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path() / "w"));
    EXPECT_TRUE(exists("d.zrd"));
    size_t logs = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir_.path() / "state/tarvo"))
        logs +=
            std::regex_match(entry.path().filename().string(), std::regex("tarvo_[0-9]{8}\\.log"));
    EXPECT_EQ(logs, 1u);
    EXPECT_FALSE(std::filesystem::is_empty(dir_.path() / "cache/tarvo"));  // calibration data
}

#if TARVO_TEST_PNG
// The samples of a 16-bit gray PNG, row after row; empty when it is not one.
std::vector<uint16_t> read_gray16_png(const std::filesystem::path &path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return {};
    image.format = PNG_FORMAT_LINEAR_Y;  // 16-bit samples, as stored for a linear gray PNG
    std::vector<uint16_t> samples(PNG_IMAGE_SIZE(image) / 2);
    if (!png_image_finish_read(&image, nullptr, samples.data(), 0, nullptr))
        return {};
    return samples;
}

TEST_F(ToolsTest, PngOfSeveralFramesSaysItIsTheirMean) {
    const std::string cam = "tarvo-vcam --scene wall:1.5 -- ";
    const Outcome one = run(cam + "tarvo depth -o one.png");
    const Outcome mean = run(cam + "tarvo depth -n 8 -o mean.png");
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(mean.status, 0) << mean.err;
    EXPECT_EQ(one.out, "one.png: 1 distance image of 320x240\n");
    EXPECT_EQ(mean.out, "mean.png: 8 distance frames averaged into one 320x240 image\n");
    const auto averaged = read_gray16_png(dir_.path() / "mean.png");
    ASSERT_EQ(averaged.size(), 320u * 240u);
    EXPECT_NEAR(averaged[120 * 320 + 160], 1500, 15);  // millimetres at the wall's centre
}

TEST_F(ToolsTest, GrayPngFillsSixteenBitsUnlessRaw) {
    const Outcome scaled = run("tarvo-vcam -- tarvo gray -o scaled.png");
    const Outcome raw = run("tarvo-vcam -- tarvo gray -o raw.png --raw");
    ASSERT_EQ(scaled.status, 0) << scaled.err;
    ASSERT_EQ(raw.status, 0) << raw.err;
    EXPECT_NE(scaled.out.find("to fill 16 bits"), std::string::npos) << scaled.out;
    EXPECT_EQ(raw.out, "raw.png: 1 gray image of 320x240\n");
    const auto s = read_gray16_png(dir_.path() / "scaled.png");
    const auto r = read_gray16_png(dir_.path() / "raw.png");
    ASSERT_FALSE(s.empty());
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(*std::max_element(s.begin(), s.end()), 65535);
    const uint16_t raw_top = *std::max_element(r.begin(), r.end());
    EXPECT_GT(raw_top, 0);
    EXPECT_LT(raw_top, 65535);
}
#endif

TEST_F(ToolsTest, DataWrittenIsReadBackIdentical) {
    write("f", 5000, 3);
    const Outcome r = run("tarvo-vcam -- sh -c 'tarvo data write 5 7 f && tarvo data read 5 g'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file("g"), file("f"));
    EXPECT_EQ(count_matches(r.out, "^data write: sent f \\(5000 bytes\\) as type 5 version 7$"), 1u)
        << r.out;
    EXPECT_EQ(count_matches(r.out, "^data read: type 5 into g \\(5000 bytes\\)$"), 1u);
    EXPECT_EQ(r.err.find('\r'), std::string::npos);

    const Outcome upgrade =
        run("tarvo-vcam -- sh -c 'tarvo firmware upgrade 4 2 f && "
            "tarvo data read 4 h'");
    EXPECT_EQ(upgrade.status, 0) << upgrade.err;
    EXPECT_EQ(file("h"), file("f"));
}

TEST_F(ToolsTest, TransferFailuresSayWhyAndLeaveNoFile) {
    const Outcome nothing = run("tarvo-vcam -- tarvo data read 5 g");
    EXPECT_EQ(nothing.status, 1);
    EXPECT_EQ(count_matches(nothing.err, "^tarvo: data read of type 5 failed"), 1u) << nothing.err;
    EXPECT_FALSE(exists("g"));

    const Outcome missing = run("tarvo-vcam -- tarvo data write 5 7 no-such-file");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(count_matches(missing.err, "^tarvo: cannot read no-such-file$"), 1u);

    write("empty", 0, 0);
    const Outcome empty = run("tarvo-vcam -- tarvo data write 5 7 empty");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(count_matches(empty.err, "^tarvo: empty is empty$"), 1u);
}

TEST_F(ToolsTest, FlashStartsWithTheImagesOfTheFlashDir) {
    std::filesystem::create_directory(dir_.path() / "flash");
    write("flash/type6.bin", 1234, 5);
    write("flash/notes.txt", 10, 0);
    const Outcome r = run("tarvo-vcam --flash-dir flash -- tarvo data read 6 g");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file("g"), file("flash/type6.bin"));

    const Outcome env = run("TARVO_VCAM_FLASH_DIR=flash tarvo-vcam -- tarvo data read 6 h");
    EXPECT_EQ(env.status, 0) << env.err;
    EXPECT_EQ(file("h"), file("flash/type6.bin"));
}

// The files the tool writes: a link planted where a temporary file used to go is not followed,
// and a FIFO named as the output is written into, not replaced by a regular file.
TEST_F(ToolsTest, OutputsFollowNoPlantedLinkAndKeepAFifo) {
    const struct {
        const char *command;
        const char *output;
    } cases[] = {
        {"tarvo depth -n 1 --format u16 -o", "d.zrd"},
        {"tarvo gray -n 1 -o", "g.zrd"},
        {"tarvo pointcloud -o", "p.ply"},
        {"tarvo capture -n 2 -o", "c.raw"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        const std::string out = c.output;
        write("victim", 10, 1);
        std::filesystem::create_symlink("victim", dir_.path() / (out + ".part"));
        const Outcome r =
            run(std::string("tarvo-vcam --no-calibration -- ") + c.command + " " + out);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(file("victim").size(), 10u);
        EXPECT_TRUE(std::filesystem::is_regular_file(dir_.path() / out));
        EXPECT_FALSE(file(out).empty());

        // The shell holds the FIFO open (fd 3) so that it has a reader whatever the order of
        // events; cat drains it and ends once both writers closed it.
        const std::string fifo = "fifo-" + out;
        const Outcome piped = run("{ mkfifo " + fifo + " && exec 3<>" + fifo + " && { cat " + fifo +
                                  " >got 3>&- & } && tarvo-vcam --no-calibration -- " + c.command +
                                  " " + fifo + "; s=$?; exec 3>&-; wait; exit $s; }");
        EXPECT_EQ(piped.status, 0) << piped.err;
        struct stat st;
        ASSERT_EQ(lstat((dir_.path() / fifo).c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
    }
}

// tarvo-vcam --control: another process unplugs, replugs and injects faults while a program
// runs; the client (--send) prints each reply and says in its status whether all were "ok".
TEST_F(ToolsTest, ControlSocketUnplugsAndInjectsFaults) {
    const Outcome r = run(
        "tarvo-vcam --no-calibration --control ./vcam.sock -- sh -c '"
        "tarvo-vcam --control ./vcam.sock --send \"fault 0 fail 0xC0 4 1\" && "
        "! tarvo param get 12 && tarvo param get 12 && "
        "tarvo-vcam --control ./vcam.sock --send \"param 0 12 3c000000\" --send \"unplug 0\" && "
        "tarvo list && tarvo-vcam --control ./vcam.sock --send \"replug 0\" && tarvo list && "
        "tarvo param get 12 && tarvo-vcam --control ./vcam.sock --send \"status 0\" "
        "--send bogus --send \"unplug 3\" --send \"fault 0 busy 1\" "
        "--send \"calibration 0 ./missing\" --send \"calibration 0 none\"; echo client=$?'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_matches(r.out, "^12: 1e 00 00 00$"), 1u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^12: 3c 00 00 00$"), 1u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^0 camera\\(s\\)$"), 1u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^1 camera\\(s\\)$"), 1u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^ok plugged address 3 transfers 0$"), 1u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^error: unknown command 'bogus'"), 1u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^error: no camera 3$"), 1u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^error: unusable fault"), 1u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^error: cannot read ./missing$"), 1u) << r.out;
    // fault, parameter, unplug, replug, calibration removed
    EXPECT_EQ(count_matches(r.out, "^ok$"), 5u) << r.out;
    EXPECT_EQ(count_matches(r.out, "^client=1$"), 1u) << r.out;
    EXPECT_FALSE(exists("vcam.sock"));  // removed when tarvo-vcam ends

    const Outcome unreachable = run("tarvo-vcam --control ./none.sock --send status");
    EXPECT_EQ(unreachable.status, 2);
    EXPECT_EQ(count_matches(unreachable.err, "^tarvo-vcam: cannot reach ./none.sock"), 1u);
    write("plain", 3, 0);
    const Outcome taken = run("tarvo-vcam --control ./plain -- true");
    EXPECT_EQ(taken.status, 2);
    EXPECT_EQ(file("plain").size(), 3u);
}

}  // namespace
