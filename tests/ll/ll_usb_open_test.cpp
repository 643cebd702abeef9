// Enumeration, open and close of the USB transport, and its event thread, on the virtual bus.
#include <tarvo/ll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "ll/ll_vcam.h"

namespace tarvo::test {
namespace {

using vcam::CameraConfig;
using vcam::Dir;

// True when `entry` is a list entry for `cam`.
void expect_entry_of(const tarvo_ll_dev_t &entry, const vcam::Camera &cam) {
    EXPECT_EQ(entry.priv, nullptr);
    EXPECT_EQ(entry.kind, 0u);
    EXPECT_EQ(entry.bus, vcam::kBusNumber);
    EXPECT_EQ(entry.port, cam.port());
    EXPECT_EQ(entry.address, cam.address());
    EXPECT_EQ(entry.speed, cam.config().speed);
    EXPECT_EQ(entry.located, 1);
    EXPECT_EQ(entry.ops, &ll_op_usb);
    const uint8_t zero[36] = {};
    EXPECT_EQ(std::memcmp(entry.info, zero, sizeof zero), 0);
}

// Sends a status request so that the camera that the record opened shows it.
void touch(tarvo_ll_dev_t &dev) {
    uint8_t reply[63];
    EXPECT_TRUE(tarvo_ll_exe_cmd(&dev, 0, 0xB0, 0, reply, sizeof reply, 1000));
}

CameraConfig full_speed() {
    CameraConfig cfg;
    cfg.speed = 2;
    return cfg;
}

using LlList = LlVcam;

TEST_F(LlList, NoCameraFillsNothingAndZeroesTheList) {
    tarvo_ll_dev_t list[3];
    std::memset(list, 0x5A, sizeof list);
    EXPECT_EQ(tarvo_ll_dev_list(list, 3), 0);
    const tarvo_ll_dev_t zero = zeroed_record();
    for (const tarvo_ll_dev_t &entry : list)
        EXPECT_EQ(std::memcmp(&entry, &zero, sizeof zero), 0);
    EXPECT_TRUE(log().unexpected("ERR").empty());
}

TEST_F(LlList, ListsEveryCameraAndStopsAtMax) {
    auto a = bus().add_camera();
    auto b = bus().add_camera(full_speed());
    tarvo_ll_dev_t all[4];
    ASSERT_EQ(tarvo_ll_dev_list(all, 4), 2);
    const bool a_first = all[0].port == a->port();
    expect_entry_of(all[0], a_first ? *a : *b);
    expect_entry_of(all[1], a_first ? *b : *a);
    EXPECT_EQ(log().count("TARVO device (speed=", "DBG"), 2u);

    // With room for one, only the first in libusb's order, and nothing past max is touched.
    tarvo_ll_dev_t one[2];
    std::memset(one, 0x5A, sizeof one);
    tarvo_ll_dev_t beyond;
    std::memcpy(&beyond, &one[1], sizeof beyond);
    ASSERT_EQ(tarvo_ll_dev_list(one, 1), 1);
    expect_entry_of(one[0], a_first ? *a : *b);
    EXPECT_EQ(std::memcmp(&one[1], &beyond, sizeof beyond), 0);
}

using LlOpen = LlVcam;

TEST_F(LlOpen, UnlocatedRecordOpensTheFirstCameraAndLearnsItsLocation) {
    auto cam = bus().add_camera();
    tarvo_ll_dev_t &dev = *records(1);
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    EXPECT_EQ(dev.located, 1);
    EXPECT_EQ(dev.kind, 0u);
    EXPECT_EQ(dev.bus, vcam::kBusNumber);
    EXPECT_EQ(dev.port, cam->port());
    EXPECT_EQ(dev.address, cam->address());
    EXPECT_EQ(dev.speed, 3);
    EXPECT_EQ(dev.ops, &ll_op_usb);
    ASSERT_NE(dev.priv, nullptr);
    EXPECT_TRUE(eventually([&] { return priv(dev)->evt_running.load() == 1; }));
    EXPECT_FALSE(log().contains("not in HS mode"));

    tarvo_ll_dev_close(&dev);
    EXPECT_EQ(dev.priv, nullptr);
    EXPECT_EQ(dev.port, cam->port());  // the location survives close
    EXPECT_EQ(dev.located, 1);
    EXPECT_EQ(log().count("[_usb_ll_evt_thread] enter", "DBG"), 1u);
    EXPECT_EQ(log().count("[_usb_ll_evt_thread] exit", "DBG"), 1u);
    EXPECT_TRUE(log().unexpected("ERR").empty());
    EXPECT_TRUE(log().unexpected("WRN").empty());
}

TEST_F(LlOpen, LocatedRecordOpensTheCameraAtItsPort) {
    auto a = bus().add_camera();
    auto b = bus().add_camera();
    tarvo_ll_dev_t *list = records(2);
    ASSERT_EQ(tarvo_ll_dev_list(list, 2), 2);
    tarvo_ll_dev_t &second = list[1];
    auto &wanted = second.port == a->port() ? a : b;
    auto &other = second.port == a->port() ? b : a;
    ASSERT_EQ(tarvo_ll_dev_open(&second), &second);
    wanted->clear_commands();
    other->clear_commands();
    touch(second);
    EXPECT_EQ(wanted->commands().size(), 1u);
    EXPECT_TRUE(other->commands().empty());
    EXPECT_EQ(log().count("open tarvo device @", "DBG"), 1u);
}

TEST_F(LlOpen, LocatedRecordFindsTheCameraAgainUnderANewAddress) {
    auto cam = bus().add_camera();
    tarvo_ll_dev_t &dev = *records(1);
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    tarvo_ll_dev_close(&dev);
    const int old_address = cam->address();
    cam->unplug();
    cam->replug();
    ASSERT_NE(cam->address(), old_address);

    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    EXPECT_EQ(dev.address, old_address);  // not refreshed on this path
    cam->clear_commands();
    touch(dev);
    EXPECT_EQ(cam->commands().size(), 1u);
}

TEST_F(LlOpen, LocatedRecordWhoseCameraIsGoneFailsAndKeepsNothing) {
    auto cam = bus().add_camera();
    tarvo_ll_dev_t list[1];
    ASSERT_EQ(tarvo_ll_dev_list(list, 1), 1);
    cam->unplug();
    EXPECT_EQ(tarvo_ll_dev_open(list), nullptr);
    EXPECT_EQ(list[0].priv, nullptr);
    // Nothing is left to close.
    tarvo_ll_dev_close(list);
    EXPECT_EQ(log().count("device no need to closed!", "WRN"), 1u);
}

TEST_F(LlOpen, NoCameraFailsToOpen) {
    tarvo_ll_dev_t &dev = *records(1);
    EXPECT_EQ(tarvo_ll_dev_open(&dev), nullptr);
    EXPECT_EQ(dev.priv, nullptr);
    EXPECT_EQ(dev.ops, nullptr);
}

TEST_F(LlOpen, FullSpeedCameraOpensWithAWarning) {
    auto cam = bus().add_camera(full_speed());
    tarvo_ll_dev_t &dev = *records(1);
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    EXPECT_EQ(dev.speed, 2);
    EXPECT_EQ(log().count("[_usb_ll_dev_open] found tarvo device not in HS mode (speed=2)", "WRN"),
              1u);
}

TEST_F(LlOpen, InterfaceOneIsClaimedWhenInterfaceZeroIsRefused) {
    auto cam = bus().add_camera();
    cam->refuse_interface(0, true);
    tarvo_ll_dev_t &dev = *records(1);
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    touch(dev);
    EXPECT_FALSE(log().contains("libusb_claim_interface failed"));
}

TEST_F(LlOpen, NoClaimableInterfaceFailsAndUndoesTheOpen) {
    auto cam = bus().add_camera();
    cam->refuse_interface(0, true);
    cam->refuse_interface(1, true);
    tarvo_ll_dev_t &dev = *records(1);
    EXPECT_EQ(tarvo_ll_dev_open(&dev), nullptr);
    EXPECT_EQ(dev.priv, nullptr);
    EXPECT_EQ(log().count("[usb_ll_dev_open] libusb_claim_interface failed: ", "ERR"), 1u);
    // The camera can be opened once it lets go.
    cam->refuse_interface(0, false);
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
}

TEST_F(LlOpen, ClosingARecordNeverOpenedChangesNothing) {
    tarvo_ll_dev_t &dev = *records(1);
    dev.port = 3;
    dev.located = 1;
    tarvo_ll_dev_t before;
    std::memcpy(&before, &dev, sizeof dev);
    usb_ll_dev_close(&dev);
    EXPECT_EQ(std::memcmp(&dev, &before, sizeof dev), 0);
    EXPECT_EQ(log().count("[usb_ll_dev_close] device no need to closed!", "WRN"), 1u);

    // A record of another transport kind is not ours to close.
    log().clear();
    dev.kind = 1;
    usb_ll_dev_close(&dev);
    EXPECT_TRUE(log().lines().empty());
}

TEST_F(LlOpen, OpeningAnOpenRecordKeepsItsHandle) {
    auto cam = bus().add_camera();
    tarvo_ll_dev_t &dev = *records(1);
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);
    void *const first = dev.priv;
    EXPECT_EQ(tarvo_ll_dev_open(&dev), &dev);
    EXPECT_EQ(dev.priv, first);
    touch(dev);
}

// The event thread's reaction to errors of libusb's event handling.
struct LoopCase {
    int error;
    bool leaves;
    const char *warning;  // expected WRN line, or null
};

std::atomic<int> g_error{0};
std::atomic<int> g_errors_left{0};

int failing_handle_events(libusb_context *ctx, timeval *tv, int *completed) {
    if (g_errors_left.fetch_sub(1) > 0)
        return g_error.load();
    return libusb_handle_events_timeout_completed(ctx, tv, completed);
}

class LlEventLoop : public LlVcam, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(LlEventLoop, ErrorsEndTheLoopOrAreRiddenOutAndCloseStillReturns) {
    const LoopCase &c = GetParam();
    auto cam = bus().add_camera();
    g_error = c.error;
    g_errors_left = 3;
    tarvo::ll::set_handle_events(failing_handle_events);
    tarvo_ll_dev_t &dev = *records(1);
    ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev);

    const std::string name = std::string("libusb reports error: ") + libusb_error_name(c.error);
    if (c.leaves) {
        ASSERT_TRUE(eventually([&] { return log().contains("[_usb_ll_evt_thread] exit"); }));
        EXPECT_EQ(priv(dev)->evt_running.load(), 0);
        EXPECT_EQ(log().count(name, "ERR"), 1u);
        EXPECT_EQ(log().count("[_ll_event_loop] Exit ll event loop...", "TRC"), 1u);
    } else {
        ASSERT_TRUE(eventually([] { return g_errors_left.load() < 0; }));
        EXPECT_EQ(log().count(name, "ERR"), 3u);
        EXPECT_FALSE(log().contains("[_usb_ll_evt_thread] exit"));
        EXPECT_EQ(priv(dev)->evt_running.load(), 1);
        touch(dev);  // events are still handled
    }
    if (c.warning) {
        EXPECT_EQ(log().count(c.warning, "WRN"), 1u);
    }

    tarvo_ll_dev_close(&dev);
    EXPECT_EQ(dev.priv, nullptr);
    EXPECT_EQ(log().count("[_usb_ll_evt_thread] exit", "DBG"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, LlEventLoop,
    ::testing::Values(LoopCase{LIBUSB_ERROR_INTERRUPTED, true,
                               "[_ll_event_loop] libusb_handle_events LIBUSB_ERROR_INTERRUPTED "},
                      LoopCase{LIBUSB_ERROR_TIMEOUT, true,
                               "[_ll_event_loop] libusb_handle_events timeout "},
                      LoopCase{LIBUSB_ERROR_IO, true, nullptr},
                      LoopCase{LIBUSB_ERROR_NO_DEVICE, true, nullptr},
                      LoopCase{LIBUSB_ERROR_BUSY, false, nullptr},
                      LoopCase{LIBUSB_ERROR_OVERFLOW, false, nullptr}));

}  // namespace
}  // namespace tarvo::test
