// The DDS writers of one camera.
#include "dds_publisher.h"

#include <algorithm>

#include "dds_messages.h"

namespace tarvo::dds {

std::unique_ptr<Publisher> Publisher::create(uint32_t domain, const std::string &ns,
                                             std::string &error) {
    if (!valid_namespace(ns)) {
        error = "namespace \"" + ns + "\" is not a ROS name";
        return nullptr;
    }
    std::unique_ptr<Publisher> pub(new Publisher);
    pub->participant_ = Participant::create(domain, error);
    if (!pub->participant_)
        return nullptr;
    dds_qos_t *qos = sensor_data_qos();
    for (const Topic topic : kTopics) {
        const dds_entity_t t = create_topic(pub->participant_->get(), ns, topic, qos);
        const dds_entity_t w =
            t < 0 ? t : dds_create_writer(pub->participant_->get(), t, qos, nullptr);
        if (w < 0) {
            error = "cannot publish " + dds_topic_name(ns, topic) + ": " + dds_strretcode(w);
            dds_delete_qos(qos);
            return nullptr;
        }
        pub->writers_[static_cast<int>(topic)] = w;
    }
    dds_delete_qos(qos);
    return pub;
}

Publisher::~Publisher() = default;  // the participant takes its writers along

bool Publisher::publish(const ros::FrameContent &content, bool with_points) {
    auto writer = [this](Topic t) { return writers_[static_cast<int>(t)]; };
    bool ok = true;
    const sensor_msgs_msg_dds__Image_ depth = image_view(content.depth);
    ok &= dds_write(writer(Topic::Depth), &depth) >= 0;
    const sensor_msgs_msg_dds__CameraInfo_ info = camera_info_view(content.camera_info);
    ok &= dds_write(writer(Topic::CameraInfo), &info) >= 0;
    const sensor_msgs_msg_dds__Image_ gray = image_view(content.gray);
    ok &= dds_write(writer(Topic::Gray), &gray) >= 0;
    if (with_points) {
        const CloudView cloud(content.points);
        ok &= dds_write(writer(Topic::Points), &cloud.msg) >= 0;
    }
    return ok;
}

uint32_t Publisher::subscribers() const {
    uint32_t most = 0;
    for (const dds_entity_t w : writers_) {
        dds_publication_matched_status_t status{};
        if (dds_get_publication_matched_status(w, &status) == DDS_RETCODE_OK)
            most = std::max(most, status.current_count);
    }
    return most;
}

}  // namespace tarvo::dds
