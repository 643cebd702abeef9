// Publishes a camera's ROS content on the DDS bus under ROS 2's names: NS/depth/image_raw,
// NS/depth/camera_info, NS/gray/image_raw and NS/points, with the sensor-data QoS. Embeddable:
// one Publisher per camera, any number per process.
#pragma once

#include <memory>
#include <string>

#include "dds_topics.h"
#include "ros_content.h"

namespace tarvo::dds {

class Publisher {
  public:
    // Joins `domain` and creates the writers of the namespace; empty with `error` set on
    // failure (a namespace that is no ROS name, a domain DDS refuses).
    static std::unique_ptr<Publisher> create(uint32_t domain, const std::string &ns,
                                             std::string &error);
    ~Publisher();
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    // Writes depth, camera info, gray and, with `with_points`, the cloud. False when DDS refused
    // a sample (the others are still written).
    bool publish(const ros::FrameContent &content, bool with_points);

    // The subscribers matched on the busiest topic.
    uint32_t subscribers() const;

  private:
    Publisher() = default;
    std::unique_ptr<Participant> participant_;
    dds_entity_t writers_[kTopicCount] = {};
};

}  // namespace tarvo::dds
