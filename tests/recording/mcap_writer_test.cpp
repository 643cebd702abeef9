// The MCAP writer at byte level: CRC-32, the file's frame (magic, data end, summary, footer and
// their checksums) and write failures. Whether another reader accepts the files is the Node
// test's part (read_recording.cjs).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crc32.h"
#include "mcap_writer.h"
#include "support/temp_dir.h"

namespace {

using tarvo::recording::crc32_update;
using tarvo::recording::McapWriter;

TEST(Crc32, MatchesTheCheckValues) {
    const struct {
        const char *text;
        uint32_t crc;
    } cases[] = {
        {"", 0},
        {"a", 0xE8B7BE43u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const auto &c : cases)
        EXPECT_EQ(crc32_update(0, c.text, std::strlen(c.text)), c.crc) << c.text;
}

TEST(Crc32, ContinuesAcrossPieces) {
    const std::string text = "The quick brown fox jumps over the lazy dog, twice over.";
    const uint32_t whole = crc32_update(0, text.data(), text.size());
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        const uint32_t first = crc32_update(0, text.data(), cut);
        EXPECT_EQ(crc32_update(first, text.data() + cut, text.size() - cut), whole) << cut;
    }
}

uint64_t le64(const std::vector<uint8_t> &b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b[at + static_cast<size_t>(i)];
    return v;
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
                                 (uint32_t{b[at + 3]} << 24));
}

std::vector<uint8_t> read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(McapWriter, FramesTheFileWithChecksummedSummary) {
    tarvo::test::TempDir dir;
    const std::string path = (dir.path() / "a.mcap").string();
    McapWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(path, {"ros2"}, error)) << error;
    const uint16_t channel = writer.add_channel(
        writer.add_schema("pkg/msg/T", "ros2msg", "int32 a\n"), "/t", "cdr", {{"k", "v"}});
    const std::vector<uint8_t> payload(1000, 7);
    for (uint32_t i = 0; i < 3; ++i)
        writer.add_message(channel, i, 100 + i, 100 + i, payload.data(), payload.size());
    writer.add_attachment("calib.bin", "application/octet-stream", 5, {1, 2, 3});
    writer.add_metadata("tarvo.camera", {{"product", "X"}});
    ASSERT_TRUE(writer.close(error)) << error;
    EXPECT_EQ(writer.stats().messages, 3u);
    EXPECT_EQ(writer.stats().chunks, 1u);

    const std::vector<uint8_t> f = read_all(path);
    const uint8_t magic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
    ASSERT_GT(f.size(), 16 + 29u);
    EXPECT_EQ(std::memcmp(f.data(), magic, 8), 0);
    EXPECT_EQ(std::memcmp(f.data() + f.size() - 8, magic, 8), 0);
    const size_t footer = f.size() - 8 - 29;
    ASSERT_EQ(f[footer], 0x02);
    const uint64_t summary_start = le64(f, footer + 9);
    const uint64_t offsets_start = le64(f, footer + 17);
    ASSERT_LT(summary_start, offsets_start);
    ASSERT_LT(offsets_start, footer);
    EXPECT_EQ(f[summary_start], 0x03);  // the schemas come first
    EXPECT_EQ(f[offsets_start], 0x0E);
    EXPECT_EQ(le32(f, footer + 25),
              crc32_update(0, f.data() + summary_start, footer + 25 - summary_start));
    // Data end: the last record before the summary, with the CRC of all bytes before it.
    const size_t data_end = summary_start - 13;
    ASSERT_EQ(f[data_end], 0x0F);
    EXPECT_EQ(le64(f, data_end + 1), 4u);
    EXPECT_EQ(le32(f, data_end + 9), crc32_update(0, f.data(), data_end));
}

TEST(McapWriter, ReportsFilesItCannotWrite) {
    McapWriter missing;
    std::string error;
    EXPECT_FALSE(missing.open("/nonexistent-folder/a.mcap", {}, error));
    EXPECT_NE(error.find("cannot create /nonexistent-folder/a.mcap"), std::string::npos) << error;

    McapWriter full;
    error.clear();
    EXPECT_FALSE(full.open("/dev/full", {}, error));
    EXPECT_NE(error.find("cannot write /dev/full"), std::string::npos) << error;
    EXPECT_TRUE(full.failed());
    EXPECT_FALSE(full.close(error));
}

}  // namespace
