// The DDS readers of one namespace.
#include "dds_subscriber.h"

#include <dds/ddsi/ddsi_serdata.h>

#include <algorithm>

#include "dds_messages.h"

namespace tarvo::dds {

namespace {

// A typed sample of the topic's C type, freed with its contents.
class Sample {
  public:
    explicit Sample(const dds_topic_descriptor_t &desc)
        : desc_(desc), data_(dds_alloc(desc.m_size)) {}
    ~Sample() { dds_sample_free(data_, &desc_, DDS_FREE_ALL); }
    Sample(const Sample &) = delete;
    Sample &operator=(const Sample &) = delete;
    template <typename T>
    const T &as() const {
        return *static_cast<const T *>(data_);
    }
    void *get() { return data_; }

  private:
    const dds_topic_descriptor_t &desc_;
    void *data_;
};

void copy_sample(Topic topic, const Sample &sample, Received &out) {
    switch (topic) {
        case Topic::Depth:
        case Topic::Gray:
            copy_from(sample.as<sensor_msgs_msg_dds__Image_>(), out.image);
            out.header = out.image.header;
            break;
        case Topic::CameraInfo:
            copy_from(sample.as<sensor_msgs_msg_dds__CameraInfo_>(), out.camera_info);
            out.header = out.camera_info.header;
            break;
        case Topic::Points:
            copy_from(sample.as<sensor_msgs_msg_dds__PointCloud2_>(), out.cloud);
            out.header = out.cloud.header;
            break;
    }
}

}  // namespace

std::unique_ptr<Subscriber> Subscriber::create(uint32_t domain, const std::string &ns,
                                               std::string &error) {
    if (!valid_namespace(ns)) {
        error = "namespace \"" + ns + "\" is not a ROS name";
        return nullptr;
    }
    std::unique_ptr<Subscriber> sub(new Subscriber);
    sub->participant_ = Participant::create(domain, error);
    if (!sub->participant_)
        return nullptr;
    const dds_entity_t participant = sub->participant_->get();
    sub->waitset_ = dds_create_waitset(participant);
    dds_qos_t *qos = sensor_data_qos();
    for (const Topic topic : kTopics) {
        const dds_entity_t t = create_topic(participant, ns, topic, qos);
        const dds_entity_t r = t < 0 ? t : dds_create_reader(participant, t, qos, nullptr);
        if (r < 0 || sub->waitset_ < 0) {
            error = "cannot subscribe to " + dds_topic_name(ns, topic) + ": " +
                    dds_strretcode(r < 0 ? r : sub->waitset_);
            dds_delete_qos(qos);
            return nullptr;
        }
        dds_set_status_mask(r, DDS_DATA_AVAILABLE_STATUS);
        dds_waitset_attach(sub->waitset_, r, static_cast<dds_attach_t>(topic));
        sub->readers_[static_cast<int>(topic)] = r;
    }
    dds_delete_qos(qos);
    return sub;
}

Subscriber::~Subscriber() = default;  // the participant takes its readers along

bool Subscriber::take_one(Topic topic, Received &out) {
    const dds_entity_t reader = readers_[static_cast<int>(topic)];
    struct ddsi_serdata *data = nullptr;
    dds_sample_info_t info{};
    if (dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE) != 1)
        return false;
    out = Received{};
    out.topic = topic;
    out.arrival_ns = wall_clock_ns();
    bool ok = info.valid_data;
    if (ok) {
        out.bytes = ddsi_serdata_size(data);
        Sample sample(topic_descriptor(topic));
        ok = ddsi_serdata_to_sample(data, sample.get(), nullptr, nullptr);
        if (ok)
            copy_sample(topic, sample, out);
        else
            out.bytes = 0;
    }
    ddsi_serdata_unref(data);
    return true;
}

int Subscriber::poll(int timeout_ms, const std::function<void(const Received &)> &on_sample) {
    dds_attach_t triggered[kTopicCount];
    dds_waitset_wait(waitset_, triggered, kTopicCount, DDS_MSECS(timeout_ms));
    int taken = 0;
    for (const Topic topic : kTopics) {
        Received received;
        while (take_one(topic, received)) {
            if (received.bytes == 0)
                continue;  // an instance state change or a sample that did not deserialise
            on_sample(received);
            ++taken;
        }
    }
    return taken;
}

uint32_t Subscriber::publishers() const {
    uint32_t most = 0;
    for (const dds_entity_t r : readers_) {
        dds_subscription_matched_status_t status{};
        if (dds_get_subscription_matched_status(r, &status) == DDS_RETCODE_OK)
            most = std::max(most, status.current_count);
    }
    return most;
}

}  // namespace tarvo::dds
