// Between the ROS content structs and the C types idlc generates from the project's IDL. The
// views borrow the content's buffers (nothing is copied before dds_write serialises them); the
// copies back own theirs.
#pragma once

#include <vector>

#include "ros_content.h"
#include "ros_messages.h"

namespace tarvo::dds {

// A sample that points into `image`; valid while `image` lives unchanged.
sensor_msgs_msg_dds__Image_ image_view(const ros::Image &image);
sensor_msgs_msg_dds__CameraInfo_ camera_info_view(const ros::CameraInfo &info);

struct CloudView {
    explicit CloudView(const ros::PointCloud2 &cloud);
    CloudView(const CloudView &) = delete;
    CloudView &operator=(const CloudView &) = delete;
    sensor_msgs_msg_dds__PointCloud2_ msg{};
    std::vector<sensor_msgs_msg_dds__PointField_> fields;
};

void copy_from(const sensor_msgs_msg_dds__Image_ &msg, ros::Image &out);
void copy_from(const sensor_msgs_msg_dds__CameraInfo_ &msg, ros::CameraInfo &out);
void copy_from(const sensor_msgs_msg_dds__PointCloud2_ &msg, ros::PointCloud2 &out);

}  // namespace tarvo::dds
