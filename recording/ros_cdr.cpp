#include "ros_cdr.h"

#include <cstring>

namespace tarvo::recording {

#define TARVO_MSG_SEPARATOR \
    "================================================================================\n"
#define TARVO_HEADER_DEPS                                          \
    TARVO_MSG_SEPARATOR                                            \
    "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring " \
    "frame_id\n" TARVO_MSG_SEPARATOR "MSG: builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n"

const char *const kImageSchema =
    "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\nuint8 is_bigendian\n"
    "uint32 step\nuint8[] data\n" TARVO_HEADER_DEPS;

const char *const kCameraInfoSchema =
    "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\n"
    "float64[] d\nfloat64[9] k\nfloat64[9] r\nfloat64[12] p\nuint32 binning_x\n"
    "uint32 binning_y\nsensor_msgs/RegionOfInterest roi\n" TARVO_HEADER_DEPS TARVO_MSG_SEPARATOR
    "MSG: sensor_msgs/RegionOfInterest\nuint32 x_offset\nuint32 y_offset\nuint32 height\n"
    "uint32 width\nbool do_rectify\n";

const char *const kPointCloud2Schema =
    "std_msgs/Header header\nuint32 height\nuint32 width\nsensor_msgs/PointField[] fields\n"
    "bool is_bigendian\nuint32 point_step\nuint32 row_step\nuint8[] data\n"
    "bool is_dense\n" TARVO_HEADER_DEPS TARVO_MSG_SEPARATOR
    "MSG: sensor_msgs/PointField\nuint8 INT8=1\nuint8 UINT8=2\nuint8 INT16=3\nuint8 UINT16=4\n"
    "uint8 INT32=5\nuint8 UINT32=6\nuint8 FLOAT32=7\nuint8 FLOAT64=8\nstring name\n"
    "uint32 offset\nuint8 datatype\nuint32 count\n";

#undef TARVO_HEADER_DEPS
#undef TARVO_MSG_SEPARATOR

namespace {
constexpr size_t kEncapsulation = 4;
}

CdrWriter::CdrWriter() : bytes_{0x00, 0x01, 0x00, 0x00} {}

void CdrWriter::align(size_t n) {
    while ((bytes_.size() - kEncapsulation) % n != 0)
        bytes_.push_back(0);
}

void CdrWriter::put(const void *v, size_t n) {
    align(n);
    const auto *p = static_cast<const uint8_t *>(v);
    bytes_.insert(bytes_.end(), p, p + n);
}

void CdrWriter::str(const std::string &s) {
    u32(static_cast<uint32_t>(s.size() + 1));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    bytes_.push_back(0);
}

void CdrWriter::octets(const std::vector<uint8_t> &v) {
    u32(static_cast<uint32_t>(v.size()));
    bytes_.insert(bytes_.end(), v.begin(), v.end());
}

void CdrWriter::f64_seq(const std::vector<double> &v) {
    u32(static_cast<uint32_t>(v.size()));
    f64_array(v.data(), v.size());
}

void CdrWriter::f64_array(const double *v, size_t n) {
    for (size_t i = 0; i < n; ++i)
        f64(v[i]);
}

namespace {

void serialize_header(const ros::Header &h, CdrWriter &out) {
    out.i32(h.stamp.sec);
    out.u32(h.stamp.nanosec);
    out.str(h.frame_id);
}

}  // namespace

void serialize(const ros::Image &msg, CdrWriter &out) {
    serialize_header(msg.header, out);
    out.u32(msg.height);
    out.u32(msg.width);
    out.str(msg.encoding);
    out.u8(msg.is_bigendian);
    out.u32(msg.step);
    out.octets(msg.data);
}

void serialize(const ros::CameraInfo &msg, CdrWriter &out) {
    serialize_header(msg.header, out);
    out.u32(msg.height);
    out.u32(msg.width);
    out.str(msg.distortion_model);
    out.f64_seq(msg.d);
    out.f64_array(msg.k.data(), msg.k.size());
    out.f64_array(msg.r.data(), msg.r.size());
    out.f64_array(msg.p.data(), msg.p.size());
    out.u32(msg.binning_x);
    out.u32(msg.binning_y);
    out.u32(msg.roi.x_offset);
    out.u32(msg.roi.y_offset);
    out.u32(msg.roi.height);
    out.u32(msg.roi.width);
    out.u8(msg.roi.do_rectify ? 1 : 0);
}

void serialize(const ros::PointCloud2 &msg, CdrWriter &out) {
    serialize_header(msg.header, out);
    out.u32(msg.height);
    out.u32(msg.width);
    out.u32(static_cast<uint32_t>(msg.fields.size()));
    for (const ros::PointField &f : msg.fields) {
        out.str(f.name);
        out.u32(f.offset);
        out.u8(f.datatype);
        out.u32(f.count);
    }
    out.u8(msg.is_bigendian ? 1 : 0);
    out.u32(msg.point_step);
    out.u32(msg.row_step);
    out.octets(msg.data);
    out.u8(msg.is_dense ? 1 : 0);
}

}  // namespace tarvo::recording
