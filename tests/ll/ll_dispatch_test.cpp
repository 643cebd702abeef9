// The dispatch layer against a recording transport table: which table a call reaches, how its
// arguments are narrowed, and what a null record gets.
#include <tarvo/ll.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ll/usb_ll.h"
#include "support/log_capture.h"

namespace {

struct Call {
    std::string slot;
    tarvo_ll_dev_t *dev = nullptr;
    unsigned a = 0, b = 0, c = 0;
};

std::vector<Call> g_calls;

void record(const char *slot, tarvo_ll_dev_t *dev, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
    g_calls.push_back({slot, dev, a, b, c});
}

const tarvo_ll_ops_t kRecorder = {
    [] { return true; },
    [] {},
    [](unsigned) {},
    [](tarvo_ll_dev_t *d) {
        record("dev_open", d);
        return d;
    },
    [](tarvo_ll_dev_t *d) {
        record("dev_open_by_fd", d);
        return d;
    },
    [](tarvo_ll_dev_t *d) { record("dev_close", d); },
    [](tarvo_ll_dev_t *, int) { return -1; },
    [](tarvo_ll_dev_t *d, uint8_t dir, uint8_t type, uint16_t value, uint8_t *, int, unsigned) {
        record("exe_cmd", d, dir, type, value);
        return true;
    },
    [](tarvo_ll_dev_t *d, uint8_t type, uint8_t value) {
        record("check_last_cmd", d, type, value);
        return true;
    },
    [](tarvo_ll_dev_t *d) { record("cap_abort", d); },
    [](tarvo_ll_dev_t *d, uint32_t arg, tarvo_ll_cap_cb_t, void *) {
        record("cap_start", d, arg);
        return true;
    },
    [](tarvo_ll_dev_t *d) {
        record("cap_stop", d);
        return true;
    },
    [](tarvo_ll_dev_t *d, uint8_t target) {
        record("dev_reset", d, target);
        return true;
    },
    [](tarvo_ll_dev_t *d, uint8_t target, uint32_t base, const uint32_t *, uint16_t count) {
        record("reg_write", d, target, base, count);
        return true;
    },
    [](tarvo_ll_dev_t *d, uint8_t target, uint32_t base, uint32_t *, uint16_t count) {
        record("reg_read", d, target, base, count);
        return true;
    },
    [](tarvo_ll_dev_t *d, const tarvo_ll_param_item_t *, int count) {
        record("param_set", d, static_cast<unsigned>(count));
        return true;
    },
    [](tarvo_ll_dev_t *d, tarvo_ll_param_item_t *, int count) {
        record("param_get", d, static_cast<unsigned>(count));
        return true;
    },
};

class LlDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        std::memset(&dev_, 0, sizeof dev_);
        dev_.ops = &kRecorder;
    }
    tarvo_ll_dev_t dev_;
};

TEST(LlRecords, LayoutIsTheWireAndRecordForm) {
    EXPECT_EQ(sizeof(tarvo_ll_param_item_t), 20u);
    EXPECT_EQ(offsetof(tarvo_ll_param_item_t, param_val_len), 1u);
    EXPECT_EQ(offsetof(tarvo_ll_param_item_t, param_val), 2u);
    EXPECT_EQ(offsetof(tarvo_ll_dev_t, kind), sizeof(void *));
    EXPECT_EQ(offsetof(tarvo_ll_dev_t, bus), sizeof(void *) + 4);
    EXPECT_EQ(offsetof(tarvo_ll_dev_t, info), sizeof(void *) + 8);
    EXPECT_LE(offsetof(tarvo_ll_dev_t, info) + 36, offsetof(tarvo_ll_dev_t, ops));
    EXPECT_GT(offsetof(tarvo_ll_dev_t, located), offsetof(tarvo_ll_dev_t, ops));
    EXPECT_EQ(sizeof(tarvo_ll_ops_t), 17 * sizeof(void *));
}

TEST_F(LlDispatch, RecordCallsReachTheRecordsTableWithNarrowedArguments) {
    uint32_t values[4] = {};
    tarvo_ll_param_item_t items[2] = {};
    EXPECT_TRUE(tarvo_ll_reg_read(&dev_, 0x1FF, 0x12345678u, values, 0x10005));
    EXPECT_TRUE(tarvo_ll_reg_write(&dev_, 0x102, 7, values, 0x20003));
    EXPECT_TRUE(tarvo_ll_exe_cmd(&dev_, 0x101, 0x1C2, 0x12345, nullptr, 0, 1000));
    EXPECT_TRUE(tarvo_ll_check_last_cmd(&dev_, 0x3C2, 0x105));
    EXPECT_TRUE(tarvo_ll_dev_reset(&dev_, 0x303));
    EXPECT_TRUE(tarvo_ll_cap_start(&dev_, 0xDEADBEEF, nullptr, nullptr));
    EXPECT_TRUE(tarvo_ll_cap_stop(&dev_));
    tarvo_ll_cap_abort(&dev_);
    EXPECT_TRUE(tarvo_ll_param_set(&dev_, items, 2));
    EXPECT_TRUE(tarvo_ll_param_get(&dev_, items, 2));
    tarvo_ll_dev_close(&dev_);

    const std::vector<Call> expected = {
        {"reg_read", &dev_, 0xFF, 0x12345678u, 5},
        {"reg_write", &dev_, 0x02, 7, 3},
        {"exe_cmd", &dev_, 0x01, 0xC2, 0x2345},
        {"check_last_cmd", &dev_, 0xC2, 0x05},
        {"dev_reset", &dev_, 0x03},
        {"cap_start", &dev_, 0xDEADBEEF},
        {"cap_stop", &dev_},
        {"cap_abort", &dev_},
        {"param_set", &dev_, 2},
        {"param_get", &dev_, 2},
        {"dev_close", &dev_},
    };
    ASSERT_EQ(g_calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].slot);
        EXPECT_EQ(g_calls[i].slot, expected[i].slot);
        EXPECT_EQ(g_calls[i].dev, expected[i].dev);
        EXPECT_EQ(g_calls[i].a, expected[i].a);
        EXPECT_EQ(g_calls[i].b, expected[i].b);
        EXPECT_EQ(g_calls[i].c, expected[i].c);
    }
}

TEST_F(LlDispatch, OpenGoesBackToTheTransportThatBoundTheRecord) {
    EXPECT_EQ(tarvo_ll_dev_open(&dev_), &dev_);
    EXPECT_EQ(tarvo_ll_dev_open_by_fd(&dev_), &dev_);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].slot, "dev_open");
    EXPECT_EQ(g_calls[1].slot, "dev_open_by_fd");
}

TEST(LlDispatchNull, NullRecordGetsFalseOrNothing) {
    tarvo::test::LogCapture log;
    uint32_t v = 0;
    tarvo_ll_param_item_t item = {};
    EXPECT_FALSE(tarvo_ll_cap_stop(nullptr));
    EXPECT_FALSE(tarvo_ll_cap_start(nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(tarvo_ll_dev_reset(nullptr, 1));
    EXPECT_FALSE(tarvo_ll_exe_cmd(nullptr, 1, 0xC2, 0, nullptr, 0, 1000));
    EXPECT_FALSE(tarvo_ll_check_last_cmd(nullptr, 0xC2, 0));
    EXPECT_FALSE(tarvo_ll_reg_read(nullptr, 1, 0, &v, 1));
    EXPECT_FALSE(tarvo_ll_reg_write(nullptr, 1, 0, &v, 1));
    EXPECT_FALSE(tarvo_ll_param_set(nullptr, &item, 1));
    EXPECT_FALSE(tarvo_ll_param_get(nullptr, &item, 1));
    tarvo_ll_dev_close(nullptr);
    tarvo_ll_cap_abort(nullptr);
    EXPECT_EQ(tarvo_ll_dev_open(nullptr), nullptr);
    EXPECT_EQ(tarvo_ll_dev_open_by_fd(nullptr), nullptr);
    EXPECT_TRUE(log.unexpected("ERR").empty());
}

TEST(LlDispatchNull, RecordNeverBoundToATransportGetsFalse) {
    tarvo_ll_dev_t dev;
    std::memset(&dev, 0, sizeof dev);
    uint32_t v = 0;
    EXPECT_FALSE(tarvo_ll_reg_read(&dev, 1, 0, &v, 1));
    EXPECT_FALSE(tarvo_ll_cap_stop(&dev));
    tarvo_ll_dev_close(&dev);
    EXPECT_EQ(dev.priv, nullptr);
}

TEST(LlDispatchList, NonPositiveMaxReturnsZeroAndLeavesTheListAlone) {
    tarvo_ll_dev_t list[2];
    std::memset(list, 0xA5, sizeof list);
    tarvo_ll_dev_t untouched[2];
    std::memcpy(untouched, list, sizeof list);
    EXPECT_EQ(tarvo_ll_dev_list(list, 0), 0);
    EXPECT_EQ(tarvo_ll_dev_list(list, -3), 0);
    EXPECT_EQ(std::memcmp(list, untouched, sizeof list), 0);
}

TEST(LlDispatchInit, InitSucceedsAndUninitIsHarmless) {
    tarvo::test::LogCapture log;
    EXPECT_TRUE(tarvo_ll_init());
    tarvo_ll_uninit();
    EXPECT_FALSE(log.contains("ll_init failed"));
}

TEST(LlDebugLevel, LibraryLevelsMapToLibusbLevels) {
    struct Case {
        unsigned level;
        int libusb;
    };
    const Case cases[] = {{0, LIBUSB_LOG_LEVEL_DEBUG}, {1, LIBUSB_LOG_LEVEL_DEBUG},
                          {2, LIBUSB_LOG_LEVEL_INFO},  {3, LIBUSB_LOG_LEVEL_WARNING},
                          {4, LIBUSB_LOG_LEVEL_ERROR}, {5, LIBUSB_LOG_LEVEL_NONE},
                          {6, LIBUSB_LOG_LEVEL_NONE},  {0xFFFFFFFFu, LIBUSB_LOG_LEVEL_NONE}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        tarvo_ll_set_debug(4);  // something else first
        tarvo_ll_set_debug(c.level);
        EXPECT_EQ(tarvo::ll::debug_level(), c.libusb);
    }
    tarvo_ll_set_debug(5);
}

}  // namespace
