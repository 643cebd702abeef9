// The camera's command set on endpoint 0, driven with plain libusb control transfers.
#include "sim_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tarvo::vcam;
using vcam_test::Client;
using vcam_test::eventually;
using vcam_test::le32;
using vcam_test::le32_bytes;
using vcam_test::list_cameras;

std::vector<uint8_t> reg_header(uint8_t target, uint32_t first, uint16_t count) {
    const uint16_t bytes = static_cast<uint16_t>(count * 4);
    std::vector<uint8_t> header{target};
    const auto first_bytes = le32_bytes(first);
    header.insert(header.end(), first_bytes.begin(), first_bytes.end());
    header.push_back(static_cast<uint8_t>(bytes));
    header.push_back(static_cast<uint8_t>(bytes >> 8));
    return header;
}

std::vector<uint8_t> param_item(uint8_t id, std::vector<uint8_t> value = {}) {
    std::vector<uint8_t> item(20, 0);
    item[0] = id;
    item[1] = static_cast<uint8_t>(value.size());
    std::copy(value.begin(), value.end(), item.begin() + 2);
    return item;
}

class SimCommand : public vcam_test::OneCamera {
  protected:
    // Sends a host-to-device command and returns the status reply after it.
    std::vector<uint8_t> command(uint8_t type, uint16_t value, std::vector<uint8_t> data) {
        auto r = client->out(type, value, data);
        EXPECT_EQ(r.status, LIBUSB_TRANSFER_COMPLETED);
        EXPECT_EQ(r.actual, static_cast<int>(data.size()));
        auto st = client->status();
        EXPECT_TRUE(st.has_value());
        return st.value_or(std::vector<uint8_t>(63, 0));
    }

    // Both phases of a parameter get; returns the items (empty on failure).
    std::vector<uint8_t> param_get(std::vector<uint8_t> ids) {
        std::vector<uint8_t> req;
        for (uint8_t id : ids) {
            auto item = param_item(id);
            req.insert(req.end(), item.begin(), item.end());
        }
        if (command(kTypeDevice, kDevParamGet, req)[0] != kStatusDone) {
            return {};
        }
        auto r = client->in(kTypeDevice, kDevParamGet, static_cast<uint16_t>(req.size()));
        if (r.status != LIBUSB_TRANSFER_COMPLETED || client->status().value()[0] != kStatusDone) {
            return {};
        }
        return r.data;
    }

    std::string message(const std::vector<uint8_t> &st) {
        return std::string(st.begin() + 3, std::find(st.begin() + 3, st.end(), 0));
    }
};

TEST_F(SimCommand, StatusBeforeAnyCommandIsDone) {
    auto st = client->status();
    ASSERT_TRUE(st);
    EXPECT_EQ((*st)[0], kStatusDone);
    EXPECT_EQ((*st)[1], 0);
    EXPECT_EQ((*st)[2], 0);
}

TEST_F(SimCommand, RegistersWriteOnceAndReadInChunks) {
    std::vector<uint32_t> values(40);
    auto req = reg_header(1, 10, 40);
    for (uint32_t i = 0; i < 40; ++i) {
        values[i] = 0xA0000000u + i * 0x01010101u;
        const auto value_bytes = le32_bytes(values[i]);
        req.insert(req.end(), value_bytes.begin(), value_bytes.end());
    }
    auto st = command(kTypeRegister, kRegWrite, req);
    EXPECT_EQ(st[0], kStatusDone);
    EXPECT_EQ(st[1], kTypeRegister);
    EXPECT_EQ(st[2], kRegWrite);
    EXPECT_EQ(cam->reg(1, 10), values[0]);
    EXPECT_EQ(cam->reg(1, 49), values[39]);

    cam->clear_commands();
    std::vector<uint32_t> got;
    for (uint32_t first = 10; first < 50; first += 16) {
        const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(16, 50 - first));
        ASSERT_EQ(command(kTypeRegister, kRegRead, reg_header(1, first, n))[0], kStatusDone);
        auto r = client->in(kTypeRegister, kRegRead, static_cast<uint16_t>(4 * n));
        ASSERT_EQ(r.actual, 4 * n);
        EXPECT_EQ(client->status().value()[2], kRegRead);
        for (uint16_t i = 0; i < n; ++i) {
            got.push_back(le32(&r.data[4 * i]));
        }
    }
    EXPECT_EQ(got, values);

    // The log shows the chunking: three requests, first addresses 10, 26, 42.
    std::vector<uint32_t> firsts;
    std::vector<uint16_t> sizes;
    for (const auto &c : cam->commands()) {
        if (c.type == kTypeRegister && c.value == kRegRead && c.dir == Dir::out) {
            firsts.push_back(c.first);
            sizes.push_back(c.byte_count);
            EXPECT_EQ(c.target, 1);
        }
    }
    EXPECT_EQ(firsts, (std::vector<uint32_t>{10, 26, 42}));
    EXPECT_EQ(sizes, (std::vector<uint16_t>{64, 64, 32}));
}

TEST_F(SimCommand, RegisterRequestsTheCameraRefuses) {
    struct Case {
        const char *what;
        uint16_t value;
        std::vector<uint8_t> data;
        const char *message;
    };
    auto long_write = reg_header(1, 250, 10);
    long_write.resize(long_write.size() + 40, 0);
    auto short_body = reg_header(1, 0, 2);
    short_body.resize(short_body.size() + 4, 0);
    const Case cases[] = {
        {"read of 17 registers", kRegRead, reg_header(1, 0, 17), "register read too long"},
        {"sensor read past 256", kRegRead, reg_header(1, 250, 10), "register out of range"},
        {"sensor write past 256", kRegWrite, long_write, "register out of range"},
        {"write shorter than its count", kRegWrite, short_body, "bad register request"},
        {"truncated header", kRegWrite, {1, 0, 0}, "bad register request"},
        {"read phase without request", 99, {}, "unknown command"},
    };
    for (const auto &c : cases) {
        auto st = command(kTypeRegister, c.value, c.data);
        EXPECT_EQ(st[0], kStatusFailed) << c.what;
        EXPECT_EQ(message(st), c.message) << c.what;
    }
    // A read phase that no request prepared answers nothing.
    auto r = client->in(kTypeRegister, kRegRead, 8);
    EXPECT_EQ(r.actual, 0);
    EXPECT_EQ(client->status().value()[0], kStatusFailed);
}

TEST_F(SimCommand, HeaderOnlyWriteAndSparseTargets) {
    EXPECT_EQ(command(kTypeRegister, kRegWrite, reg_header(1, 0, 0))[0], kStatusDone);
    auto req = reg_header(5, 0x12345678, 1);
    req.insert(req.end(), {0xEF, 0xBE, 0xAD, 0xDE});
    EXPECT_EQ(command(kTypeRegister, kRegWrite, req)[0], kStatusDone);
    EXPECT_EQ(cam->reg(5, 0x12345678), 0xDEADBEEFu);
    ASSERT_EQ(command(kTypeRegister, kRegRead, reg_header(5, 0x12345677, 2))[0], kStatusDone);
    auto r = client->in(kTypeRegister, kRegRead, 8);
    ASSERT_EQ(r.actual, 8);
    EXPECT_EQ(le32(&r.data[0]), 0u);
    EXPECT_EQ(le32(&r.data[4]), 0xDEADBEEFu);
}

TEST_F(SimCommand, IdentificationParameters) {
    cam->set_fw_version(0x0207);
    cam->set_chip_info(7, 0x1234, 0x0042);
    auto items = param_get({kParamProduct, kParamVersion, kParamChipInfo});
    ASSERT_EQ(items.size(), 60u);
    EXPECT_EQ(items[0], kParamProduct);
    EXPECT_EQ(std::string(items.begin() + 2, items.begin() + 2 + items[1]), "TV320-E2-1.3");
    EXPECT_EQ(items[20], kParamVersion);
    EXPECT_EQ(items[21], 8);
    EXPECT_EQ(items[24] | items[25] << 8, 0x0207);
    EXPECT_EQ(items[40], kParamChipInfo);
    EXPECT_EQ(items[41], 6);
    EXPECT_EQ(items[42] | items[43] << 8, 7);
    EXPECT_EQ(items[44] | items[45] << 8, 0x1234);
    EXPECT_EQ(items[46] | items[47] << 8, 0x0042);

    auto ident = param_get({kParamIdent, kParamInfo});
    ASSERT_EQ(ident.size(), 40u);
    EXPECT_EQ(std::string(ident.begin() + 2, ident.begin() + 2 + ident[1]), "VCAM-1");
    EXPECT_GT(ident[21], 0);
}

TEST_F(SimCommand, ParametersSetAndReadBack) {
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> seen;
    cam->set_param_observer([&](uint8_t id, std::span<const uint8_t> v) {
        seen.emplace_back(id, std::vector(v.begin(), v.end()));
    });
    auto set = param_item(kParamFrameRate, {20, 0, 0, 0});
    auto more = param_item(99, {1, 2, 3});
    set.insert(set.end(), more.begin(), more.end());
    EXPECT_EQ(command(kTypeDevice, kDevParamSet, set)[0], kStatusDone);
    EXPECT_EQ(cam->param(kParamFrameRate), (std::vector<uint8_t>{20, 0, 0, 0}));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].first, 99);

    auto items = param_get({kParamFrameRate, 99, 100});
    ASSERT_EQ(items.size(), 60u);
    EXPECT_EQ(items[1], 4);
    EXPECT_EQ(items[2], 20);
    EXPECT_EQ(items[21], 3);
    EXPECT_EQ(items[24], 3);
    EXPECT_EQ(items[40], 100);
    EXPECT_EQ(items[41], 0);  // never set
}

TEST_F(SimCommand, ParameterRequestsTheCameraRefuses) {
    struct Case {
        const char *what;
        uint16_t value;
        std::vector<uint8_t> data;
        const char *message;
    };
    std::vector<uint8_t> four;
    for (uint8_t id : {2, 3, 5, 6}) {
        auto item = param_item(id);
        four.insert(four.end(), item.begin(), item.end());
    }
    auto too_long = param_item(12);
    too_long[1] = 19;
    const Case cases[] = {
        {"get of four items", kDevParamGet, four, "too many parameters"},
        {"get of a partial item", kDevParamGet, std::vector<uint8_t>(19, 0),
         "bad parameter item size"},
        {"set of a read-only parameter", kDevParamSet, param_item(3, {'x'}),
         "parameter 3 is read-only"},
        {"set with length 19", kDevParamSet, too_long, "bad parameter length"},
        {"reset without target", kDevReset, {3}, "bad reset request"},
    };
    for (const auto &c : cases) {
        auto st = command(kTypeDevice, c.value, c.data);
        EXPECT_EQ(st[0], kStatusFailed) << c.what;
        EXPECT_EQ(message(st), c.message) << c.what;
    }
    EXPECT_EQ(cam->param(kParamFrameRate), (std::vector<uint8_t>{30, 0, 0, 0}));
}

TEST_F(SimCommand, LyingAboutParameterLength) {
    cam->add_fault(Fault::param_length(kParamProduct, 200, 1));
    auto items = param_get({kParamProduct, kParamFrameRate});
    ASSERT_EQ(items.size(), 40u);
    EXPECT_EQ(items[1], 200);
    EXPECT_EQ(items[21], 4);
    EXPECT_EQ(param_get({kParamProduct})[1], 12);  // once only
}

TEST_F(SimCommand, StatusFaults) {
    struct Case {
        const char *what;
        Fault fault;
        std::vector<std::vector<uint8_t>> replies;  // status, type, value of each poll
    };
    const Case cases[] = {
        {"two busy replies",
         Fault::busy(kTypeDevice, kDevParamSet, 2),
         {{kStatusBusy, 0xC0, 3}, {kStatusBusy, 0xC0, 3}, {kStatusDone, 0xC0, 3}}},
        {"refused", Fault::fail(kTypeDevice, kDevParamSet, "no way"), {{kStatusFailed, 0xC0, 3}}},
        {"wrong echo", Fault::wrong_echo(kTypeDevice, -1, 0xC2, 1), {{kStatusDone, 0xC2, 1}}},
    };
    for (const auto &c : cases) {
        cam->clear_faults();
        cam->add_fault(c.fault);
        ASSERT_EQ(client->out(kTypeDevice, kDevParamSet, param_item(13, {5, 0})).status,
                  LIBUSB_TRANSFER_COMPLETED)
            << c.what;
        for (const auto &want : c.replies) {
            auto st = client->status();
            ASSERT_TRUE(st) << c.what;
            EXPECT_EQ((std::vector<uint8_t>{(*st)[0], (*st)[1], (*st)[2]}), want) << c.what;
            if ((*st)[0] == kStatusFailed) {
                EXPECT_EQ(message(*st), "no way");
            }
        }
    }
    EXPECT_EQ(cam->param(kParamIntegrationTime), (std::vector<uint8_t>{5, 0}));
}

TEST_F(SimCommand, FaultsLastTheirNumberOfTimes) {
    cam->add_fault(Fault::fail(kTypeRegister, kRegCapStart, "not now", 1));
    EXPECT_EQ(command(kTypeRegister, kRegCapStart, {0, 0, 0, 0})[0], kStatusFailed);
    EXPECT_FALSE(cam->streaming());
    EXPECT_EQ(command(kTypeRegister, kRegCapStart, {0, 0, 0, 0})[0], kStatusDone);
    EXPECT_TRUE(cam->streaming());
}

TEST_F(SimCommand, LongFailureMessageFillsTheField) {
    const std::string text(70, 'm');
    cam->add_fault(Fault::fail(kTypeDevice, kDevParamSet, text));
    auto st = command(kTypeDevice, kDevParamSet, param_item(13, {1, 0}));
    EXPECT_EQ(st[0], kStatusFailed);
    EXPECT_EQ(std::string(st.begin() + 3, st.end()), std::string(60, 'm'));
}

TEST_F(SimCommand, SilentCameraUntilCancelled) {
    cam->add_fault(Fault::silent(kTypeStatus, -1, std::nullopt, 1));
    auto r = client->control(0xA2, kTypeStatus, 0, {}, 63, std::chrono::milliseconds(200), 10000);
    EXPECT_EQ(r.status, LIBUSB_TRANSFER_CANCELLED);
    // A timeout of the transfer itself also ends it.
    cam->add_fault(Fault::silent(kTypeDevice, kDevParamSet, Dir::out, 1));
    r = client->control(0x22, kTypeDevice, kDevParamSet, param_item(13, {1, 0}), 0,
                        std::chrono::milliseconds(5000), 100);
    EXPECT_EQ(r.status, LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_TRUE(client->status().has_value());
}

TEST_F(SimCommand, StallsAndUnknownRequests) {
    cam->add_fault(Fault::stall(kTypeRegister, kRegWrite, Dir::out, 1));
    EXPECT_EQ(client->out(kTypeRegister, kRegWrite, reg_header(1, 0, 0)).status,
              LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(client->out(0x99, 0, {}).status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(client->control(0x40, 0xC2, 0, {}, 0).status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(client->out(kTypeStatus, 0, {}).status, LIBUSB_TRANSFER_STALL);
    // The action protocol is not there without an extension.
    EXPECT_EQ(command(kTypeAction, 0, {1, 2})[0], kStatusFailed);
}

TEST_F(SimCommand, ExtensionTakesOverACommandType) {
    struct Flash : CommandExtension {
        Camera *camera = nullptr;
        std::vector<uint8_t> got;
        CommandOutcome write(uint16_t value, std::span<const uint8_t> data) override {
            got.assign(data.begin(), data.end());
            if (value == 9) {
                camera->reenumerate(std::chrono::milliseconds(10));
            }
            return {value != 7, "bad chunk", 0, value == 5 ? 2 : 0};
        }
        CommandOutcome read(uint16_t, std::span<uint8_t> reply) override {
            std::fill(reply.begin(), reply.end(), 0x5A);
            return {true, {}, reply.size() / 2, 0};
        }
    };
    auto flash = std::make_shared<Flash>();
    flash->camera = cam.get();
    cam->set_command_extension(kTypeAction, flash);
    EXPECT_EQ(command(kTypeAction, 6, {9, 8, 7})[0], kStatusDone);
    EXPECT_EQ(flash->got, (std::vector<uint8_t>{9, 8, 7}));
    auto st = command(kTypeAction, 7, {1});
    EXPECT_EQ(st[0], kStatusFailed);
    EXPECT_EQ(message(st), "bad chunk");
    auto r = client->in(kTypeAction, 4, 13);
    EXPECT_EQ(r.actual, 6);
    EXPECT_EQ(r.data[0], 0x5A);

    // An erase that keeps the camera busy for two polls.
    EXPECT_EQ(command(kTypeAction, 5, {1})[0], kStatusBusy);
    EXPECT_EQ(client->status().value()[0], kStatusBusy);
    EXPECT_EQ(client->status().value()[0], kStatusDone);

    // A command after which the camera restarts.
    EXPECT_EQ(command(kTypeAction, 9, {})[0], kStatusDone);
    EXPECT_TRUE(eventually([&] { return !cam->plugged(); }));
    EXPECT_TRUE(eventually([&] { return cam->plugged(); }));
}

TEST_F(SimCommand, ResetOfTheUsbInterfaceReplugsOnTheSamePort) {
    cam->set_reset_replug_delay(std::chrono::milliseconds(50));
    auto r = client->out(kTypeDevice, kDevReset, {3, 0, 0, 0});
    EXPECT_EQ(r.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_TRUE(eventually([&] { return !cam->plugged(); }));
    EXPECT_TRUE(eventually([&] { return cam->plugged(); }));
    auto back = list_cameras();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].port, 1);
    EXPECT_EQ(back[0].address, 3);
    EXPECT_EQ(cam->resets(), (std::vector<uint32_t>{3}));

    Client again;
    ASSERT_TRUE(again.opened());
    ASSERT_EQ(again.setup(0), 0);
    EXPECT_EQ(again.status().value()[1], 0);  // a fresh start
}

TEST_F(SimCommand, ResetThatNeverComesBackAndOtherTargets) {
    auto st = command(kTypeDevice, kDevReset, {5, 0, 0, 0});
    EXPECT_EQ(st[0], kStatusDone);
    EXPECT_TRUE(cam->plugged());

    cam->set_reset_replug_delay(std::nullopt);
    client->out(kTypeDevice, kDevReset, {3, 0, 0, 0});
    EXPECT_TRUE(eventually([&] { return !cam->plugged(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(cam->plugged());
    EXPECT_TRUE(list_cameras().empty());
    EXPECT_EQ(cam->resets(), (std::vector<uint32_t>{5, 3}));
}

}  // namespace
