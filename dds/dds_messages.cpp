// ROS content structs to and from the idlc types.
#include "dds_messages.h"

namespace tarvo::dds {

namespace {

// The C types name strings and buffers without const; dds_write only reads them.
char *text(const std::string &s) {
    return const_cast<char *>(s.c_str());
}

template <typename T>
T *buffer(const std::vector<T> &v) {
    return const_cast<T *>(v.data());
}

template <typename Seq, typename T>
Seq sequence_view(const std::vector<T> &v) {
    Seq seq{};
    seq._maximum = seq._length = static_cast<uint32_t>(v.size());
    seq._buffer = buffer(v);
    seq._release = false;
    return seq;
}

std_msgs_msg_dds__Header_ header_view(const ros::Header &h) {
    return {{h.stamp.sec, h.stamp.nanosec}, text(h.frame_id)};
}

std::string string_of(const char *s) {
    return s != nullptr ? std::string(s) : std::string();
}

template <typename Seq>
auto vector_of(const Seq &seq) {
    using T = std::remove_pointer_t<decltype(seq._buffer)>;
    return seq._buffer != nullptr ? std::vector<T>(seq._buffer, seq._buffer + seq._length)
                                  : std::vector<T>();
}

ros::Header header_of(const std_msgs_msg_dds__Header_ &h) {
    return {{h.stamp.sec, h.stamp.nanosec}, string_of(h.frame_id)};
}

}  // namespace

sensor_msgs_msg_dds__Image_ image_view(const ros::Image &image) {
    sensor_msgs_msg_dds__Image_ msg{};
    msg.header = header_view(image.header);
    msg.height = image.height;
    msg.width = image.width;
    msg.encoding = text(image.encoding);
    msg.is_bigendian = image.is_bigendian;
    msg.step = image.step;
    msg.data = sequence_view<dds_sequence_octet>(image.data);
    return msg;
}

sensor_msgs_msg_dds__CameraInfo_ camera_info_view(const ros::CameraInfo &info) {
    sensor_msgs_msg_dds__CameraInfo_ msg{};
    msg.header = header_view(info.header);
    msg.height = info.height;
    msg.width = info.width;
    msg.distortion_model = text(info.distortion_model);
    msg.d = sequence_view<dds_sequence_double>(info.d);
    std::copy(info.k.begin(), info.k.end(), msg.k);
    std::copy(info.r.begin(), info.r.end(), msg.r);
    std::copy(info.p.begin(), info.p.end(), msg.p);
    msg.binning_x = info.binning_x;
    msg.binning_y = info.binning_y;
    msg.roi = {info.roi.x_offset, info.roi.y_offset, info.roi.height, info.roi.width,
               info.roi.do_rectify};
    return msg;
}

CloudView::CloudView(const ros::PointCloud2 &cloud) {
    for (const ros::PointField &f : cloud.fields)
        fields.push_back({text(f.name), f.offset, f.datatype, f.count});
    msg.header = header_view(cloud.header);
    msg.height = cloud.height;
    msg.width = cloud.width;
    msg.fields = sequence_view<dds_sequence_sensor_msgs_msg_dds__PointField_>(fields);
    msg.is_bigendian = cloud.is_bigendian;
    msg.point_step = cloud.point_step;
    msg.row_step = cloud.row_step;
    msg.data = sequence_view<dds_sequence_octet>(cloud.data);
    msg.is_dense = cloud.is_dense;
}

void copy_from(const sensor_msgs_msg_dds__Image_ &msg, ros::Image &out) {
    out.header = header_of(msg.header);
    out.height = msg.height;
    out.width = msg.width;
    out.encoding = string_of(msg.encoding);
    out.is_bigendian = msg.is_bigendian;
    out.step = msg.step;
    out.data = vector_of(msg.data);
}

void copy_from(const sensor_msgs_msg_dds__CameraInfo_ &msg, ros::CameraInfo &out) {
    out.header = header_of(msg.header);
    out.height = msg.height;
    out.width = msg.width;
    out.distortion_model = string_of(msg.distortion_model);
    out.d = vector_of(msg.d);
    std::copy(msg.k, msg.k + 9, out.k.begin());
    std::copy(msg.r, msg.r + 9, out.r.begin());
    std::copy(msg.p, msg.p + 12, out.p.begin());
    out.binning_x = msg.binning_x;
    out.binning_y = msg.binning_y;
    out.roi = {msg.roi.x_offset, msg.roi.y_offset, msg.roi.height, msg.roi.width,
               msg.roi.do_rectify};
}

void copy_from(const sensor_msgs_msg_dds__PointCloud2_ &msg, ros::PointCloud2 &out) {
    out.header = header_of(msg.header);
    out.height = msg.height;
    out.width = msg.width;
    out.fields.clear();
    for (uint32_t i = 0; msg.fields._buffer != nullptr && i < msg.fields._length; ++i) {
        const sensor_msgs_msg_dds__PointField_ &f = msg.fields._buffer[i];
        out.fields.push_back({string_of(f.name), f.offset, f.datatype, f.count});
    }
    out.is_bigendian = msg.is_bigendian;
    out.point_step = msg.point_step;
    out.row_step = msg.row_step;
    out.data = vector_of(msg.data);
    out.is_dense = msg.is_dense;
}

}  // namespace tarvo::dds
