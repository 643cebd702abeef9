// ROS 2 messages for a recording: the ros2msg schema texts of sensor_msgs Image, CameraInfo and
// PointCloud2, and their serialisation as CDR (XCDR1, little-endian) from the content structs of
// tarvo::ros.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ros_content.h"

namespace tarvo::recording {

// ROS 2 message definition texts with their dependencies, as MCAP's "ros2msg" encoding wants.
extern const char *const kImageSchema;
extern const char *const kCameraInfoSchema;
extern const char *const kPointCloud2Schema;

// CDR with the 4-byte encapsulation header; every primitive aligned to its size, counted from
// the end of that header.
class CdrWriter {
  public:
    CdrWriter();
    void u8(uint8_t v) { bytes_.push_back(v); }
    void u32(uint32_t v) { put(&v, 4); }
    void i32(int32_t v) { put(&v, 4); }
    void f64(double v) { put(&v, 8); }
    void str(const std::string &s);              // u32 length with the NUL, bytes, NUL
    void octets(const std::vector<uint8_t> &v);  // u32 count, bytes
    void f64_seq(const std::vector<double> &v);  // u32 count, doubles
    void f64_array(const double *v, size_t n);   // no count

    std::vector<uint8_t> &bytes() { return bytes_; }

  private:
    void align(size_t n);
    void put(const void *v, size_t n);
    std::vector<uint8_t> bytes_;
};

void serialize(const ros::Image &msg, CdrWriter &out);
void serialize(const ros::CameraInfo &msg, CdrWriter &out);
void serialize(const ros::PointCloud2 &msg, CdrWriter &out);

}  // namespace tarvo::recording
