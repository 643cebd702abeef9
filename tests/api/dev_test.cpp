// Listing, opening, closing and resetting cameras, and parameter and register batches, through
// the public interface against the virtual camera.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/log_capture.h"
#include "vcam.h"

namespace {

using tarvo::test::LogCapture;
using tarvo::vcam::Bus;
using tarvo::vcam::CameraConfig;
using tarvo::vcam::Fault;

class DevTest : public ::testing::Test {
  protected:
    void SetUp() override { Bus::get().reset(); }
    // Handles live in the fixture, so the ones a failed assertion leaves open are closed here.
    void TearDown() override {
        for (tarvo_dev_t &dev : list_)
            tarvo_dev_close(&dev);
        tarvo_dev_close(&dev_);
    }
    LogCapture log_;
    tarvo_dev_t list_[4] = {};
    tarvo_dev_t dev_{};
};

CameraConfig with_product(const char *product) {
    CameraConfig cfg;
    cfg.product = product;
    return cfg;
}

bool is_zero(const void *p, size_t n) {
    const auto *bytes = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

TEST_F(DevTest, ListRefusesBadArguments) {
    tarvo_dev_t list[2];
    EXPECT_EQ(tarvo_dev_list(list, 0), 0);
    EXPECT_EQ(tarvo_dev_list(nullptr, 4), 0);
    EXPECT_EQ(log_.count("wrong params: dev_list=", "ERR"), 2u);
}

TEST_F(DevTest, ListWithoutCameraZeroesTheHandles) {
    tarvo_dev_t list[3];
    std::memset(list, 0x77, sizeof list);
    EXPECT_EQ(tarvo_dev_list(list, 3), 0);
    EXPECT_TRUE(is_zero(list, sizeof list));
}

TEST_F(DevTest, ListCopiesEveryCamerasLocation) {
    auto a = Bus::get().add_camera();
    auto b = Bus::get().add_camera();
    tarvo_dev_t *list = list_;
    ASSERT_EQ(tarvo_dev_list(list, 4), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i].ctx, nullptr);
        EXPECT_EQ(list[i].located, 1);
        EXPECT_EQ(list[i].bus, tarvo::vcam::kBusNumber);
        EXPECT_TRUE(list[i].port == a->port() || list[i].port == b->port());
    }
    EXPECT_NE(list[0].port, list[1].port);
    EXPECT_TRUE(is_zero(&list[2], sizeof list[2] * 2));
}

TEST_F(DevTest, OpenReadsTheIdentification) {
    CameraConfig cfg;
    cfg.product = "TV320-E2-1.3";
    cfg.ident = "SN-0042";
    cfg.fw_version = 0x0123;
    auto cam = Bus::get().add_camera(cfg);
    ASSERT_EQ(tarvo_dev_list(list_, 1), 1);
    tarvo_dev_t *dev = tarvo_dev_open(&list_[0]);
    ASSERT_EQ(dev, &list_[0]);
    EXPECT_NE(dev->ctx, nullptr);
    EXPECT_STREQ(dev->product, "TV320-E2-1.3");
    EXPECT_STREQ(dev->ident, "SN-0042");
    EXPECT_EQ(dev->version[2] | dev->version[3] << 8, 0x0123);
    EXPECT_STREQ(dev->path, tarvo_path_get());
    EXPECT_EQ(dev->port, cam->port());
    tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->code, "E2");
    EXPECT_EQ(drv->dev, dev);
    EXPECT_TRUE(log_.contains("find driver for device TV320-E2-1.3 : EPC chip driver", "DBG"));
    // The camera holds no factory calibration package, so the open reports the load failed.
    EXPECT_EQ(log_.unexpected("ERR", {"Load calibration data failed"}), std::vector<std::string>{});
}

TEST_F(DevTest, DefaultDeviceOpensTheFirstCameraOnceUntilClosed) {
    Bus::get().add_camera();
    tarvo_dev_t *dev = tarvo_dev_open(nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(tarvo_dev_open(nullptr), nullptr);
    EXPECT_TRUE(log_.contains("default device may not close properly!", "ERR"));
    tarvo_dev_close(dev);
    dev = tarvo_dev_open(nullptr);
    ASSERT_NE(dev, nullptr);
    tarvo_dev_close(dev);
}

TEST_F(DevTest, OpenWithoutCameraFailsAndLeavesNoContext) {
    tarvo_dev_t &dev = dev_;
    EXPECT_EQ(tarvo_dev_open(&dev), nullptr);
    EXPECT_EQ(dev.ctx, nullptr);
    EXPECT_TRUE(log_.contains("open device failed!", "ERR"));
}

TEST_F(DevTest, OpenFailsWhenTheIdentificationCannotBeRead) {
    auto cam = Bus::get().add_camera();
    cam->add_fault(Fault::fail(0xC0, 4, "no parameters"));
    tarvo_dev_t &dev = dev_;
    EXPECT_EQ(tarvo_dev_open(&dev), nullptr);
    EXPECT_EQ(dev.ctx, nullptr);
    EXPECT_TRUE(log_.contains("cannot get info of device", "WRN"));
    // The transport was closed: the camera can be opened again once it answers.
    cam->clear_faults();
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
}

TEST_F(DevTest, DriverFollowsTheChipCodeOfTheProductString) {
    struct Case {
        const char *product;
        const char *code;  // null: no driver, the open fails
    };
    const Case cases[] = {
        {"ABC-E2-2.0", "E2"},    {"ABC-E1-1", "E1"},  {"ABC-E3-9", "E3"},    {"ABC-T0-1", "T0"},
        {"ABC-E4-2.0", nullptr}, {"ABC-E2", nullptr}, {"ABC-e2-1", nullptr}, {"ABC-E2 -1", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.product);
        auto cam = Bus::get().add_camera(with_product(c.product));
        tarvo_dev_t &dev = dev_;
        tarvo_dev_t *opened = tarvo_dev_open(&dev);
        if (c.code == nullptr) {
            EXPECT_EQ(opened, nullptr);
            EXPECT_TRUE(
                log_.contains(std::string("cannot find driver for device: product=") + c.product));
        } else {
            ASSERT_NE(opened, nullptr);
            EXPECT_STREQ(tarvo_dev_get_drv(&dev)->code, c.code);
            tarvo_dev_close(&dev);
        }
        Bus::get().reset();
    }
}

TEST(DrvFind, FieldsAreScannedUpTo16Characters) {
    struct Case {
        const char *product;
        const char *code;
    };
    const Case cases[] = {
        {"M-E2-12345678901234567890", "E2"},    // a long revision is cut, still three fields
        {"M-E2XXXXXXXXXXXXXXXXXX-1", nullptr},  // a long chip code is cut and matches nothing
        {"", nullptr},
        {"--", nullptr},
    };
    for (const Case &c : cases) {
        tarvo_dev_t dev{};
        std::strncpy(dev.product, c.product, sizeof dev.product - 1);
        tarvo_drv_t *drv = tarvo_drv_find(&dev);
        if (c.code == nullptr) {
            EXPECT_EQ(drv, nullptr) << c.product;
        } else {
            ASSERT_NE(drv, nullptr) << c.product;
            EXPECT_STREQ(drv->code, c.code);
        }
    }
    EXPECT_EQ(tarvo_drv_find(nullptr), nullptr);
}

TEST(TiDriver, DecodesPhaseAndGrayFrom32BitSamples) {
    const tarvo_drv_ops_t &ti = g_tarvo_driver_op_ti;
    zr_stream_frame_info_t sinfo{};
    sinfo.frlen = 307200;
    sinfo.fridx = 7;
    sinfo.frfmt = 1;
    tarvo_frame_info_t info;
    std::memset(&info, 0xAA, sizeof info);
    ASSERT_TRUE(ti.frame_get_info(nullptr, &info, &sinfo));
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.pixel_size, 4);
    EXPECT_EQ(info.frame_idx, 7);
    EXPECT_EQ(info.reserved0, 0);
    EXPECT_EQ(info.reserved1, 0);

    std::vector<uint16_t> src(76800 * 2);
    for (size_t i = 0; i < 76800; ++i) {
        src[2 * i] = static_cast<uint16_t>(0xF000 | (i % 4096));             // gray in the low half
        src[2 * i + 1] = static_cast<uint16_t>(0xF000 | (4095 - i % 4096));  // phase, high half
    }
    std::vector<float> out(76800, -1.0f);
    ASSERT_EQ(ti.frame_decode(nullptr, out.data(), 307200, 1, src.data(), 307200, &info), 307200);
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_GE(out[i], 0.0f);
        ASSERT_LT(out[i], 3.122838f);
    }
    EXPECT_FLOAT_EQ(out[0], 4095 / 4096.0f * 3.122838f);
    ASSERT_EQ(ti.frame_decode(nullptr, out.data(), 307200, 2, src.data(), 307200, &info), 307200);
    EXPECT_FLOAT_EQ(out[5], 5 / 4096.0f);
    // An unknown kind writes nothing; a short destination is never overrun.
    std::vector<float> small(10, -1.0f);
    EXPECT_EQ(ti.frame_decode(nullptr, small.data(), 40, 3, src.data(), 307200, &info), -1);
    EXPECT_EQ(small[0], -1.0f);
    ti.frame_decode(nullptr, small.data(), 40, 2, src.data(), 307200, &info);
    EXPECT_FLOAT_EQ(small[9], 9 / 4096.0f);
}

TEST_F(DevTest, ResetChecksTheTarget) {
    auto cam = Bus::get().add_camera();
    tarvo_dev_t &dev = dev_;
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    EXPECT_FALSE(tarvo_dev_reset(&dev, 9));
    EXPECT_TRUE(log_.contains("wrong reset target: 9", "ERR"));
    EXPECT_TRUE(tarvo_dev_reset(&dev, 8));
    EXPECT_EQ(cam->resets(), std::vector<uint32_t>{8});
    tarvo_dev_t closed{};
    EXPECT_FALSE(tarvo_dev_reset(&closed, 1));
    EXPECT_FALSE(tarvo_dev_reset(nullptr, 1));
    EXPECT_EQ(log_.count("Device handler Is NULL!", "ERR"), 2u);
}

TEST_F(DevTest, ParametersRoundTripAndFrameRateIsLogged) {
    auto cam = Bus::get().add_camera();
    tarvo_dev_t &dev = dev_;
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    tarvo_param_item_t set[2] = {};
    set[0].param_id = 12;
    set[0].param_val_len = 4;
    set[0].param_val[0] = 20;
    set[1].param_id = 268;  // travels as parameter 12 too, but is not announced as a rate
    set[1].param_val_len = 4;
    set[1].param_val[0] = 25;
    ASSERT_TRUE(tarvo_param_batch_set(&dev, set, 2));
    EXPECT_EQ(log_.count("Set FPS:", "DBG"), 1u);
    EXPECT_TRUE(log_.contains("[_tarvo_param_batch_set] Set FPS:20", "DBG"));
    EXPECT_EQ(cam->param(12)->at(0), 25);

    tarvo_param_item_t get{};
    get.param_id = 12;  // length 0: the camera's length comes back
    ASSERT_TRUE(tarvo_param_batch_get(&dev, &get, 1));
    EXPECT_EQ(get.param_val_len, 4);
    EXPECT_EQ(get.param_val[0], 25);
    EXPECT_EQ(get.param_id, 12);
}

TEST_F(DevTest, FailedParameterReadLeavesItemsUntouched) {
    auto cam = Bus::get().add_camera();
    tarvo_dev_t &dev = dev_;
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    cam->add_fault(Fault::fail(0xC0, 4, "busy elsewhere"));
    tarvo_param_item_t item;
    std::memset(&item, 0x5C, sizeof item);
    item.param_id = 12;
    const tarvo_param_item_t before = item;
    EXPECT_FALSE(tarvo_param_batch_get(&dev, &item, 1));
    EXPECT_EQ(std::memcmp(&item, &before, sizeof item), 0);
}

TEST_F(DevTest, CameraLyingAboutLengthsCannotOverrunTheHandle) {
    auto cam = Bus::get().add_camera(with_product("TV320-E2-1.3"));
    cam->add_fault(Fault::param_length(-1, 200));
    // Two handles side by side, as in an application's array: the second must stay as it is.
    struct Pair {
        tarvo_dev_t devs[2] = {};
        ~Pair() { tarvo_dev_close(&devs[0]); }
    } pair;
    tarvo_dev_t *devs = pair.devs;
    std::memset(&devs[1], 0x3C, sizeof devs[1]);
    const tarvo_dev_t neighbour = devs[1];
    ASSERT_NE(tarvo_dev_open(&devs[0]), nullptr);
    EXPECT_EQ(std::memcmp(&devs[1], &neighbour, sizeof neighbour), 0);
    EXPECT_STREQ(devs[0].product, "TV320-E2-1.3");
    EXPECT_EQ(devs[0].product[sizeof devs[0].product - 1], '\0');
    EXPECT_TRUE(is_zero(devs[0].dev_info + 18, sizeof devs[0].dev_info - 18));
    tarvo_param_item_t items[2] = {};
    items[0].param_id = 12;
    items[1].param_id = 13;
    ASSERT_TRUE(tarvo_param_batch_get(&devs[0], items, 2));
    EXPECT_EQ(items[0].param_val_len, 18);
    EXPECT_EQ(items[1].param_val_len, 18);
    EXPECT_TRUE(log_.contains("camera reports 200 bytes, keeping 18", "WRN"));
}

TEST_F(DevTest, EmptyParameterBatchesPassThrough) {
    struct Case {
        const char *name;
        bool set;
        bool with_items;
    };
    const Case cases[] = {
        {"set", true, true},
        {"set without items", true, false},
        {"get", false, true},
        {"get without items", false, false},
    };
    auto cam = Bus::get().add_camera();
    tarvo_dev_t &dev = dev_;
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cam->clear_commands();
        tarvo_param_item_t item{};
        item.param_id = 12;
        tarvo_param_item_t *items = c.with_items ? &item : nullptr;
        EXPECT_TRUE(c.set ? tarvo_param_batch_set(&dev, items, 0)
                          : tarvo_param_batch_get(&dev, items, 0));
        size_t sets = 0;
        size_t gets = 0;
        for (const tarvo::vcam::CommandRecord &cmd : cam->commands()) {
            if (cmd.type == tarvo::vcam::kTypeDevice && cmd.value == tarvo::vcam::kDevParamSet) {
                EXPECT_EQ(cmd.length, 0);
                ++sets;
            }
            gets += cmd.type == tarvo::vcam::kTypeDevice && cmd.value == tarvo::vcam::kDevParamGet;
        }
        // A set sends its empty request; a get has nothing to ask.
        EXPECT_EQ(sets, c.set ? 1u : 0u);
        EXPECT_EQ(gets, 0u);
        EXPECT_EQ(item.param_val_len, 0);
    }
    EXPECT_FALSE(tarvo_param_batch_get(&dev, nullptr, 1));
    EXPECT_FALSE(tarvo_param_batch_set(&dev, nullptr, -1));
    EXPECT_TRUE(log_.unexpected("ERR", {"wrong params", "Load calibration data failed"}).empty());
}

TEST_F(DevTest, ClosedOrNullHandlesAreRefused) {
    tarvo_param_item_t item{};
    item.param_id = 12;
    uint32_t regs[4] = {1, 2, 3, 4};
    tarvo_dev_t closed{};
    EXPECT_FALSE(tarvo_param_batch_get(nullptr, &item, 1));
    EXPECT_FALSE(tarvo_param_batch_set(nullptr, &item, 1));
    EXPECT_FALSE(tarvo_param_batch_get(&closed, &item, 1));
    EXPECT_FALSE(tarvo_param_batch_set(&closed, &item, 1));
    EXPECT_FALSE(tarvo_reg_batch_read(&closed, 1, 0, regs, 4));
    EXPECT_FALSE(tarvo_reg_batch_write(nullptr, 1, 0, regs, 4));
    EXPECT_EQ(log_.count("Device handler Is NULL!", "ERR"), 6u);
    EXPECT_EQ(regs[0], 1u);
    EXPECT_EQ(regs[3], 4u);
    EXPECT_EQ(closed.busy, 0);
}

TEST_F(DevTest, RegistersRoundTrip) {
    auto cam = Bus::get().add_camera();
    tarvo_dev_t &dev = dev_;
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    std::vector<uint32_t> values(40);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<uint32_t>(0x100 + i);
    ASSERT_TRUE(tarvo_reg_batch_write(&dev, 1, 0x20, values.data(), 40));
    EXPECT_EQ(cam->reg(1, 0x20 + 39), 0x100u + 39);
    std::vector<uint32_t> back(40, 0);
    ASSERT_TRUE(tarvo_reg_batch_read(&dev, 1, 0x20, back.data(), 40));
    EXPECT_EQ(back, values);
    EXPECT_FALSE(tarvo_reg_batch_read(&dev, 1, 0, nullptr, 4));
    EXPECT_EQ(dev.busy, 0);
}

TEST_F(DevTest, ClosingAClosedHandleOnlyLogs) {
    tarvo_dev_t dev{};
    log_.clear();
    tarvo_dev_close(&dev);
    tarvo_dev_close(nullptr);
    EXPECT_EQ(log_.lines().size(), 2u);
    EXPECT_EQ(log_.count("close tarvo device @", "DBG"), 2u);
}

TEST_F(DevTest, ReopeningAnOpenHandleClosesItFirst) {
    Bus::get().add_camera();
    tarvo_dev_t &dev = dev_;
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    EXPECT_TRUE(log_.contains("device not close correctly. close it..", "WRN"));
    // The camera holds no factory calibration package, so the open reports the load failed.
    EXPECT_EQ(log_.unexpected("ERR", {"Load calibration data failed"}), std::vector<std::string>{});
}

TEST_F(DevTest, OpenByFdIsNotAvailable) {
    tarvo_dev_t dev{};
    EXPECT_EQ(tarvo_dev_open_by_fd(&dev, 3), nullptr);
    EXPECT_TRUE(log_.contains("tarvo_dev_open_by_fd currently only support in android!", "ERR"));
}

}  // namespace
