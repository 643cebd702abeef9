// tarvo pointcloud as a user runs it, against a virtual camera that sees a wall 1 m away: the
// PLY it writes is read back here byte by byte.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/temp_dir.h"

namespace {

using tarvo::test::read_file;
using tarvo::test::TempDir;

struct Ply {
    std::string header;
    uint32_t vertices = 0;
    std::string body;
};

Ply parse_ply(const std::string &bytes) {
    Ply ply;
    const size_t end = bytes.find("end_header\n");
    if (end == std::string::npos)
        return ply;
    ply.header = bytes.substr(0, end + 11);
    const size_t at = ply.header.find("element vertex ");
    if (at != std::string::npos)
        ply.vertices =
            static_cast<uint32_t>(std::strtoul(ply.header.c_str() + at + 15, nullptr, 10));
    ply.body = bytes.substr(end + 11);
    return ply;
}

float float_le(const std::string &body, size_t at) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= uint32_t{static_cast<uint8_t>(body[at + i])} << (8 * i);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

class PointCloudCli : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *cli = std::getenv("TARVO_CLI");
        const char *vcam = std::getenv("TARVO_VCAM");
        ASSERT_TRUE(cli != nullptr && vcam != nullptr)
            << "TARVO_CLI and TARVO_VCAM name the programs";
        cli_ = cli;
        vcam_ = vcam;
        dir_.enter();
    }
    int run(const std::string &args) const {
        const std::string line = "'" + vcam_ + "' --scene wall:1.0 -- '" + cli_ + "' " + args +
                                 " </dev/null >out.txt 2>err.txt";
        const int raw = std::system(line.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    std::string file(const char *name) const { return read_file(dir_.path() / name); }

    std::string cli_, vcam_;
    TempDir dir_;
};

TEST_F(PointCloudCli, WallComesOutFlat) {
    for (const bool undistort : {false, true}) {
        const char *name = undistort ? "u.ply" : "raw.ply";
        ASSERT_EQ(run(std::string("pointcloud -o ") + name + (undistort ? " --undistort" : "")), 0)
            << file("err.txt");
        const Ply ply = parse_ply(file(name));
        EXPECT_EQ(
            ply.header,
            "ply\nformat binary_little_endian 1.0\ncomment written by tarvo\nelement vertex " +
                std::to_string(ply.vertices) +
                "\nproperty float x\nproperty float y\nproperty float z\n"
                "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n");
        ASSERT_EQ(ply.body.size(), size_t{ply.vertices} * 15);
        if (undistort)
            EXPECT_GT(ply.vertices, 320u * 240 * 85 / 100);
        else
            EXPECT_EQ(ply.vertices, 320u * 240);
        for (uint32_t i = 0; i < ply.vertices; ++i)
            ASSERT_NEAR(float_le(ply.body, 15 * size_t{i} + 8), 1.0, 0.01) << name << " " << i;
        EXPECT_NE(file("out.txt").find(" points of 320x240 pixels"), std::string::npos);
    }
}

TEST_F(PointCloudCli, OutputIsRequired) {
    EXPECT_EQ(run("pointcloud"), 2);
    EXPECT_NE(file("err.txt").find("--output"), std::string::npos);
}

}  // namespace
