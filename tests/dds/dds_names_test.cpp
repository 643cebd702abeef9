// ROS 2 names on DDS: which namespaces are ROS names, the DDS topics and frame ids made of them,
// and the domain id from ROS_DOMAIN_ID.
#include <gtest/gtest.h>

#include <cstdlib>

#include "dds_topics.h"

namespace {

using namespace tarvo::dds;

TEST(DdsNames, NamespacesAreRosNames) {
    struct Case {
        const char *ns;
        bool valid;
    };
    const Case cases[] = {
        {"tarvo", true},   {"robot1/front", true}, {"_x", true},   {"a_b/c_2", true},
        {"", false},       {"/tarvo", false},      {"a/", false},  {"a//b", false},
        {"1cam", false},   {"a/2b", false},        {"a-b", false}, {"a b", false},
        {"rt/x.y", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(valid_namespace(c.ns), c.valid) << '"' << c.ns << '"';
}

TEST(DdsNames, TopicsAndFrameIdsFollowRos2) {
    EXPECT_EQ(dds_topic_name("tarvo", Topic::Depth), "rt/tarvo/depth/image_raw");
    EXPECT_EQ(dds_topic_name("tarvo", Topic::CameraInfo), "rt/tarvo/depth/camera_info");
    EXPECT_EQ(dds_topic_name("tarvo", Topic::Gray), "rt/tarvo/gray/image_raw");
    EXPECT_EQ(dds_topic_name("robot/front", Topic::Points), "rt/robot/front/points");
    EXPECT_EQ(optical_frame_id("robot/front"), "robot_front_optical_frame");
    EXPECT_STREQ(topic_descriptor(Topic::Points).m_typename,
                 "sensor_msgs::msg::dds_::PointCloud2_");
    EXPECT_STREQ(topic_descriptor(Topic::CameraInfo).m_typename,
                 "sensor_msgs::msg::dds_::CameraInfo_");
    EXPECT_STREQ(topic_descriptor(Topic::Gray).m_typename, "sensor_msgs::msg::dds_::Image_");
}

TEST(DdsNames, DomainFromRosDomainId) {
    struct Case {
        const char *value;  // null: unset
        uint32_t domain;
    };
    const Case cases[] = {{nullptr, 0}, {"", 0},   {"42", 42}, {"232", 232},
                          {"233", 0},   {"-1", 0}, {"7x", 0},  {"abc", 0}};
    for (const Case &c : cases) {
        if (c.value != nullptr)
            setenv("ROS_DOMAIN_ID", c.value, 1);
        else
            unsetenv("ROS_DOMAIN_ID");
        EXPECT_EQ(default_domain_id(), c.domain) << (c.value ? c.value : "unset");
    }
    unsetenv("ROS_DOMAIN_ID");
}

}  // namespace
