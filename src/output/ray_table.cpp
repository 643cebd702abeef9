#include "output/ray_table.h"

#include <cmath>
#include <new>

namespace tarvo {

namespace {

constexpr size_t kCachedTables = 4;
constexpr int kStartIterations = 5;
constexpr int kNewtonIterations = 30;
constexpr double kConverged = 1e-13;
constexpr double kAccepted = 1e-9;

// The distortion of (x, y) and its Jacobian [dxd/dx, dxd/dy, dyd/dx, dyd/dy].
void distort(const std::array<double, 5> &k, double x, double y, double &xd, double &yd,
             double (&jac)[4]) {
    const double k1 = k[0], k2 = k[1], p1 = k[2], p2 = k[3], k3 = k[4];
    const double r2 = x * x + y * y;
    const double kr = 1 + ((k3 * r2 + k2) * r2 + k1) * r2;
    const double g = 2 * k1 + (4 * k2 + 6 * k3 * r2) * r2;  // d kr / d(r^2) x 2
    xd = x * kr + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
    yd = y * kr + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
    jac[0] = kr + g * x * x + 2 * p1 * y + 6 * p2 * x;
    jac[1] = g * x * y + 2 * p1 * x + 2 * p2 * y;
    jac[2] = g * x * y + 2 * p1 * x + 2 * p2 * y;
    jac[3] = kr + g * y * y + 6 * p1 * y + 2 * p2 * x;
}

}  // namespace

bool undistort_normalised(const std::array<double, 5> &k, double xd, double yd, double &x,
                          double &y) {
    // A start near the answer from the plain fixed-point iteration, then Newton's method, which
    // stays accurate to the edge of a wide-angle field where the iteration alone drifts.
    x = xd, y = yd;
    for (int i = 0; i < kStartIterations; ++i) {
        const double r2 = x * x + y * y;
        const double icdist = 1 / (1 + ((k[4] * r2 + k[1]) * r2 + k[0]) * r2);
        const double dx = 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x);
        const double dy = k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y;
        x = (xd - dx) * icdist;
        y = (yd - dy) * icdist;
    }
    if (!std::isfinite(x) || !std::isfinite(y))
        x = xd, y = yd;
    double ex = 0, ey = 0, jac[4];
    for (int i = 0; i < kNewtonIterations; ++i) {
        double px, py;
        distort(k, x, y, px, py, jac);
        ex = px - xd, ey = py - yd;
        if (std::fabs(ex) + std::fabs(ey) < kConverged)
            break;
        const double det = jac[0] * jac[3] - jac[1] * jac[2];
        if (!(det > 0))
            return false;
        x -= (jac[3] * ex - jac[1] * ey) / det;
        y -= (jac[0] * ey - jac[2] * ex) / det;
    }
    double px, py;
    distort(k, x, y, px, py, jac);
    // An answer beyond a fold of the model (Jacobian not positive) is not the pixel's ray.
    return std::fabs(px - xd) + std::fabs(py - yd) < kAccepted &&
           jac[0] * jac[3] - jac[1] * jac[2] > 0;
}

std::unique_ptr<const RayTable> RayTable::build(const RayModel &model) {
    std::unique_ptr<RayTable> table;
    try {
        table = std::make_unique<RayTable>();
        table->rays_.resize(size_t{3} * model.width * model.height);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    table->model_ = model;
    bool pinhole = true;
    for (double k : model.dcoeff)
        pinhole = pinhole && k == 0;
    float *out = table->rays_.data();
    for (int v = 0; v < model.height; ++v) {
        for (int u = 0; u < model.width; ++u, out += 3) {
            double x = (u - model.cx) / model.fx, y = (v - model.cy) / model.fy;
            if (!pinhole && !undistort_normalised(model.dcoeff, x, y, x, y)) {
                out[0] = out[1] = out[2] = 0;
                continue;
            }
            const double norm = std::sqrt(x * x + y * y + 1);
            out[0] = static_cast<float>(x / norm);
            out[1] = static_cast<float>(y / norm);
            out[2] = static_cast<float>(1 / norm);
        }
    }
    return table;
}

RayTableCache &RayTableCache::instance() {
    static RayTableCache cache;
    return cache;
}

const RayTable *RayTableCache::find(const RayModel &model) const {
    for (const auto &t : tables_) {
        if (t->model() == model)
            return t.get();
    }
    return nullptr;
}

const RayTable *RayTableCache::insert(std::unique_ptr<const RayTable> table) {
    // Another thread may have built the same table meanwhile.
    if (const RayTable *cached = find(table->model()))
        return cached;
    try {
        tables_.insert(tables_.begin(), std::move(table));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (tables_.size() > kCachedTables)
        tables_.pop_back();
    return tables_.front().get();
}

}  // namespace tarvo
