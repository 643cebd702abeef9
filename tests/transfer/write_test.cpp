// Writing images into the camera's flash through the public interface, against the virtual
// camera's flash.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>

#include "transfer_vcam.h"

namespace {

using namespace tarvo::test;
using tarvo::vcam::CommandOutcome;
using tarvo::vcam::Dir;
using tarvo::vcam::Flash;

std::vector<uint8_t> le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class WriteTest : public TransferVcam {};

TEST_F(WriteTest, ImagesArriveByteExactInChunksOf1018) {
    struct Case {
        size_t size;
        std::vector<uint32_t> chunks;
    };
    const Case cases[] = {
        {1, {1}},
        {1018, {1018}},
        {1019, {1018, 1}},
        {2036, {1018, 1018}},
        {2500, {1018, 1018, 464}},
    };
    const uint16_t version = 0x0A0B;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        fresh_flash();
        const auto image = pattern(c.size, static_cast<uint8_t>(c.size));
        write_file("image.bin", image);

        EXPECT_EQ(tarvo_bin_data_write(&ll_, 4, version, 0, "image.bin"), 1);

        const auto stored = flash_->image(4);
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->bytes, image);
        EXPECT_EQ(stored->version, version);
        const Flash::Stats stats = flash_->stats();
        EXPECT_EQ(stats.chunk_lengths, c.chunks);
        EXPECT_EQ(stats.crc_errors, 0u);
        EXPECT_EQ(stats.errors, std::vector<std::string>{});

        // The records on the wire, byte by byte.
        const auto query = actions(0, Dir::out);
        ASSERT_EQ(query.size(), 1u);
        // asks about the image's own type
        EXPECT_EQ(query[0].data, concat({{4}, std::vector<uint8_t>(15, 0)}));
        const auto info = actions(1, Dir::out);
        ASSERT_EQ(info.size(), 1u);
        EXPECT_EQ(info[0].data,
                  concat({{4, 0, 0x0B, 0x0A}, le32(static_cast<uint32_t>(c.size)), {0, 0, 0, 0}}));
        const auto erase = actions(7, Dir::out);
        ASSERT_EQ(erase.size(), 1u);
        EXPECT_EQ(erase[0].data,
                  concat({{4}, le32(static_cast<uint32_t>(c.size)), le32(1018), {0, 0, 0, 0}}));
        const auto chunks = actions(6, Dir::out);
        ASSERT_EQ(chunks.size(), c.chunks.size());
        size_t offset = 0;
        for (size_t i = 0; i < chunks.size(); ++i) {
            const std::vector<uint8_t> &wire = chunks[i].data;
            ASSERT_EQ(wire.size(), 6 + c.chunks[i]);
            EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 2, wire.begin() + 6), le32(c.chunks[i]));
            EXPECT_TRUE(std::equal(wire.begin() + 6, wire.end(), image.begin() + offset));
            offset += c.chunks[i];
        }
        EXPECT_TRUE(log_.contains("[tarvo_bin_data_write] Data transfer finished.", "INF"));
        EXPECT_TRUE(log_.contains(
            "[al_data_send_action_info] type = 4, version = 2571, size = " + std::to_string(c.size),
            "INF"));
        EXPECT_TRUE(cam_->resets().empty());
        expect_no_other_errors();
    }
}

TEST_F(WriteTest, WaitsWhileTheCameraErases) {
    flash_->set_erase_acks(2);  // erasing, erasing, ready
    write_file("image.bin", pattern(1019));
    EXPECT_EQ(tarvo_bin_data_write(&ll_, 4, 1, 0, "image.bin"), 1);
    EXPECT_EQ(flash_->image(4)->bytes, pattern(1019));
    // One for the information, three for the erase, one per chunk.
    EXPECT_EQ(actions(4, Dir::in).size(), 1u + 3u + 2u);
    EXPECT_EQ(log_.count("[tarvo_bin_data_write] Download.....", "INF"), 1u);
    expect_no_other_errors();
}

// The version rule compares with the stored image of the same type: the firmware's version (type
// 0) neither blocks a data image nor lets an older one through.
TEST_F(WriteTest, OnlyNewerVersionsThanTheStoredImageOfTheSameTypeAreWritten) {
    struct Case {
        std::optional<uint16_t> stored;    // version stored as type 4; none: nothing valid stored
        std::optional<uint16_t> firmware;  // version stored as type 0
        uint16_t given;
        int result;
    };
    const Case cases[] = {
        {5, std::nullopt, 5, -1},
        {6, std::nullopt, 5, -1},
        {0xFFFF, std::nullopt, 0xFFFF, -1},
        {4, std::nullopt, 5, 1},
        {std::nullopt, std::nullopt, 1, 1},
        {std::nullopt, std::nullopt, 0, -1},  // nothing stored reads as version 0
        {1, 200, 100, 1},                     // newer firmware does not block the data image
        {std::nullopt, 200, 200, 1},
        {50, std::nullopt, 30, -1},  // an older data image is refused, whatever type 0 holds
        {50, 10, 30, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "stored " << c.stored.value_or(0) << " firmware "
                                        << c.firmware.value_or(0) << " given " << c.given);
        fresh_flash();
        if (c.firmware)
            flash_->store(0, *c.firmware, pattern(10));
        if (c.stored)
            flash_->store(4, *c.stored, pattern(10));
        write_file("image.bin", pattern(100));

        EXPECT_EQ(tarvo_bin_data_write(&ll_, 4, c.given, 0, "image.bin"), c.result);

        if (c.result == 1) {
            EXPECT_EQ(flash_->image(4)->bytes, pattern(100));
            expect_no_other_errors();
            continue;
        }
        const std::string line =
            "[tarvo_bin_data_write] Wrong version(Target:" + std::to_string(c.stored.value_or(0)) +
            ",Now:" + std::to_string(c.given) + ")";
        EXPECT_TRUE(log_.contains(line, "ERR"));
        EXPECT_TRUE(actions(1, Dir::out).empty());  // stopped before announcing anything
        if (c.stored) {
            EXPECT_EQ(flash_->image(4)->bytes, pattern(10));
        }
        expect_no_other_errors({line});
    }
}

TEST_F(WriteTest, UnusableImageFilesStopBeforeAnyCameraTraffic) {
    struct Case {
        UnusableImage file;
        std::vector<std::string> more_errors;  // error lines expected besides the file's own
        const char *info;                      // an INF line expected, or null
    };
    const Case cases[] = {
        {kMissingImage, {}, "File open failed"},
        {kEmptyImage, {"data upgrade failed!"}, "File size:0"},
        {kDirectoryImage, {}, nullptr},
        {kFifoImage, {}, "File open failed"},
        {kTooLargeImage, {}, "File size:67108865"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file.what);
        c.file.recreate();
        log_.clear();

        EXPECT_EQ(tarvo_bin_data_write(&ll_, 4, 9, 0, "image.bin"), -1);

        EXPECT_EQ(action_commands(), 0u);
        EXPECT_FALSE(flash_->image(4).has_value());
        std::vector<std::string> errors{c.file.error};
        errors.insert(errors.end(), c.more_errors.begin(), c.more_errors.end());
        for (const std::string &line : errors)
            EXPECT_TRUE(log_.contains("[tarvo_bin_data_write] " + line, "ERR")) << line;
        if (c.info != nullptr) {
            EXPECT_TRUE(log_.contains(std::string("[tarvo_bin_data_write] ") + c.info, "INF"));
        }
        expect_no_other_errors(std::vector<std::string_view>(errors.begin(), errors.end()));
    }
}

TEST_F(WriteTest, NullArgumentsAreRefused) {
    write_file("image.bin", pattern(10));
    EXPECT_EQ(tarvo_bin_data_write(&ll_, 4, 9, 0, nullptr), -1);
    EXPECT_EQ(tarvo_bin_data_write(nullptr, 4, 9, 0, "image.bin"), -1);
    EXPECT_EQ(log_.count("[tarvo_bin_data_write] Wrong params", "ERR"), 2u);
    EXPECT_EQ(action_commands(), 0u);
}

TEST_F(WriteTest, LowLevelFirmwareUpgradeCutsTheTypeToEightBits) {
    write_file("fw.bin", pattern(1500));
    EXPECT_EQ(tarvo_ll_firmware_upgrade(&ll_, 0x104, 7, "fw.bin"), 1);
    ASSERT_TRUE(flash_->image(4).has_value());
    EXPECT_EQ(flash_->image(4)->bytes, pattern(1500));
    EXPECT_EQ(flash_->image(4)->version, 7);
    EXPECT_TRUE(cam_->resets().empty());  // type 4: nothing to restart
}

// Passes every command to the flash and notes whether the handle was busy meanwhile.
class BusyProbe final : public tarvo::vcam::CommandExtension {
  public:
    BusyProbe(std::shared_ptr<Flash> flash, tarvo_dev_t *dev)
        : flash_(std::move(flash)), dev_(dev) {}
    CommandOutcome write(uint16_t value, std::span<const uint8_t> data) override {
        note();
        return flash_->write(value, data);
    }
    CommandOutcome read(uint16_t value, std::span<uint8_t> reply) override {
        note();
        return flash_->read(value, reply);
    }
    int seen_idle() const { return idle_.load(); }
    int seen_busy() const { return busy_.load(); }

  private:
    void note() {
        if (std::atomic_ref<uint8_t>(dev_->busy).load() != 0)
            ++busy_;
        else
            ++idle_;
    }
    std::shared_ptr<Flash> flash_;
    tarvo_dev_t *dev_;
    std::atomic<int> idle_{0};
    std::atomic<int> busy_{0};
};

TEST_F(WriteTest, HandleFunctionsRefuseMissingOrClosedHandles) {
    write_file("fw.bin", pattern(10));
    tarvo_dev_t closed{};
    EXPECT_EQ(tarvo_firmware_upgrade(nullptr, 4, 1, "fw.bin"), -1);
    EXPECT_EQ(tarvo_firmware_upgrade(&closed, 4, 1, "fw.bin"), -1);
    EXPECT_EQ(tarvo_data_download(nullptr, "fw.bin", 4, 1, 0), -1);
    EXPECT_EQ(tarvo_data_download(&closed, "fw.bin", 4, 1, 0), -1);
    EXPECT_EQ(log_.count("[tarvo_firmware_upgrade] Wrong params", "DBG"), 2u);
    EXPECT_EQ(log_.count("[tarvo_data_download] Wrong params", "DBG"), 2u);
    EXPECT_EQ(closed.busy, 0);
    EXPECT_EQ(action_commands(), 0u);
}

TEST_F(WriteTest, HandleFunctionsWriteWhileTheHandleIsBusy) {
    tarvo_ll_dev_close(&ll_);  // the handle opens the camera itself
    tarvo_dev_t list[1] = {};
    ASSERT_EQ(tarvo_dev_list(list, 1), 1);
    tarvo_dev_t *dev = tarvo_dev_open(&list[0]);
    ASSERT_NE(dev, nullptr);
    auto probe = std::make_shared<BusyProbe>(flash_, dev);
    cam_->set_command_extension(tarvo::vcam::kTypeAction, probe);

    write_file("fw.bin", pattern(1100, 3));
    EXPECT_EQ(tarvo_firmware_upgrade(dev, 5, 2, "fw.bin"), 1);
    write_file("cal.bin", pattern(300, 4));
    EXPECT_EQ(tarvo_data_download(dev, "cal.bin", 6, 3, 0x55), 1);

    EXPECT_EQ(flash_->image(5)->bytes, pattern(1100, 3));
    EXPECT_EQ(flash_->image(6)->bytes, pattern(300, 4));
    EXPECT_EQ(flash_->image(6)->version, 3);
    EXPECT_GT(probe->seen_busy(), 0);
    EXPECT_EQ(probe->seen_idle(), 0);
    EXPECT_EQ(dev->busy, 0);
    tarvo_dev_close(dev);
}

}  // namespace
