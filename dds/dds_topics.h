// The DDS side of ROS 2's naming and QoS: topic names, the sensor-data QoS, and a participant
// that is deleted with its object.
#pragma once

#include <dds/dds.h>

#include <cstdint>
#include <memory>
#include <string>

namespace tarvo::dds {

// What a camera publishes; the ROS topic is NS/<suffix>.
enum class Topic { Depth, CameraInfo, Gray, Points };
inline constexpr Topic kTopics[] = {Topic::Depth, Topic::CameraInfo, Topic::Gray, Topic::Points};
inline constexpr int kTopicCount = 4;

// "depth/image_raw", "depth/camera_info", "gray/image_raw", "points".
const char *topic_suffix(Topic topic);

// True for a ROS name without a leading slash: tokens of letters, digits and underscores, not
// starting with a digit, separated by single slashes ("tarvo", "robot1/front").
bool valid_namespace(const std::string &ns);

// The DDS topic of a ROS topic of the namespace: "rt/NS/depth/image_raw".
std::string dds_topic_name(const std::string &ns, Topic topic);

// The default frame id of a namespace: "NS_optical_frame", slashes turned into underscores.
std::string optical_frame_id(const std::string &ns);

// ROS 2's sensor-data QoS: best effort, volatile, keep last 5, and XCDR1 on the wire. The caller
// deletes it (dds_delete_qos).
dds_qos_t *sensor_data_qos();

// The domain id of ROS_DOMAIN_ID, or 0 when it is unset or not a number from 0 to 232.
uint32_t default_domain_id();

// A DDS participant; deleting it deletes every entity under it.
class Participant {
  public:
    // Empty with `error` set when the participant cannot be created.
    static std::unique_ptr<Participant> create(uint32_t domain, std::string &error);
    ~Participant();
    Participant(const Participant &) = delete;
    Participant &operator=(const Participant &) = delete;
    dds_entity_t get() const { return entity_; }

  private:
    explicit Participant(dds_entity_t entity) : entity_(entity) {}
    dds_entity_t entity_;
};

// The topic `topic` of the namespace with its type, on the participant; negative on failure.
dds_entity_t create_topic(dds_entity_t participant, const std::string &ns, Topic topic,
                          const dds_qos_t *qos);

// The idlc type descriptor of a topic.
const dds_topic_descriptor_t &topic_descriptor(Topic topic);

// Nanoseconds of the wall clock (CLOCK_REALTIME).
uint64_t wall_clock_ns();

}  // namespace tarvo::dds
