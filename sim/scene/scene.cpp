#include "scene.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace tarvo::scene {
namespace {

struct Ray {
    double x, y, z;  // unit direction
};

Ray ray_of(const Camera &cam, int u, int v) {
    const double x = (u - cam.cx()) / cam.focal_px;
    const double y = (v - cam.cy()) / cam.focal_px;
    const double len = std::sqrt(x * x + y * y + 1.0);
    return {x / len, y / len, 1.0 / len};
}

Scene blank(const Camera &cam) {
    Scene s;
    s.width = cam.width;
    s.height = cam.height;
    const size_t n = static_cast<size_t>(cam.width) * cam.height;
    s.distance_m.assign(n, 0.0);
    s.reflectivity.assign(n, 0.0);
    return s;
}

// Fills every pixel from hit(ray, distance, reflectivity).
template <typename Hit>
Scene trace(const Camera &cam, Hit &&hit) {
    Scene s = blank(cam);
    for (int v = 0; v < cam.height; ++v) {
        for (int u = 0; u < cam.width; ++u) {
            const size_t i = static_cast<size_t>(v) * cam.width + u;
            hit(ray_of(cam, u, v), s.distance_m[i], s.reflectivity[i]);
        }
    }
    return s;
}

// Distance along the ray to the plane z = depth.
double to_wall(const Ray &r, double depth) {
    return depth / r.z;
}

}  // namespace

Scene flat_wall(const Camera &cam, double z_m, double reflectivity) {
    return trace(cam, [&](const Ray &r, double &d, double &refl) {
        d = to_wall(r, z_m);
        refl = reflectivity;
    });
}

Scene tilted_plane(const Camera &cam, double z_m, double tilt_deg, double reflectivity) {
    const double a = tilt_deg * M_PI / 180.0;
    const double nx = std::sin(a);
    const double nz = std::cos(a);
    return trace(cam, [&](const Ray &r, double &d, double &refl) {
        const double denom = nx * r.x + nz * r.z;
        d = denom > 1e-9 ? nz * z_m / denom : 0.0;
        refl = d > 0.0 ? reflectivity : 0.0;
    });
}

Scene box(const Camera &cam, double wall_z_m, double box_z_m, double half_width_m,
          double half_height_m, double box_depth_m, double box_reflectivity,
          double wall_reflectivity) {
    const double lo[3] = {-half_width_m, -half_height_m, box_z_m};
    const double hi[3] = {half_width_m, half_height_m, box_z_m + box_depth_m};
    return trace(cam, [&](const Ray &r, double &d, double &refl) {
        // Slab test: the ray enters the box at the largest of the per-axis entry distances.
        const double dir[3] = {r.x, r.y, r.z};
        double t_near = 0.0;
        double t_far = 1e30;
        bool hit = true;
        for (int k = 0; k < 3 && hit; ++k) {
            if (std::fabs(dir[k]) < 1e-12) {
                hit = lo[k] <= 0.0 && 0.0 <= hi[k];
                continue;
            }
            double t0 = lo[k] / dir[k];
            double t1 = hi[k] / dir[k];
            if (t0 > t1)
                std::swap(t0, t1);
            t_near = std::max(t_near, t0);
            t_far = std::min(t_far, t1);
            hit = t_near <= t_far;
        }
        if (hit && t_near > 0.0 && t_near < to_wall(r, wall_z_m)) {
            d = t_near;
            refl = box_reflectivity;
        } else {
            d = to_wall(r, wall_z_m);
            refl = wall_reflectivity;
        }
    });
}

Scene sphere(const Camera &cam, double wall_z_m, double centre_z_m, double radius_m,
             double sphere_reflectivity, double wall_reflectivity) {
    return trace(cam, [&](const Ray &r, double &d, double &refl) {
        // |t r - c|^2 = R^2 with c = (0, 0, centre): t^2 - 2 t (r.c) + |c|^2 - R^2 = 0.
        const double b = r.z * centre_z_m;
        const double disc = b * b - (centre_z_m * centre_z_m - radius_m * radius_m);
        const double t = disc >= 0.0 ? b - std::sqrt(disc) : -1.0;
        if (t > 0.0 && t < to_wall(r, wall_z_m)) {
            d = t;
            refl = sphere_reflectivity;
        } else {
            d = to_wall(r, wall_z_m);
            refl = wall_reflectivity;
        }
    });
}

double amplitude(const SensorModel &m, double d_m, double r) {
    if (d_m <= 0.0 || r <= 0.0)
        return 0.0;
    return m.amplitude_at_1m * r * (m.integration_us / 1000.0) / (d_m * d_m);
}

double unambiguous_range_m(double modulation_khz) {
    return kSpeedOfLight / 2.0 / (modulation_khz * 1000.0);
}

double phase_units(double d_m, double modulation_khz) {
    const double periods = d_m / unambiguous_range_m(modulation_khz);
    return (periods - std::floor(periods)) * 30000.0;
}

int readout_row(int line, int rows, int halves) {
    if (halves == 1)
        return rows - 1 - line;
    const int top = (rows + 1) / 2;
    const int k = line / 2;
    return (line % 2 == 0) ? top - 1 - k : top + k;
}

std::vector<uint16_t> render_dcs(const Scene &scene, const SensorModel &model) {
    const int w = scene.width;
    const int h = scene.height;
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<uint16_t> planes(4 * n);
    std::mt19937 rng(model.seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double sigma = std::sqrt(model.noise * model.noise + model.shot_noise * model.shot_noise *
                                                                   std::max(model.ambient, 0.0));
    for (int line = 0; line < h; ++line) {
        const int row = readout_row(line, h, model.halves);
        for (int col = 0; col < w; ++col) {
            const size_t src = static_cast<size_t>(row) * w + col;
            const double d = scene.distance_m[src];
            const double a = amplitude(model, d, scene.reflectivity[src]);
            const double phase =
                d > 0.0 ? 4.0 * M_PI * model.modulation_khz * 1000.0 * d / kSpeedOfLight : 0.0;
            for (int k = 0; k < 4; ++k) {
                double v = model.offset + model.ambient + a * std::cos(phase - k * M_PI / 2.0);
                if (sigma > 0.0)
                    v += sigma * gauss(rng);
                v = std::clamp(std::round(v), 0.0, model.adc_max);
                uint16_t word = static_cast<uint16_t>(v);
                if (model.epc635_format)
                    word = static_cast<uint16_t>(word << 4);
                planes[k * n + static_cast<size_t>(line) * w + col] = word;
            }
        }
    }
    return planes;
}

}  // namespace tarvo::scene
