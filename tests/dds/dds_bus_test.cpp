// The camera on the DDS bus, end to end: `tarvo publish` under tarvo-vcam in a process of its
// own, received here through the types compiled from the project's IDL; and `tarvo subscribe`
// against samples that do not describe their data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <thread>

#include "dds_publisher.h"
#include "dds_test_support.h"
#include "malformed.h"
#include "ros/cloud_checks.h"

namespace {

using namespace tarvo;
using test::Child;

class DdsBus : public ::testing::Test {
  protected:
    void SetUp() override { test::use_loopback_dds(); }

    // tarvo publish of one virtual camera that sees `scene`.
    static std::unique_ptr<Child> publisher(const std::string &scene, uint32_t domain,
                                            const std::string &ns) {
        return std::make_unique<Child>(std::vector<std::string>{
            TARVO_VCAM_PATH, "--scene", scene, "--", TARVO_CLI_PATH, "publish", "--domain",
            std::to_string(domain), "--namespace", ns});
    }

    static std::unique_ptr<dds::Subscriber> subscriber(uint32_t domain, const std::string &ns) {
        std::string error;
        auto sub = dds::Subscriber::create(domain, ns, error);
        EXPECT_TRUE(sub) << error;
        return sub;
    }

    static test::Latest receive(dds::Subscriber &sub, Child &pub) {
        test::Latest latest = test::receive_all(sub, [&] { return pub.running(); });
        EXPECT_TRUE(latest.all()) << pub.output();
        return latest;
    }
};

TEST_F(DdsBus, SubscriberSeesAFlatWallAtOneMetre) {
    const uint32_t domain = test::test_domain(0);
    const std::string ns = test::test_namespace("wall");
    auto pub = publisher("wall:1.0", domain, ns);
    auto sub = subscriber(domain, ns);
    ASSERT_TRUE(sub);
    const test::Latest got = receive(*sub, *pub);
    ASSERT_TRUE(got.all());

    const ros::Image &depth = got[dds::Topic::Depth].image;
    EXPECT_EQ(depth.encoding, "32FC1");
    ASSERT_EQ(depth.width, 320u);
    ASSERT_EQ(depth.height, 240u);
    ASSERT_EQ(depth.data.size(), size_t{320} * 240 * 4);
    EXPECT_NEAR(test::centre_depth(depth), 1.0, 0.01);
    EXPECT_EQ(depth.header.frame_id, ns + "_optical_frame");
    EXPECT_GT(depth.header.stamp.sec, 0);

    const ros::Image &gray = got[dds::Topic::Gray].image;
    EXPECT_EQ(gray.encoding, "mono16");
    EXPECT_EQ(gray.data.size(), size_t{320} * 240 * 2);

    const ros::CameraInfo &info = got[dds::Topic::CameraInfo].camera_info;
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.distortion_model, "plumb_bob");
    EXPECT_EQ(info.k, (std::array<double, 9>{210.783, 0, 157.262, 0, 204.817, 122.083, 0, 0, 1}));
    ASSERT_EQ(info.d.size(), 5u);
    EXPECT_EQ(info.d[0], -0.378924);

    const ros::PointCloud2 &cloud = got[dds::Topic::Points].cloud;
    EXPECT_FALSE(cloud.is_dense);
    ASSERT_EQ(cloud.fields.size(), 4u);
    EXPECT_EQ(cloud.fields[2].name, "z");
    EXPECT_EQ(cloud.fields[2].offset, 8u);
    test::expect_flat_wall(cloud, 1.0, size_t{320} * 240 * 99 / 100);
    EXPECT_EQ(pub->stop(), 0) << pub->output();
}

TEST_F(DdsBus, TwoCamerasInTwoNamespacesAtOnce) {
    const uint32_t domain = test::test_domain(1);
    const std::string near_ns = test::test_namespace("near"), far_ns = test::test_namespace("far");
    auto near_pub = publisher("wall:1.0", domain, near_ns);
    auto far_pub = publisher("wall:2.0", domain, far_ns);
    auto near_sub = subscriber(domain, near_ns);
    auto far_sub = subscriber(domain, far_ns);
    ASSERT_TRUE(near_sub && far_sub);
    const test::Latest near_got = receive(*near_sub, *near_pub);
    const test::Latest far_got = receive(*far_sub, *far_pub);
    ASSERT_TRUE(near_got.all() && far_got.all());
    EXPECT_NEAR(test::centre_depth(near_got[dds::Topic::Depth].image), 1.0, 0.01);
    EXPECT_NEAR(test::centre_depth(far_got[dds::Topic::Depth].image), 2.0, 0.02);
    EXPECT_EQ(far_got[dds::Topic::Points].cloud.header.frame_id, far_ns + "_optical_frame");
    EXPECT_EQ(near_pub->stop(), 0) << near_pub->output();
    EXPECT_EQ(far_pub->stop(), 0) << far_pub->output();
}

TEST_F(DdsBus, PublishingOutlivesSubscribersThatComeAndGo) {
    const uint32_t domain = test::test_domain(2);
    const std::string ns = test::test_namespace("churn");
    auto pub = publisher("wall:1.0", domain, ns);
    for (int round = 0; round < 3; ++round) {
        auto sub = subscriber(domain, ns);
        ASSERT_TRUE(sub);
        ASSERT_TRUE(receive(*sub, *pub).all()) << "round " << round;
    }
    EXPECT_TRUE(pub->running()) << pub->output();
    EXPECT_EQ(pub->stop(), 0) << pub->output();
}

TEST_F(DdsBus, NamesThatAreNoRosNamesAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {TARVO_CLI_PATH, "publish", "--namespace", "1cam"},
        {TARVO_CLI_PATH, "publish", "--namespace", "/tarvo"},
        {TARVO_CLI_PATH, "publish", "--domain", "233"},
        {TARVO_CLI_PATH, "subscribe", "a//b"},
    };
    for (const auto &args : cases) {
        Child tool(args);
        EXPECT_EQ(tool.wait(), 2) << args[1] << " " << args[3 - (args.size() == 3)] << ": "
                                  << tool.output();
    }
}

// A small, well-formed frame's content.
ros::FrameContent small_content(const std::string &ns) {
    tarvo_dev_t unopened{};
    ros::PixelRays rays;
    const tarvo_camera_param_t param = {2.0f, 1.5f, 2.0f, 2.0f, 1.0f};
    EXPECT_TRUE(rays.build(&unopened, 4, 3, &param));
    const std::vector<float> distance(12, 1.0f), gray(12, 500.0f);
    ros::FrameContent content;
    const ros::Header header{ros::time_from_ns(dds::wall_clock_ns()), ns + "_optical_frame"};
    ros::fill_depth_image(distance.data(), 4, 3, content.depth);
    ros::fill_gray_image(gray.data(), 4, 3, content.gray);
    const zr_lens_param_t lens = {2, 1.5, 2, 2, {}, 4, 3};
    ros::fill_camera_info(lens, 4, 3, content.camera_info);
    ros::fill_point_cloud(distance.data(), gray.data(), rays, content.points);
    content.depth.header = content.gray.header = content.camera_info.header =
        content.points.header = header;
    return content;
}

TEST_F(DdsBus, SubscribeSurvivesMalformedClouds) {
    const uint32_t domain = test::test_domain(3);
    const std::string ns = test::test_namespace("bad");
    const std::string ply = "dds_bus_test_" + std::to_string(getpid()) + ".ply";
    Child subscribe({TARVO_CLI_PATH, "subscribe", ns, "--domain", std::to_string(domain), "--count",
                     "2", "--save-ply", ply});
    std::string error;
    auto pub = dds::Publisher::create(domain, ns, error);
    ASSERT_TRUE(pub) << error;
    // Bytes that do not deserialise as a cloud, from a participant of their own.
    auto raw = dds::Participant::create(domain, error);
    ASSERT_TRUE(raw) << error;
    dds_qos_t *qos = dds::sensor_data_qos();
    const dds_entity_t topic =
        dds_create_topic(raw->get(), &sensor_msgs_msg_dds__PointCloud2__desc,
                         dds::dds_topic_name(ns, dds::Topic::Points).c_str(), qos, nullptr);
    ASSERT_GT(topic, 0);
    const dds_entity_t garbage_writer = dds_create_writer(raw->get(), topic, qos, nullptr);
    dds_delete_qos(qos);
    ASSERT_GT(garbage_writer, 0);
    uint8_t filler[8] = {};
    const sensor_msgs_msg_dds__PointCloud2_ garbage = {1, 2, 0x7ffffff0u, {8, 8, filler, false}};

    ros::FrameContent good = small_content(ns);
    ros::FrameContent short_data = good;  // claims more points than it carries
    short_data.points.width = 4000;
    short_data.points.row_step = 16 * 4000;
    ros::FrameContent no_z = good;
    no_z.points.fields.resize(2);
    while (subscribe.running()) {
        dds_write(garbage_writer, &garbage);
        pub->publish(short_data, true);
        pub->publish(no_z, true);
        pub->publish(good, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The bytes that are no cloud did reach the tool's reader.
    dds_publication_matched_status_t matched{};
    ASSERT_EQ(dds_get_publication_matched_status(garbage_writer, &matched), DDS_RETCODE_OK);
    EXPECT_GE(matched.total_count, 1u);
    EXPECT_EQ(subscribe.wait(), 0) << subscribe.output();
    const std::string out = subscribe.output();
    EXPECT_NE(out.find("ignoring a malformed cloud: data shorter than its rows and points"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("ignoring a malformed cloud: no float32 x, y and z fields"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("saved a cloud of 12 points"), std::string::npos) << out;
    std::ifstream saved(ply, std::ios::binary);
    std::string head(200, '\0');
    saved.read(head.data(), 200);
    EXPECT_NE(head.find("element vertex 12"), std::string::npos);
    std::remove(ply.c_str());
}

TEST_F(DdsBus, ViewerSkipsMalformedImages) {
    const uint32_t domain = test::test_domain(4);
    const std::string ns = test::test_namespace("badview");
    Child view({TARVO_CLI_PATH, "view", "--port", "0", "--source", "dds:" + ns, "--domain",
                std::to_string(domain)});
    std::string error;
    auto pub = dds::Publisher::create(domain, ns, error);
    ASSERT_TRUE(pub) << error;
    ros::FrameContent good = small_content(ns);
    ros::FrameContent wrong_encoding = good;
    wrong_encoding.depth.encoding = "16UC1";
    ros::FrameContent short_rows = good;  // claims more rows than it carries
    short_rows.depth.height = 3000;
    short_rows.gray.height = 3000;
    ros::FrameContent no_focal_length = good;
    no_focal_length.camera_info.k[0] = 0;
    const std::vector<std::string> expected = {
        "ignoring a malformed depth image: encoding '16UC1', expected 32FC1",
        "ignoring a malformed depth image: data shorter than its rows",
        "ignoring a malformed gray image: data shorter than its rows",
        "ignoring a malformed camera info: no focal lengths and principal point",
    };
    auto all_logged = [&] {
        const std::string out = view.output();
        return std::all_of(expected.begin(), expected.end(),
                           [&](const std::string &line) { return out.find(line) != out.npos; });
    };
    while (view.running() && !all_logged()) {
        for (const ros::FrameContent *c : {&wrong_encoding, &short_rows, &no_focal_length, &good})
            pub->publish(*c, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(all_logged()) << view.output();
    EXPECT_EQ(view.stop(), 0) << view.output();
}

}  // namespace
