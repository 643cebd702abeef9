// Topic names, QoS and participants of ROS 2-compatible DDS.
#include "dds_topics.h"

#include <time.h>

#include <cctype>
#include <cstdlib>

#include "ros_messages.h"

namespace tarvo::dds {

const char *topic_suffix(Topic topic) {
    switch (topic) {
        case Topic::Depth:
            return "depth/image_raw";
        case Topic::CameraInfo:
            return "depth/camera_info";
        case Topic::Gray:
            return "gray/image_raw";
        case Topic::Points:
            return "points";
    }
    return "";
}

const dds_topic_descriptor_t &topic_descriptor(Topic topic) {
    switch (topic) {
        case Topic::CameraInfo:
            return sensor_msgs_msg_dds__CameraInfo__desc;
        case Topic::Points:
            return sensor_msgs_msg_dds__PointCloud2__desc;
        case Topic::Depth:
        case Topic::Gray:
            break;
    }
    return sensor_msgs_msg_dds__Image__desc;
}

bool valid_namespace(const std::string &ns) {
    bool token_start = true;
    for (const char c : ns) {
        if (c == '/') {
            if (token_start)
                return false;  // empty token: leading or double slash
            token_start = true;
            continue;
        }
        const bool letter = std::isalpha(static_cast<unsigned char>(c)) || c == '_';
        const bool digit = std::isdigit(static_cast<unsigned char>(c));
        if (!letter && !(digit && !token_start))
            return false;
        token_start = false;
    }
    return !ns.empty() && !token_start;
}

std::string dds_topic_name(const std::string &ns, Topic topic) {
    return "rt/" + ns + "/" + topic_suffix(topic);
}

std::string optical_frame_id(const std::string &ns) {
    std::string id = ns + "_optical_frame";
    for (char &c : id)
        if (c == '/')
            c = '_';
    return id;
}

dds_qos_t *sensor_data_qos() {
    dds_qos_t *qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos, 1, &xcdr1);
    return qos;
}

uint32_t default_domain_id() {
    const char *text = std::getenv("ROS_DOMAIN_ID");
    if (text == nullptr || *text == '\0')
        return 0;
    char *end = nullptr;
    const unsigned long id = std::strtoul(text, &end, 10);
    return *end == '\0' && id <= 232 ? static_cast<uint32_t>(id) : 0;
}

std::unique_ptr<Participant> Participant::create(uint32_t domain, std::string &error) {
    const dds_entity_t entity = dds_create_participant(domain, nullptr, nullptr);
    if (entity < 0) {
        error = std::string("cannot join DDS domain ") + std::to_string(domain) + ": " +
                dds_strretcode(entity);
        return nullptr;
    }
    return std::unique_ptr<Participant>(new Participant(entity));
}

Participant::~Participant() {
    dds_delete(entity_);
}

dds_entity_t create_topic(dds_entity_t participant, const std::string &ns, Topic topic,
                          const dds_qos_t *qos) {
    return dds_create_topic(participant, &topic_descriptor(topic),
                            dds_topic_name(ns, topic).c_str(), qos, nullptr);
}

uint64_t wall_clock_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace tarvo::dds
