// Frame files through the public interface, on in-memory files: exact headers and bytes, the
// conversions both ways, appending and successive loads, and hostile headers.
#include <tarvo/frame_file.h>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

using tarvo::test::LogCapture;

// An anonymous in-memory file, positioned at 0.
class MemFile {
  public:
    MemFile() : fd_(memfd_create("frame", 0)) {}
    explicit MemFile(const std::string &bytes) : MemFile() {
        EXPECT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        rewind();
    }
    ~MemFile() { ::close(fd_); }
    MemFile(const MemFile &) = delete;
    MemFile &operator=(const MemFile &) = delete;

    int fd() const { return fd_; }
    void rewind() const { ::lseek(fd_, 0, SEEK_SET); }
    std::string bytes() const {
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        std::string out(static_cast<size_t>(::lseek(fd_, 0, SEEK_END)), '\0');
        ::pread(fd_, out.data(), out.size(), 0);
        ::lseek(fd_, at, SEEK_SET);
        return out;
    }

  private:
    int fd_;
};

std::string le16(uint16_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

class FrameFile : public ::testing::Test {
  protected:
    LogCapture log_;
};

TEST_F(FrameFile, DistanceU16AppendsFramesAfterOneHeader) {
    MemFile f;
    const std::vector<float> two(16, 1.0f);
    ASSERT_EQ(tarvo_frame_save_distance(f.fd(), 2, two.data(), 16, 4, 2), 1);
    ASSERT_EQ(f.bytes().size(), 16u + 32u);
    EXPECT_EQ(f.bytes().substr(0, 16), "ZR_DIST,U16,4,2\n");
    EXPECT_EQ(f.bytes().substr(16, 2), le16(1000));
    // A second call appends 16 bytes per frame and no header; values beyond the last whole
    // frame are dropped.
    const std::vector<float> ten(10, 2.0f);
    ASSERT_EQ(tarvo_frame_save_distance(f.fd(), 2, ten.data(), 10, 4, 2), 1);
    EXPECT_EQ(f.bytes().size(), 16u + 32u + 16u);
    EXPECT_TRUE(log_.unexpected("ERR").empty());
}

TEST_F(FrameFile, ExactHeadersOfEveryFormat) {
    struct Case {
        bool distance;
        int format;
        std::string header;
        size_t sample;
    };
    const Case cases[] = {{true, 0, "ZR_DIST,F32,3,2\n", 4},
                          {true, 1, "ZR_DIST,U32,3,2\n", 4},
                          {true, 2, "ZR_DIST,U16,3,2\n", 2},
                          {false, 2, "ZR_GRAY,U16,3,2\n", 2},
                          {false, 3, "ZR_GRAY,U8,3,2\n", 1}};
    const std::vector<float> v(6, 5.0f);
    for (const Case &c : cases) {
        MemFile f;
        const int r = c.distance ? tarvo_frame_save_distance(f.fd(), c.format, v.data(), 6, 3, 2)
                                 : tarvo_frame_save_gray(f.fd(), c.format, v.data(), 6, 3, 2);
        ASSERT_EQ(r, 1) << c.header;
        EXPECT_EQ(f.bytes().size(), c.header.size() + 6 * c.sample) << c.header;
        EXPECT_EQ(f.bytes().substr(0, c.header.size()), c.header);
    }
}

TEST_F(FrameFile, ConversionsBothWays) {
    struct Case {
        const char *name;
        bool distance;
        int format;
        float saved;
        float loaded;
    };
    const Case cases[] = {
        {"F32 as stored", true, 0, 1.2345f, 1.2345f},
        {"U32 millimetres", true, 1, 1.2345f, 1.234f},
        {"U16 millimetres", true, 2, 1.2345f, 1.234f},
        {"U16 wraps at 65.536 m", true, 2, 70.0f, 4.464f},
        {"U32 code", true, 1, 65.5f, 65.5f},
        {"gray U16", false, 2, 1234.9f, 1234.0f},
        {"gray U8 cut to 8 bits", false, 3, 300.0f, 44.0f},
        {"gray U16 negative", false, 2, -1.0f, 65535.0f},
    };
    for (const Case &c : cases) {
        MemFile f;
        const float in[2] = {c.saved, c.saved};
        ASSERT_EQ(c.distance ? tarvo_frame_save_distance(f.fd(), c.format, in, 2, 2, 1)
                             : tarvo_frame_save_gray(f.fd(), c.format, in, 2, 2, 1),
                  1)
            << c.name;
        f.rewind();
        float out[2] = {};
        int w = 0, h = 0;
        ASSERT_EQ(c.distance ? tarvo_frame_load_distance(f.fd(), out, 2, &w, &h)
                             : tarvo_frame_load_gray(f.fd(), out, 2, &w, &h),
                  2)
            << c.name;
        EXPECT_FLOAT_EQ(out[0], c.loaded) << c.name;
        EXPECT_EQ(w, 2) << c.name;
        EXPECT_EQ(h, 1) << c.name;
    }
    // NaN has no integer: stored as 0 rather than undefined.
    MemFile f;
    const float nan[1] = {std::numeric_limits<float>::quiet_NaN()};
    ASSERT_EQ(tarvo_frame_save_distance(f.fd(), 1, nan, 1, 1, 1), 1);
    EXPECT_EQ(f.bytes().substr(16), std::string(4, '\0'));
}

TEST_F(FrameFile, SuccessiveLoadsReadSuccessiveFrames) {
    MemFile f("ZR_GRAY,U8,4,2\n" + std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8) +
              std::string("\x11\x12\x13\x14\x15\x16\x17\x18", 8));
    float out[8] = {};
    // Five values kept, all eight consumed.
    ASSERT_EQ(tarvo_frame_load_gray(f.fd(), out, 5, nullptr, nullptr), 5);
    EXPECT_EQ(out[4], 5.0f);
    EXPECT_EQ(out[5], 0.0f);
    ASSERT_EQ(tarvo_frame_load_gray(f.fd(), out, 8, nullptr, nullptr), 8);
    EXPECT_EQ(out[0], 17.0f);
    EXPECT_EQ(out[7], 24.0f);
    // The end of the file: a short read.
    EXPECT_EQ(tarvo_frame_load_gray(f.fd(), out, 8, nullptr, nullptr), 0);
    EXPECT_TRUE(log_.contains("read 8 date failed: ret= 0", "ERR"));
}

TEST_F(FrameFile, LongHeaderLineIsCutAt256Bytes) {
    std::string header = "ZR_GRAY,U8,2,1" + std::string(242, ' ');
    ASSERT_EQ(header.size(), 256u);
    MemFile f(header + "\x07\x09");
    float out[2] = {};
    ASSERT_EQ(tarvo_frame_load_gray(f.fd(), out, 2, nullptr, nullptr), 2);
    EXPECT_EQ(out[0], 7.0f);
    EXPECT_EQ(out[1], 9.0f);
}

TEST_F(FrameFile, LoadWithoutAHeaderReadIsSilent) {
    {
        // A failed header forgets what an earlier file taught the loader.
        MemFile bad("ZR_DIST,I8,2,2\n....");
        float out[4];
        EXPECT_EQ(tarvo_frame_load_distance(bad.fd(), out, 4, nullptr, nullptr), 0);
        EXPECT_EQ(log_.count("faile to load ZR file header", "ERR"), 1u);
    }
    log_.clear();
    MemFile f(std::string(64, '\0'));
    ::lseek(f.fd(), 8, SEEK_SET);
    float out[4];
    EXPECT_EQ(tarvo_frame_load_distance(f.fd(), out, 4, nullptr, nullptr), 0);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(FrameFile, HostileHeadersAreRefusedBeforeAnyRead) {
    const char *headers[] = {
        "ZR_DIST,F32,0,240\n",
        "ZR_DIST,F32,320,0\n",
        "ZR_DIST,U16,-320,240\n",
        "ZR_DIST,U16,320,-240\n",
        "ZR_DIST,U32,65536,1\n",
        "ZR_DIST,F32,65535,65535\n",
        "ZR_DIST,F32,99999999999,2\n",
        "ZR_DIST,F32,2147483647,2147483647\n",
        "ZR_DIST,F32,4\n",
        "ZR_DIST,F32,,4\n",
        "ZR_DIST;F32,4,4\n",
        "",
        "ZR_GRAY,U8,4,4\n",
    };
    for (const char *h : headers) {
        log_.clear();
        MemFile f(std::string(h) + std::string(64, '\x01'));
        float out[16];
        int w = -7, hgt = -7;
        EXPECT_EQ(tarvo_frame_load_distance(f.fd(), out, 16, &w, &hgt), 0) << h;
        EXPECT_EQ(w, -7) << h;
        EXPECT_EQ(log_.count("faile to load ZR file header", "ERR"), 1u) << h;
        // Nothing remembered: the next frame is not read with a broken size.
        EXPECT_EQ(tarvo_frame_load_distance(f.fd(), out, 16, &w, &hgt), 0) << h;
    }
}

TEST_F(FrameFile, TruncatedFrameReadsNothingPastItsEnd) {
    MemFile f("ZR_DIST,F32,4,4\n" + std::string(60, '\0'));
    float out[16];
    EXPECT_EQ(tarvo_frame_load_distance(f.fd(), out, 16, nullptr, nullptr), 0);
    EXPECT_TRUE(log_.contains("read 64 date failed: ret= 60", "ERR"));
}

TEST_F(FrameFile, SaveRefusals) {
    MemFile f;
    const float v[4] = {};
    EXPECT_EQ(tarvo_frame_save_distance(f.fd(), 3, v, 4, 2, 2), 0);
    EXPECT_TRUE(log_.contains("wrong distance save format: 3", "ERR"));
    EXPECT_EQ(tarvo_frame_save_gray(f.fd(), 1, v, 4, 2, 2), 0);
    EXPECT_TRUE(log_.contains("wrong gray save format: 1", "ERR"));
    // An image of no pixels has no whole frames to count.
    EXPECT_EQ(tarvo_frame_save_distance(f.fd(), 0, v, 4, 0, 2), 0);
    EXPECT_EQ(tarvo_frame_save_gray(f.fd(), 2, v, 4, 2, -1), 0);
    EXPECT_EQ(f.bytes().size(), 0u);
    // A descriptor that takes no writes.
    EXPECT_EQ(tarvo_frame_save_distance(-1, 0, v, 4, 2, 2), 0);
    EXPECT_TRUE(log_.contains("faile to save ZR_DIST F32 data: 16 bytes", "ERR"));
}

// Part of a frame would shift every later frame of the file: fewer values than width x height
// are refused and nothing is written, neither header nor samples, first frame or later.
TEST_F(FrameFile, ShortFramesAreRefused) {
    using Save = int (*)(int, int, const float *, int, int, int);
    const struct {
        const char *what;
        Save save;
        int format;
        int len;
    } cases[] = {
        {"gray, 3 of 4", tarvo_frame_save_gray, 2, 3},
        {"gray, none", tarvo_frame_save_gray, 3, 0},
        {"distance, 3 of 4", tarvo_frame_save_distance, 2, 3},
        {"distance, none", tarvo_frame_save_distance, 0, 0},
    };
    const float v[4] = {1, 2, 3, 4};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (bool after_a_frame : {false, true}) {
            MemFile f;
            if (after_a_frame) {
                ASSERT_EQ(c.save(f.fd(), c.format, v, 4, 2, 2), 1);
            }
            const std::string before = f.bytes();
            EXPECT_EQ(c.save(f.fd(), c.format, v, c.len, 2, 2), 0);
            EXPECT_EQ(f.bytes(), before);
            EXPECT_TRUE(log_.contains(
                std::to_string(c.len) + " values are fewer than one 2x2 frame, nothing saved",
                "ERR"));
        }
    }
}

}  // namespace
