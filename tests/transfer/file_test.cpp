// The chunk checksum and the image file check, which need no camera.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "transfer_files.h"

namespace {

using namespace tarvo::test;

TEST(CrcTest, MatchesHandComputedValues) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint16_t crc;
    };
    const Case cases[] = {
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x31C3},
        {{'a', 'b', 'c'}, 0x9DD6},
        {{'A'}, 0x58E5},
        {{0xFF}, 0x1EF0},
        {{0x00}, 0x0000},
    };
    for (const Case &c : cases) {
        // An exact-size copy on the heap, so reading one byte too many shows.
        auto buf = std::make_unique<uint8_t[]>(c.bytes.size());
        std::copy(c.bytes.begin(), c.bytes.end(), buf.get());
        EXPECT_EQ(al_data_calc_crc(buf.get(), static_cast<uint16_t>(c.bytes.size())), c.crc)
            << c.bytes.size() << " bytes";
    }
    const uint8_t any = 0x42;
    EXPECT_EQ(al_data_calc_crc(&any, 0), 0);
    EXPECT_EQ(al_data_calc_crc(nullptr, 5), 0);
}

class FileBufferTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_.enter(); }
    LogCapture log_;
    TempDir dir_;
};

TEST_F(FileBufferTest, AReadableImageReportsItsSize) {
    std::vector<uint8_t> bytes(1500, 0x11);
    bytes[0] = 0xAB;
    write_file("image.bin", bytes);
    int size = -5;
    EXPECT_EQ(al_data_build_file_buffer("image.bin", &size), 1);
    EXPECT_EQ(size, 1500);
    EXPECT_TRUE(
        log_.contains("[al_data_build_file_buffer] Loading data image file:image.bin", "INF"));
    EXPECT_TRUE(log_.contains("[al_data_build_file_buffer] File size:1500", "INF"));
    EXPECT_TRUE(log_.contains("[al_data_build_file_buffer] File read ok,1500,ab", "INF"));
    EXPECT_TRUE(log_.contains("[al_data_build_file_buffer] Data image file loaded.", "INF"));
    EXPECT_TRUE(log_.unexpected("ERR").empty());
}

TEST_F(FileBufferTest, UnusableImagesFailWithSizeZero) {
    // A size the caller left in the argument must not turn an empty file into a success.
    for (const UnusableImage &c :
         {kMissingImage, kEmptyImage, kDirectoryImage, kFifoImage, kTooLargeImage}) {
        SCOPED_TRACE(c.what);
        c.recreate();
        log_.clear();
        int size = 1234;
        EXPECT_EQ(al_data_build_file_buffer("image.bin", &size), -1);
        EXPECT_EQ(size, 0);
        EXPECT_TRUE(log_.contains(std::string("[al_data_build_file_buffer] ") + c.error, "ERR"));
        EXPECT_FALSE(log_.contains("Data image file loaded."));
    }
    int size = 0;
    EXPECT_EQ(al_data_build_file_buffer(nullptr, &size), -1);
    EXPECT_EQ(al_data_build_file_buffer("image.bin", nullptr), -1);
}

}  // namespace
