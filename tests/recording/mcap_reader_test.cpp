// The MCAP reader on a recording cut at every byte: it reads whatever whole records the file
// holds, never fails on a file that only ends early, and sees the footer only in the whole file.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mcap_reader.h"

namespace {

namespace rec = tarvo::recording;

std::vector<uint8_t> seed(const std::string &name) {
    std::ifstream in(std::string(TARVO_MCAP_SEEDS) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(McapReader, ReadsAWholeRecording) {
    const std::vector<uint8_t> file = seed("zstd_chunks.mcap");
    rec::McapContents contents;
    std::string error;
    ASSERT_TRUE(rec::read_mcap(file, contents, error)) << error;
    EXPECT_TRUE(contents.complete);
    EXPECT_EQ(contents.whole_bytes, file.size());
    ASSERT_EQ(contents.messages.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        rec::RawFrameView frame;
        ASSERT_TRUE(rec::parse_raw_frame(contents.messages[i].data,
                                         rec::RawLayout::kWithoutTemperatures, frame, error))
            << error;
        EXPECT_FALSE(frame.has_temperatures);
        EXPECT_EQ(frame.sequence, i);
        EXPECT_EQ(std::vector<uint8_t>(frame.frame.begin(), frame.frame.end()),
                  std::vector<uint8_t>(32, static_cast<uint8_t>(i)));
    }
    ASSERT_NE(contents.metadata_named("tarvo.camera"), nullptr);
    EXPECT_EQ(contents.metadata_named("tarvo.camera")->values.at("ident"), "REC-1");
    ASSERT_NE(contents.attachment_named("calib_and_param_001.bin"), nullptr);
}

TEST(McapReader, FileCutAtEveryByteReadsUpToItsLastWholeRecord) {
    const std::vector<uint8_t> file = seed("zstd_chunks.mcap");
    size_t previous = 0;
    for (size_t size = 8; size <= file.size(); ++size) {
        SCOPED_TRACE(size);
        rec::McapContents contents;
        std::string error;
        ASSERT_TRUE(rec::read_mcap(std::span(file).first(size), contents, error)) << error;
        EXPECT_GE(contents.messages.size(), previous);
        EXPECT_LE(contents.whole_bytes, size);
        EXPECT_EQ(contents.complete, size == file.size());
        previous = contents.messages.size();
    }
    EXPECT_EQ(previous, 3u);
}

TEST(McapReader, RefusesWhatIsNoRecording) {
    const std::vector<uint8_t> file = seed("zstd_chunks.mcap");
    for (size_t size : {0, 1, 7}) {
        rec::McapContents contents;
        std::string error;
        EXPECT_FALSE(rec::read_mcap(std::span(file).first(size), contents, error));
        EXPECT_NE(error.find("not an MCAP file"), std::string::npos);
    }
}

// Either layout: the frame length must match the bytes after the header, and the header must be
// whole; the temperatures are signed and read only where the layout has them.
TEST(McapReader, RawFrameLengthMustMatchItsInformation) {
    for (const rec::RawLayout layout :
         {rec::RawLayout::kWithoutTemperatures, rec::RawLayout::kWithTemperatures}) {
        const size_t header = rec::raw_header_size(layout);
        SCOPED_TRACE(header);
        std::vector<uint8_t> message(header + 4, 0);
        message[0] = 5;  // frame_size 5, but 4 bytes follow
        rec::RawFrameView frame;
        std::string error;
        EXPECT_FALSE(rec::parse_raw_frame(message, layout, frame, error));
        EXPECT_NE(error.find("4 frame bytes"), std::string::npos) << error;
        message[0] = 4;
        EXPECT_TRUE(rec::parse_raw_frame(message, layout, frame, error)) << error;
        EXPECT_EQ(frame.frame.size(), 4u);
        for (size_t cut : {size_t{10}, header - 1}) {
            EXPECT_FALSE(rec::parse_raw_frame(std::span(message).first(cut), layout, frame, error));
            EXPECT_NE(error.find("shorter than its"), std::string::npos) << error;
        }
    }
}

TEST(McapReader, RawFrameTemperaturesFollowTheMonotonicTime) {
    std::vector<uint8_t> message(rec::kRawHeaderSize + 2, 0);
    message[0] = 2;
    const uint8_t temps[4] = {0x83, 0xFF, 0x90, 0x01};  // -125 and 400 tenths
    std::copy(temps, temps + 4, message.begin() + 40);
    message[44] = 0xEE;  // the frame's bytes
    rec::RawFrameView frame;
    std::string error;
    ASSERT_TRUE(rec::parse_raw_frame(message, rec::RawLayout::kWithTemperatures, frame, error))
        << error;
    EXPECT_TRUE(frame.has_temperatures);
    EXPECT_EQ(frame.sensor_temperature, -125);
    EXPECT_EQ(frame.illumination_temperature, 400);
    EXPECT_EQ(frame.frame[0], 0xEE);
}

TEST(McapReader, RawLayoutComesFromTheChannel) {
    struct Case {
        const char *layout;  // nullptr: the channel has no layout entry
        bool known;
        rec::RawLayout expected;
    };
    const Case cases[] = {
        {nullptr, true, rec::RawLayout::kWithoutTemperatures},
        {rec::kRawLayoutWithoutTemperatures, true, rec::RawLayout::kWithoutTemperatures},
        {rec::kRawLayout, true, rec::RawLayout::kWithTemperatures},
        {"frame_info[20] frame_bytes", false, {}},
        {"", false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layout ? c.layout : "(none)");
        rec::McapChannel channel;
        channel.topic = rec::kRawTopic;
        if (c.layout != nullptr)
            channel.metadata[rec::kRawLayoutKey] = c.layout;
        rec::RawLayout layout{};
        std::string error;
        EXPECT_EQ(rec::raw_layout_of(channel, layout, error), c.known);
        if (c.known)
            EXPECT_EQ(layout, c.expected);
        else
            EXPECT_NE(error.find("unknown layout"), std::string::npos) << error;
    }
}

}  // namespace
