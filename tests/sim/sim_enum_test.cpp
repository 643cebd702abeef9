// The virtual cameras on the bus: listing, opening, claiming, unplug and replug.
#include "usb_client.h"
#include "vcam.h"

#include <gtest/gtest.h>

namespace {

using tarvo::vcam::Bus;
using tarvo::vcam::CameraConfig;
using vcam_test::Client;
using vcam_test::list_cameras;

TEST(SimEnum, ListsZeroOneAndTwoCameras) {
    EXPECT_TRUE(list_cameras().empty());

    auto first = Bus::get().add_camera();
    ASSERT_TRUE(first);
    auto one = list_cameras();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].bus, 1);
    EXPECT_EQ(one[0].port, 1);
    EXPECT_EQ(one[0].address, 2);
    EXPECT_EQ(one[0].speed, LIBUSB_SPEED_HIGH);
    EXPECT_EQ(first->address(), 2);
    EXPECT_EQ(first->port(), 1);

    CameraConfig full;
    full.speed = LIBUSB_SPEED_FULL;
    auto second = Bus::get().add_camera(full);
    auto two = list_cameras();
    ASSERT_EQ(two.size(), 2u);
    bool saw_full = false;
    for (const auto &c : two) {
        if (c.port == 2) {
            saw_full = true;
            EXPECT_EQ(c.address, 3);
            EXPECT_EQ(c.speed, LIBUSB_SPEED_FULL);
        }
    }
    EXPECT_TRUE(saw_full);

    Bus::get().remove_camera(first);
    auto left = list_cameras();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].port, 2);
}

TEST(SimEnum, ResetEmptiesTheBusAndRestartsAddresses) {
    Bus::get().add_camera();
    Bus::get().add_camera();
    Bus::get().reset();
    EXPECT_TRUE(list_cameras().empty());
    auto cam = Bus::get().add_camera();
    EXPECT_EQ(cam->address(), 2);
    EXPECT_EQ(cam->port(), 1);
}

TEST(SimEnum, OpensAndClaimsInterfaceZero) {
    Bus::get().add_camera();
    Client c;
    ASSERT_TRUE(c.opened()) << libusb_error_name(c.open_result());
    EXPECT_EQ(c.setup(0), 0);
    EXPECT_EQ(libusb_clear_halt(c.handle(), 0x81), 0);
}

TEST(SimEnum, RefusedInterfaceZeroLeavesInterfaceOne) {
    auto cam = Bus::get().add_camera();
    cam->refuse_interface(0, true);
    Client c;
    ASSERT_TRUE(c.opened());
    EXPECT_EQ(c.setup(0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(c.setup(1), 0);

    cam->refuse_interface(1, true);
    Client d;
    ASSERT_TRUE(d.opened());
    EXPECT_NE(d.setup(0), 0);
    EXPECT_NE(d.setup(1), 0);
}

TEST(SimEnum, UnplugRemovesAndReplugComesBackUnderNewAddress) {
    auto cam = Bus::get().add_camera();
    ASSERT_EQ(list_cameras().size(), 1u);

    cam->unplug();
    EXPECT_FALSE(cam->plugged());
    EXPECT_EQ(cam->address(), 0);
    EXPECT_TRUE(list_cameras().empty());

    cam->replug();
    auto back = list_cameras();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].port, 1);
    EXPECT_EQ(back[0].address, 3);
    EXPECT_EQ(cam->address(), 3);

    Client c;
    ASSERT_TRUE(c.opened());
    EXPECT_EQ(c.setup(0), 0);
}

TEST(SimEnum, OpenHandleSeesNoDeviceAfterUnplug) {
    auto cam = Bus::get().add_camera();
    Client c;
    ASSERT_TRUE(c.opened());
    ASSERT_EQ(c.setup(0), 0);
    cam->unplug();
    auto r = c.in(0xB0, 0, 63);
    EXPECT_EQ(r.submit, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(c.handle(), 0x81), LIBUSB_ERROR_NO_DEVICE);
}

}  // namespace

namespace {

size_t cameras_in(libusb_context *ctx) {
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    size_t found = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor dd{};
        if (libusb_get_device_descriptor(list[i], &dd) == 0 && dd.idVendor == 0x111B) {
            ++found;
        }
    }
    if (n >= 0) {
        libusb_free_device_list(list, 1);
    }
    return found;
}

TEST(SimEnum, RunningContextFollowsPlugEvents) {
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    EXPECT_EQ(cameras_in(ctx), 0u);
    auto cam = Bus::get().add_camera();
    EXPECT_TRUE(vcam_test::eventually([&] { return cameras_in(ctx) == 1; }));
    cam->unplug();
    EXPECT_TRUE(vcam_test::eventually([&] { return cameras_in(ctx) == 0; }));
    cam->replug();
    EXPECT_TRUE(vcam_test::eventually([&] { return cameras_in(ctx) == 1; }));
    libusb_exit(ctx);
}

}  // namespace

namespace {

TEST(SimEnum, HandleLeftOpenAcrossBusResetNeverReachesTheNextCamera) {
    Bus::get().add_camera();
    vcam_test::Client stale;
    ASSERT_TRUE(stale.opened());
    ASSERT_EQ(stale.setup(0), 0);
    Bus::get().reset();
    EXPECT_EQ(stale.in(0xB0, 0, 63).submit, LIBUSB_ERROR_NO_DEVICE);

    // The next camera gets the same address and node path.
    auto cam = Bus::get().add_camera();
    ASSERT_EQ(cam->address(), 2);
    EXPECT_EQ(stale.in(0xB0, 0, 63).submit, LIBUSB_ERROR_NO_DEVICE);
    vcam_test::Client fresh;
    ASSERT_TRUE(fresh.opened());
    ASSERT_EQ(fresh.setup(0), 0);
    EXPECT_TRUE(fresh.status().has_value());
    EXPECT_EQ(cam->commands().size(), 1u);
}

}  // namespace
