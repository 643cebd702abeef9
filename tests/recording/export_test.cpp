// tarvo export on recordings that tarvo record made of a flat wall at 1.0 m under the virtual
// camera: every frame into a frame file, PNGs and point clouds into a folder, raw frames decoded
// by the library, and a clear error with nothing left behind for damaged recordings.
#include <gtest/gtest.h>
#include <png.h>
#include <tarvo/tarvo.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include "recorded_frames.h"
#include "run_tools.h"
#include "test_recording.h"

namespace {

namespace fs = std::filesystem;

using tarvo::test::env;
using tarvo::test::quoted;
using tarvo::test::run;
using tarvo::test::text;

struct Image {
    int width = 0, height = 0;
    std::vector<float> values;
    float centre() const { return values[size_t(height / 2) * width + width / 2]; }
};

std::vector<Image> frame_file(const fs::path &path) {
    std::vector<Image> frames;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return frames;
    Image img;
    img.values.resize(1 << 20);
    while (tarvo_frame_load_distance(fd, img.values.data(), static_cast<int>(img.values.size()),
                                     &img.width, &img.height) > 0) {
        Image f = img;
        f.values.resize(size_t(f.width) * f.height);
        frames.push_back(std::move(f));
    }
    ::close(fd);
    return frames;
}

// A 16-bit gray PNG's samples.
Image png16(const fs::path &path) {
    Image img;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return img;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_read_png(png, info, PNG_TRANSFORM_SWAP_ENDIAN, nullptr);
        if (png_get_bit_depth(png, info) == 16 &&
            png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY) {
            img.width = static_cast<int>(png_get_image_width(png, info));
            img.height = static_cast<int>(png_get_image_height(png, info));
            png_bytepp rows = png_get_rows(png, info);
            for (int y = 0; y < img.height; ++y) {
                const auto *row = reinterpret_cast<const uint16_t *>(rows[y]);
                img.values.insert(img.values.end(), row, row + img.width);
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return img;
}

// The z of every vertex of a PLY file of tarvo's (x y z float, red green blue bytes).
std::vector<float> ply_depths(const fs::path &path) {
    const std::string bytes = text(path);
    const size_t end = bytes.find("end_header\n");
    const size_t count_at = bytes.find("element vertex ");
    std::vector<float> z;
    if (end == std::string::npos || count_at == std::string::npos)
        return z;
    const size_t count = std::stoul(bytes.substr(count_at + 15));
    const size_t body = end + 11;
    if (bytes.size() != body + count * 15)
        return z;
    for (size_t i = 0; i < count; ++i) {
        float v;
        std::memcpy(&v, &bytes[body + i * 15 + 8], 4);
        z.push_back(v);
    }
    return z;
}

// The value below which `share` of the values lie.
float quantile(std::vector<float> v, double share) {
    const auto at = v.begin() + static_cast<std::ptrdiff_t>(share * (v.size() - 1));
    std::nth_element(v.begin(), at, v.end());
    return *at;
}

float median(std::vector<float> v) {
    return quantile(std::move(v), 0.5);
}

std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Export : public ::testing::Test {
  protected:
    // Recordings of a wall at 1.0 m: depth (5 frames), depth and points (3), raw only (2).
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("tarvo-export-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
        setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
        fs::create_directories(dir_ / "tmp");
        setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
        tool_ = quoted(env("TARVO_TOOL"));
        const std::string record = tool_ + " record -n ";
        recorded_ =
            run(dir_, quoted(env("TARVO_VCAM")) + " --scene wall:1.0 -- sh -c \"" + record +
                          "5 --depth -o a.mcap && " + record + "3 --depth --points -o p.mcap && " +
                          record + "2 -o raw.mcap\" >record.txt 2>&1") == 0;
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }
    void SetUp() override { ASSERT_TRUE(recorded_) << text(dir_ / "record.txt"); }

    static int tarvo(const std::string &args) {
        return run(dir_, tool_ + " " + args + " >out.txt 2>err.txt");
    }
    static std::string err() { return text(dir_ / "err.txt"); }

    static inline fs::path dir_;
    static inline std::string tool_;
    static inline bool recorded_ = false;
};

TEST_F(Export, FrameFileHoldsEveryDepthFrame) {
    for (const char *format : {"f32", "u16"}) {
        SCOPED_TRACE(format);
        const std::string out = std::string("a_") + format + ".zrd";
        ASSERT_EQ(tarvo("export a.mcap -o " + out + " --format " + format), 0) << err();
        EXPECT_NE(text(dir_ / "out.txt").find("5 depth frame(s)"), std::string::npos);
        const std::vector<Image> frames = frame_file(dir_ / out);
        ASSERT_EQ(frames.size(), 5u);
        for (const Image &f : frames)
            EXPECT_NEAR(f.centre(), 1.0f, 0.02f);
    }
}

// Points along the library's pixel rays from raw frames; with --recorded-depth, along the rays
// of the recorded camera info (a.mcap) or the recorded clouds (p.mcap). Every way the wall is
// flat out to the corners (the lens distortion is followed).
TEST_F(Export, FolderReceivesPngsAndPointClouds) {
    for (const char *recording : {"a", "p"}) {
        for (const char *source : {"", " --recorded-depth"}) {
            SCOPED_TRACE(std::string(recording) + source);
            const std::string out = std::string("out_") + recording + (*source ? "_recorded" : "");
            ASSERT_EQ(tarvo(std::string("export ") + recording +
                            ".mcap --points --first 1 --count 2 -o " + out + source),
                      0)
                << err();
            EXPECT_EQ(names_in(dir_ / out),
                      (std::vector<std::string>{"depth_000001.png", "depth_000002.png",
                                                "points_000001.ply", "points_000002.ply"}));
            const Image png = png16(dir_ / out / "depth_000002.png");
            ASSERT_GT(png.width, 0);
            EXPECT_NEAR(png.centre(), 1000.0f, 20.0f);
            const std::vector<float> z = ply_depths(dir_ / out / "points_000001.ply");
            ASSERT_GT(z.size(), size_t(png.width) * png.height / 2);
            EXPECT_NEAR(median(z), 1.0f, 0.05f);
            EXPECT_NEAR(quantile(z, 0.01), 1.0f, 0.03f);
            EXPECT_NEAR(quantile(z, 0.99), 1.0f, 0.03f);
        }
    }
}

// Whatever else they hold, the recordings keep every raw frame with the temperatures of its
// stream header (the virtual camera's 40.0 and 38.4 degrees), and the sensor's register file
// and parameter values as the camera held them (its trimming bytes and IC version untouched).
TEST_F(Export, RecordingsKeepRawFramesTemperaturesAndRegisters) {
    const std::vector<uint32_t> trimming = {0x7F, 0x80, 0x81, 0x7E, 0x80, 0x80, 0x7E, 0x81};
    for (const char *name : {"a.mcap", "p.mcap", "raw.mcap"}) {
        SCOPED_TRACE(name);
        tarvo::recording::RecordedFrames frames;
        std::string error;
        ASSERT_TRUE(frames.open((dir_ / name).string(), error, tarvo::recording::FrameKind::kAny))
            << error;
        ASSERT_GT(frames.size(), 0u);
        for (size_t i = 0; i < frames.size(); ++i) {
            tarvo::recording::RecordedFrame f;
            ASSERT_TRUE(frames.read(i, false, f, error)) << error;
            EXPECT_TRUE(f.has_temperatures);
            EXPECT_EQ(f.sensor_temperature, 400);
            EXPECT_EQ(f.illumination_temperature, 384);
            ASSERT_EQ(f.raw_info.size(), 20u);
            EXPECT_EQ(f.raw_frame.size(), 320u * 240u * 8u);
        }
        std::vector<uint32_t> registers;
        ASSERT_TRUE(frames.sensor_registers(registers, error)) << error;
        ASSERT_EQ(registers.size(), 256u);
        EXPECT_EQ(std::vector<uint32_t>(registers.begin() + 0xE8, registers.begin() + 0xF0),
                  trimming);
        EXPECT_EQ(registers[0x01], 3u);
        std::map<uint8_t, std::vector<uint8_t>> parameters;
        ASSERT_TRUE(frames.parameters(parameters, error)) << error;
        EXPECT_TRUE(parameters.contains(7) && parameters.contains(12));
    }
}

// Raw frames are decoded by the library with the recording's calibration: a recording of raw
// frames alone exports, decoding gives the very depth that was recorded beside the raw frames,
// and the calibration files it unpacked for that are gone afterwards.
TEST_F(Export, RawFramesDecodeAsTheRecordedDepth) {
    ASSERT_EQ(tarvo("export raw.mcap -o out_raw"), 0) << err();
    EXPECT_NE(text(dir_ / "out.txt").find("decoded from raw frames"), std::string::npos);
    EXPECT_EQ(names_in(dir_ / "out_raw"),
              (std::vector<std::string>{"depth_000000.png", "depth_000001.png"}));
    EXPECT_NEAR(png16(dir_ / "out_raw" / "depth_000001.png").centre(), 1000.0f, 20.0f);

    ASSERT_EQ(tarvo("export a.mcap -o decoded.zrd"), 0) << err();
    ASSERT_EQ(tarvo("export a.mcap --recorded-depth -o recorded.zrd"), 0) << err();
    EXPECT_NE(text(dir_ / "out.txt").find("read from the recorded depth"), std::string::npos);
    const std::vector<Image> decoded = frame_file(dir_ / "decoded.zrd");
    const std::vector<Image> recorded = frame_file(dir_ / "recorded.zrd");
    ASSERT_EQ(decoded.size(), 5u);
    ASSERT_EQ(recorded.size(), 5u);
    // The same images, bit for bit: the recording carries what the live decode used.
    for (size_t i = 0; i < decoded.size(); ++i) {
        ASSERT_EQ(decoded[i].values.size(), recorded[i].values.size());
        for (size_t p = 0; p < decoded[i].values.size(); ++p)
            ASSERT_EQ(decoded[i].values[p], recorded[i].values[p])
                << "frame " << i << " pixel " << p;
    }
    EXPECT_TRUE(names_in(dir_ / "tmp").empty());
}

TEST_F(Export, DecodeSettingsTakeEffect) {
    // No pixel of the wall is that bright: with this minimum amplitude none is valid.
    ASSERT_EQ(tarvo("export raw.mcap --count 1 --min-amplitude 65535 -o dim"), 0) << err();
    const Image png = png16(dir_ / "dim" / "depth_000000.png");
    ASSERT_GT(png.width, 0);
    EXPECT_EQ(*std::max_element(png.values.begin(), png.values.end()), 0.0f);
    // The recorded depth was decoded already.
    EXPECT_EQ(tarvo("export a.mcap --recorded-depth --undistort -o x"), 2);
    EXPECT_FALSE(fs::exists(dir_ / "x"));
}

TEST_F(Export, DamagedRecordingsFailWithNothingLeft) {
    fs::copy_file(dir_ / "a.mcap", dir_ / "cut.mcap", fs::copy_options::overwrite_existing);
    fs::resize_file(dir_ / "cut.mcap", 100);
    ASSERT_EQ(run(dir_, "/usr/bin/python3 " + quoted(env("MCAP_TEST_WRITER")) + " hostile ."), 0);
    for (const char *name :
         {"cut", "not_mcap", "empty", "bad_crc", "huge_chunk", "orphan_message", "missing"}) {
        for (const char *out : {"bad_out", "bad.zrd"}) {
            SCOPED_TRACE(std::string(name) + " -> " + out);
            const std::string file = std::string(name) + ".mcap";
            EXPECT_EQ(tarvo("export " + file + " -o " + out), 1);
            const std::string e = err();
            EXPECT_EQ(e.rfind("tarvo: " + file + ": ", 0), 0u) << e;
            EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
            EXPECT_FALSE(fs::exists(dir_ / out));
        }
    }
    // No temporary files either.
    for (const std::string &name : names_in(dir_))
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

// A frame damaged after good ones: the export fails at it and removes the files it wrote (and
// the folder it made), whatever the output.
TEST_F(Export, FailureHalfWayLeavesNothing) {
    using namespace tarvo::test;
    TestRecording r(dir_ / "half.mcap");
    const uint16_t depth = r.channel("/tarvo/depth/image_raw");
    const uint16_t info = r.channel("/tarvo/depth/camera_info");
    r.add(info, 1, cdr(camera_info(2, 1, 1.0, 0.5, 0.0)));
    for (uint64_t t = 1; t <= 3; ++t) {
        auto image = depth_image(2, 1, {1.0f, 1.0f});
        image.encoding = t == 3 ? "16UC1" : "32FC1";
        r.add(depth, t, cdr(image));
    }
    r.close();
    fs::create_directories(dir_ / "kept");
    for (const char *out : {"half_out", "kept", "half.zrd"}) {
        SCOPED_TRACE(out);
        EXPECT_EQ(tarvo(std::string("export half.mcap -o ") + out +
                        (fs::path(out).extension() == ".zrd" ? "" : " --points")),
                  1);
        EXPECT_EQ(err().rfind("tarvo: half.mcap: frame 2: ", 0), 0u) << err();
    }
    EXPECT_FALSE(fs::exists(dir_ / "half_out"));
    EXPECT_TRUE(fs::is_empty(dir_ / "kept"));
    EXPECT_FALSE(fs::exists(dir_ / "half.zrd"));
}

// A terminal whose output is held (as after Ctrl-S): a program writing its progress line to it
// waits there until the output is let go.
class HeldTerminal {
  public:
    HeldTerminal() {
        ok_ = ::openpty(&master_, &slave_, nullptr, nullptr, nullptr) == 0 &&
              ::tcflow(slave_, TCOOFF) == 0;
    }
    ~HeldTerminal() {
        ::close(master_);
        ::close(slave_);
    }
    bool ok() const { return ok_; }
    int terminal() const { return slave_; }
    void let_go() { ::tcflow(slave_, TCOON); }
    // What was written to it.
    std::string written() const {
        std::string all;
        ::fcntl(master_, F_SETFL, O_NONBLOCK);
        char buf[4096];
        for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;)
            all.append(buf, size_t(n));
        return all;
    }

  private:
    int master_ = -1, slave_ = -1;
    bool ok_ = false;
};

// Runs `tool args...` in `dir`, standard error on `terminal`, standard output into `out`.
pid_t start_tool(const fs::path &dir, const std::vector<std::string> &args, int terminal,
                 const fs::path &out) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::chdir(dir.c_str()) != 0 || ::dup2(fd, STDOUT_FILENO) < 0 ||
            ::dup2(terminal, STDERR_FILENO) < 0)
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Exit status of `pid` once it ended, 256 + N when a signal N ended it (so that an exit with 130
// and death by SIGINT differ); -1 while it runs.
int status_of(pid_t pid, bool wait) {
    int raw = 0;
    if (::waitpid(pid, &raw, wait ? 0 : WNOHANG) != pid)
        return -1;
    return WIFSIGNALED(raw) ? 256 + WTERMSIG(raw) : WEXITSTATUS(raw);
}

std::vector<std::string> names_outside(const fs::path &dir,
                                       const std::vector<std::string> &before) {
    std::vector<std::string> added;
    for (const std::string &name : names_in(dir)) {
        if (!std::binary_search(before.begin(), before.end(), name))
            added.push_back(name);
    }
    return added;
}

// Ctrl-C in the middle of an export, for each form of output: the progress line on a held
// terminal keeps the export at its first frame, so that the interrupt, sent once the export's
// first file appeared, is what ends it. Nothing is left: no output, no temporary file, no
// calibration folder, no summary.
TEST_F(Export, CtrlCLeavesNothing) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        const char *first_file;  // appears once the export is under way ("" : any new file)
    };
    fs::create_directories(dir_ / "kept_int");
    const std::vector<Case> cases = {
        {"frame file", {"-o", "int.zrd"}, ""},
        {"frame file, json", {"-o", "int_json.zrd", "--json"}, ""},
        {"png folder", {"-o", "int_png"}, "int_png"},
        {"ply folder", {"-o", "int_ply", "--points"}, "int_ply"},
        {"existing folder", {"-o", "kept_int", "--points", "--json"}, "kept_int/depth_000000.png"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HeldTerminal terminal;
        ASSERT_TRUE(terminal.ok());
        const std::vector<std::string> before = names_in(dir_);
        std::vector<std::string> args = {env("TARVO_TOOL"), "export", "a.mcap"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const pid_t pid = start_tool(dir_, args, terminal.terminal(), dir_ / "int_out.txt");
        ASSERT_GT(pid, 0);
        const auto started = [&] {
            return *c.first_file ? fs::exists(dir_ / c.first_file)
                                 : names_outside(dir_, before).size() > 1;  // int_out.txt too
        };
        int early = -1;
        while (!started() && (early = status_of(pid, false)) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_LT(early, 0) << "the export ended before the interrupt: " << terminal.written();
        ASSERT_EQ(::kill(pid, SIGINT), 0);
        terminal.let_go();
        EXPECT_EQ(status_of(pid, true), 130);
        EXPECT_NE(terminal.written().find("tarvo: export interrupted; nothing written"),
                  std::string::npos);
        EXPECT_EQ(text(dir_ / "int_out.txt"), "");
        fs::remove(dir_ / "int_out.txt");
        EXPECT_EQ(names_outside(dir_, before), std::vector<std::string>{});
        EXPECT_TRUE(fs::is_empty(dir_ / "kept_int"));
        EXPECT_TRUE(names_in(dir_ / "tmp").empty()) << "the calibration folder is removed";
    }
}

TEST_F(Export, OutputIsCheckedBeforeTheRecordingIsRead) {
    EXPECT_EQ(tarvo("export a.mcap -o no/such/folder/out"), 1);
    EXPECT_NE(err().find("no/such/folder"), std::string::npos) << err();
    EXPECT_EQ(tarvo("export missing.mcap -o no/such/x.zrd"), 1);
    EXPECT_NE(err().find("no/such"), std::string::npos) << err();
    EXPECT_EQ(tarvo("export a.mcap --points -o points.zrd"), 2);
    EXPECT_EQ(tarvo("export a.mcap --first 9 -o past.zrd"), 1);
    EXPECT_NE(err().find("holds 5 frame(s)"), std::string::npos) << err();
    EXPECT_FALSE(fs::exists(dir_ / "past.zrd"));
}

}  // namespace
