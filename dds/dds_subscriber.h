// Receives a namespace's topics (for `tarvo subscribe`, the viewer and tests): every sample with
// its header, its arrival time and its serialised size, decoded into the ROS content structs.
// Samples that do not deserialise are dropped by DDS before they get here.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "dds_topics.h"
#include "ros_content.h"

namespace tarvo::dds {

struct Received {
    Topic topic = Topic::Depth;
    ros::Header header;
    uint64_t arrival_ns = 0;  // wall clock when taken from DDS
    uint32_t bytes = 0;       // serialised size, encapsulation header included
    ros::Image image;         // Depth and Gray
    ros::CameraInfo camera_info;
    ros::PointCloud2 cloud;
};

class Subscriber {
  public:
    static std::unique_ptr<Subscriber> create(uint32_t domain, const std::string &ns,
                                              std::string &error);
    ~Subscriber();
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    // Waits up to timeout_ms for samples and hands each to `on_sample`; returns how many.
    int poll(int timeout_ms, const std::function<void(const Received &)> &on_sample);

    // The publishers matched on the busiest topic.
    uint32_t publishers() const;

  private:
    Subscriber() = default;
    bool take_one(Topic topic, Received &out);

    std::unique_ptr<Participant> participant_;
    dds_entity_t readers_[kTopicCount] = {};
    dds_entity_t waitset_ = 0;
};

}  // namespace tarvo::dds
