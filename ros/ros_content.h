// ROS 2 message content from the camera's decoded frames, as plain C++ structs that mirror
// sensor_msgs (Image, CameraInfo, PointCloud2) field for field. Whoever puts them on a wire (DDS,
// a recording) copies the fields into its own types; nothing here depends on a middleware.
//
// Conventions: depth is 32FC1 in metres along the pixel's ray with NaN for every pixel without a
// valid distance (REP 118); gray is mono16; the organized cloud has one point per pixel (x, y, z,
// intensity as float32 at offsets 0, 4, 8, 12, NaN coordinates for invalid pixels, is_dense false)
// in the optical frame of REP 103 (x right, y down, z forward), the axes the library's point
// clouds use. Data is little-endian, as on every host the library runs on.
#pragma once

#include <tarvo/tarvo.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::ros {

// builtin_interfaces/Time
struct Time {
    int32_t sec = 0;
    uint32_t nanosec = 0;
};

// std_msgs/Header
struct Header {
    Time stamp;
    std::string frame_id;
};

// sensor_msgs/Image
struct Image {
    Header header;
    uint32_t height = 0;
    uint32_t width = 0;
    std::string encoding;
    uint8_t is_bigendian = 0;
    uint32_t step = 0;  // bytes per row
    std::vector<uint8_t> data;
};

// sensor_msgs/RegionOfInterest
struct RegionOfInterest {
    uint32_t x_offset = 0;
    uint32_t y_offset = 0;
    uint32_t height = 0;
    uint32_t width = 0;
    bool do_rectify = false;
};

// sensor_msgs/CameraInfo
struct CameraInfo {
    Header header;
    uint32_t height = 0;
    uint32_t width = 0;
    std::string distortion_model;
    std::vector<double> d;
    std::array<double, 9> k{};
    std::array<double, 9> r{};
    std::array<double, 12> p{};
    uint32_t binning_x = 0;
    uint32_t binning_y = 0;
    RegionOfInterest roi;
};

// sensor_msgs/PointField
struct PointField {
    static constexpr uint8_t kFloat32 = 7;
    std::string name;
    uint32_t offset = 0;
    uint8_t datatype = 0;
    uint32_t count = 0;
};

// sensor_msgs/PointCloud2
struct PointCloud2 {
    Header header;
    uint32_t height = 0;
    uint32_t width = 0;
    std::vector<PointField> fields;
    bool is_bigendian = false;
    uint32_t point_step = 0;
    uint32_t row_step = 0;
    std::vector<uint8_t> data;
    bool is_dense = false;
};

// Bytes per point of the organized cloud: x, y, z, intensity.
inline constexpr uint32_t kPointStep = 16;

// A stamp from nanoseconds since the Unix epoch (the frame's wall-clock arrival time).
Time time_from_ns(uint64_t ns);

// True for a distance the sensor measured: finite and 0 < d < 60 m. The invalid codes (65.3,
// 65.4, 65.5) and the unseen pixels of an undistorted image (65.5) are not.
bool valid_distance(float d);

// One decoded frame: distance (metres, the library's invalid codes kept) and gray, row-major.
struct DecodedFrame {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> distance;
    std::vector<float> gray;
};

// Decodes the raw frame (as captured, `info` its description) into `out`; false with a log line
// of the library when the driver cannot decode it.
bool decode_frame(tarvo_dev_t *dev, const uint8_t *raw, uint32_t raw_len,
                  const tarvo_frame_info_t &info, DecodedFrame &out);

// The depth image: 32FC1 metres, NaN for invalid pixels. `distance` holds width x height values.
void fill_depth_image(const float *distance, uint32_t width, uint32_t height, Image &out);

// The gray image as mono16: amplitudes rounded and clamped to 0..65535 (NaN gives 0).
void fill_gray_image(const float *gray, uint32_t width, uint32_t height, Image &out);

// CameraInfo of an image of width x height from the lens parameters the image was decoded with
// (see epc_lens_param_get: with undistortion on, the undistorted camera and zero distortion):
// K from the focal lengths and principal point, D as plumb_bob (k1, k2, p1, p2, k3), R identity,
// P = [K | 0].
void fill_camera_info(const zr_lens_param_t &lens, uint32_t width, uint32_t height,
                      CameraInfo &out);

// The lens parameters the device's driver decodes images of width x height with; false when the
// device has no driver or lens parameters for that size.
bool lens_for_image(tarvo_dev_t *dev, uint32_t width, uint32_t height, zr_lens_param_t &out);

// The unit viewing ray of every pixel of an image, as the library's point clouds use them (so a
// flat wall comes out flat). A pixel the lens model cannot trace back has no ray (NaN).
class PixelRays {
  public:
    // With `param` a pinhole camera (its dist_factor ignored), otherwise the device driver's lens
    // model for the size. False when the library gives no points for them.
    bool build(tarvo_dev_t *dev, uint32_t width, uint32_t height,
               const tarvo_camera_param_t *param = nullptr);

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    const float *rays() const { return rays_.data(); }  // x, y, z per pixel, row-major

  private:
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::vector<float> rays_;
};

// The pixel rays of a device's lens model for one image size, built again only when the lens model
// or the size changes (undistortion switched, another lens file). Not thread-safe.
class LensRays {
  public:
    // The rays of images of width x height decoded with `lens` (see lens_for_image); null when
    // the library gives no points for them.
    const PixelRays *get(tarvo_dev_t *dev, const zr_lens_param_t &lens, uint32_t width,
                         uint32_t height);

  private:
    zr_lens_param_t lens_{};
    bool have_rays_ = false;
    PixelRays rays_;
};

// x, y, z of every pixel of the rays' size (3 floats per pixel, row-major): its distance along
// its ray, NaN where the pixel has no valid distance or no ray. The coordinates of
// fill_point_cloud, for readers that want the points without the message.
void points_along_rays(const float *distance, const PixelRays &rays, float *xyz);

// The organized cloud: height x width points of the rays' size; `distance` and `gray` hold one
// value per pixel. Invalid pixels (and pixels without a ray) get NaN x, y, z; intensity is the
// gray amplitude.
void fill_point_cloud(const float *distance, const float *gray, const PixelRays &rays,
                      PointCloud2 &out);

// Everything published for one frame.
struct FrameContent {
    Image depth;
    Image gray;
    CameraInfo camera_info;
    PointCloud2 points;
};

// Turns decoded frames of one device into FrameContent, keeping the pixel rays until the lens
// model or the image size changes (undistortion switched, another lens file). Not thread-safe:
// one converter per capture thread.
class FrameConverter {
  public:
    // Fills `out` (points only with `with_points`) and stamps every message with `header`.
    // False when the device gives no lens parameters or rays for the frame's size.
    bool convert(tarvo_dev_t *dev, const DecodedFrame &frame, const Header &header,
                 bool with_points, FrameContent &out);

  private:
    LensRays rays_;
};

}  // namespace tarvo::ros
