// tarvo publish through an unplug: the camera leaves the bus while it publishes and comes back on
// the same port; publishing resumes, and a subscriber gets the wall again.
//
// The command runs as a child on this process's virtual bus (it inherits the USB emulation's
// environment), so the test can pull the plug.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>

#include "dds_test_support.h"
#include "frames/camera_frames.h"
#include "ros/cloud_checks.h"
#include "scene.h"
#include "sensor/epc_sensor.h"
#include "support/wait.h"
#include "vcam.h"

namespace {

using namespace tarvo;

// The next depth image the subscriber receives while the publisher runs.
std::optional<dds::Received> next_depth(dds::Subscriber &sub, test::Child &pub) {
    std::optional<dds::Received> depth;
    while (!depth && pub.running())
        sub.poll(100, [&](const dds::Received &r) {
            if (r.topic == dds::Topic::Depth)
                depth = r;
        });
    return depth;
}

TEST(DdsUnplug, PublishingResumesWhenTheCameraReturns) {
    test::use_loopback_dds();
    auto cam = vcam::Bus::get().add_camera();
    vcam::install_epc_sensor(*cam);
    vcam::SceneStreamConfig config;
    std::string error;
    ASSERT_TRUE(scene::parse_scene("wall:1.0", scene::Camera{}, 0.8, config.scene, error)) << error;
    cam->set_stream_source(vcam::make_scene_stream(cam, config));

    const uint32_t domain = test::test_domain(10);
    const std::string ns = test::test_namespace("unplug");
    test::Child pub({TARVO_CLI_PATH, "publish", "--domain", std::to_string(domain), "--namespace",
                     ns, "--no-points", "--reconnect-wait", "60"});
    {
        auto sub = dds::Subscriber::create(domain, ns, error);
        ASSERT_TRUE(sub) << error;
        ASSERT_TRUE(next_depth(*sub, pub)) << pub.output();
    }
    cam->unplug();
    ASSERT_TRUE(test::eventually([&] {
        return pub.output().find("camera left") != std::string::npos;
    })) << pub.output();
    cam->replug();
    ASSERT_TRUE(test::eventually([&] {
        return pub.output().find("capture resumed") != std::string::npos;
    })) << pub.output();

    // A subscriber that joins now sees only frames of the camera that came back.
    auto sub = dds::Subscriber::create(domain, ns, error);
    ASSERT_TRUE(sub) << error;
    const std::optional<dds::Received> depth = next_depth(*sub, pub);
    ASSERT_TRUE(depth) << pub.output();
    ASSERT_EQ(depth->image.data.size(), size_t{320} * 240 * 4);
    EXPECT_NEAR(test::centre_depth(depth->image), 1.0, 0.01);
    EXPECT_EQ(pub.stop(), 0) << pub.output();
}

}  // namespace
