// Viewing rays of every pixel of an image, for turning distances into points. A table is built
// once per camera model and image size and shared by every frame that uses them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace tarvo {

// A camera model at one image size: pinhole with the lens' distortion (all zero for a pinhole).
struct RayModel {
    double cx = 0;
    double cy = 0;
    double fx = 0;
    double fy = 0;
    std::array<double, 5> dcoeff{};  // k1, k2, p1, p2, k3
    int width = 0;
    int height = 0;

    bool operator==(const RayModel &) const = default;
};

class RayTable {
  public:
    // Null when memory runs out. fx and fy must be finite and nonzero, width and height positive.
    static std::unique_ptr<const RayTable> build(const RayModel &model);

    const RayModel &model() const { return model_; }
    // Unit ray (x, y, z) of every pixel, row-major; z is 0 for a pixel without a ray (one that
    // the lens model cannot trace back).
    const float *rays() const { return rays_.data(); }

  private:
    RayModel model_;
    std::vector<float> rays_;
};

// The tables of the last few models used. A table is used under the cache's lock, shared by its
// readers, so it is never dropped while a reader works with it.
class RayTableCache {
  public:
    // Runs f(const RayTable &) with the table for `model`, built on first use; false (f not run)
    // when memory runs out.
    template <typename F>
    bool with_table(const RayModel &model, F &&f);

    static RayTableCache &instance();

  private:
    const RayTable *find(const RayModel &model) const;  // with lock_ held
    // Inserts a new table as the newest, dropping the oldest beyond the limit; with lock_ held
    // exclusively. Returns the cached table for the model.
    const RayTable *insert(std::unique_ptr<const RayTable> table);

    mutable std::shared_mutex lock_;
    std::vector<std::unique_ptr<const RayTable>> tables_;  // guarded by lock_; newest first
};

template <typename F>
bool RayTableCache::with_table(const RayModel &model, F &&f) {
    {
        const std::shared_lock reader(lock_);
        if (const RayTable *table = find(model)) {
            f(*table);
            return true;
        }
    }
    // Built outside the lock: tables of other models stay available meanwhile.
    std::unique_ptr<const RayTable> built = RayTable::build(model);
    if (!built)
        return false;
    const std::unique_lock writer(lock_);
    const RayTable *table = insert(std::move(built));
    if (table == nullptr)
        return false;
    f(*table);
    return true;
}

// Normalised undistorted coordinates (x, y) whose distortion is (xd, yd); false where the lens
// model folds (no unique preimage).
bool undistort_normalised(const std::array<double, 5> &k, double xd, double yd, double &x,
                          double &y);

}  // namespace tarvo
