// Undistortion maps: building them from lens parameters, resampling through them, and the
// immutable map object the EPC driver swaps whole when the lens parameters change.
#pragma once

#include <tarvo/lens.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace tarvo {

// Image sides a lens parameter set may describe: the undistorted image needs an extent to scale
// its field of view into.
inline constexpr int32_t kMinLensSide = 2;
inline constexpr int32_t kMaxLensSide = 4096;

// Pinhole camera matrix of an image: principal point and focal lengths, pixels.
struct CameraMatrix {
    double cx = 0;
    double cy = 0;
    double fx = 0;
    double fy = 0;
};

// Whether a parameter set can describe an image (logged with `tag` when not).
bool lens_params_usable(const zr_lens_param_t &lens, const char *tag);

// Fills map_x and map_y (img_w x img_h each) for `lens`; returns the undistorted image's camera
// matrix and its valid rectangle, or false for a degenerate distortion (logged with `tag`).
bool compute_undistort_map(const zr_lens_param_t &lens, float *map_x, float *map_y,
                           CameraMatrix &undistorted, int32_t (&valid_rect)[4], const char *tag);

// A built map that never changes.
class LensMap {
  public:
    // Null when the parameters are unusable or memory runs out (logged with `tag`).
    static std::unique_ptr<const LensMap> build(const zr_lens_param_t &lens, const char *tag);

    const zr_calib_len_t &record() const { return record_; }
    // Camera matrix of the undistorted image, at the map's size.
    const CameraMatrix &undistorted_camera() const { return camera_; }
    // Whether images of width x height are resampled through this map.
    bool serves(int width, int height) const;

    // As zr_calib_len_undistort; at the map's own size through the source positions resolved
    // once when the map was built.
    bool undistort(float *dst, int dst_len, const float *src, int width, int height,
                   float fill) const;

    LensMap(const LensMap &) = delete;
    LensMap &operator=(const LensMap &) = delete;

  private:
    LensMap() = default;

    std::vector<float> map_x_;
    std::vector<float> map_y_;
    std::vector<int32_t> source_;  // source pixel of each pixel at the map's size, -1: none
    zr_calib_len_t record_{};      // views map_x_ and map_y_
    CameraMatrix camera_;
};

// The map a driver undistorts with. A new map is built aside and swapped in whole; a decode
// uses the map under a shared lock, so it never sees a freed or half-built one.
class SharedLensMap {
  public:
    // Builds a map for `lens` and replaces the current one; on failure the current one is
    // dropped (logged with `tag`) and false returned.
    bool rebuild(const zr_lens_param_t &lens, const char *tag);
    void clear();

    // Runs f(const LensMap *) with the current map, null when there is none.
    template <typename F>
    auto with_map(F &&f) const {
        const std::shared_lock reader(lock_);
        return f(static_cast<const LensMap *>(map_.get()));
    }

  private:
    mutable std::shared_mutex lock_;
    std::unique_ptr<const LensMap> map_;  // guarded by lock_
};

}  // namespace tarvo
