#include "scene.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

namespace tarvo::scene {
namespace {

constexpr int kUndistortIterations = 200;

// Every pixel at distance d_m with reflectivity `reflectivity`.
Scene uniform(const Camera &cam, double d_m, double reflectivity) {
    Scene s;
    s.width = cam.width;
    s.height = cam.height;
    const size_t n = static_cast<size_t>(cam.width) * cam.height;
    s.distance_m.assign(n, d_m);
    s.reflectivity.assign(n, reflectivity);
    return s;
}

}  // namespace

Ray ray_of(const Camera &cam, double u, double v) {
    // Invert the distortion by fixed-point iteration from the distorted normalised position.
    const double x0 = (u - cam.cx) / cam.fx;
    const double y0 = (v - cam.cy) / cam.fy;
    double x = x0;
    double y = y0;
    for (int i = 0; i < kUndistortIterations; ++i) {
        const double r2 = x * x + y * y;
        const double radial = 1.0 + r2 * (cam.k1 + r2 * (cam.k2 + r2 * cam.k3));
        const double dx = 2.0 * cam.p1 * x * y + cam.p2 * (r2 + 2.0 * x * x);
        const double dy = cam.p1 * (r2 + 2.0 * y * y) + 2.0 * cam.p2 * x * y;
        x = (x0 - dx) / radial;
        y = (y0 - dy) / radial;
    }
    const double len = std::sqrt(x * x + y * y + 1.0);
    return {x / len, y / len, 1.0 / len};
}

namespace {

// Fills every pixel from hit(ray, distance, reflectivity).
template <typename Hit>
Scene trace(const Camera &cam, Hit &&hit) {
    Scene s = uniform(cam, 0.0, 0.0);
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

// What the ray meets first: a surface in front at distance t (<= 0: none) or the wall behind.
void front_or_wall(const Ray &r, double t, double wall_z_m, double front_reflectivity,
                   double wall_reflectivity, double &d, double &refl) {
    if (t > 0.0 && t < to_wall(r, wall_z_m)) {
        d = t;
        refl = front_reflectivity;
    } else {
        d = to_wall(r, wall_z_m);
        refl = wall_reflectivity;
    }
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
        front_or_wall(r, hit ? t_near : 0.0, wall_z_m, box_reflectivity, wall_reflectivity, d,
                      refl);
    });
}

Scene surrounding_sphere(const Camera &cam, double r_m, double reflectivity) {
    return uniform(cam, r_m, reflectivity);
}

Scene sphere(const Camera &cam, double wall_z_m, double centre_z_m, double radius_m,
             double sphere_reflectivity, double wall_reflectivity) {
    return trace(cam, [&](const Ray &r, double &d, double &refl) {
        // |t r - c|^2 = R^2 with c = (0, 0, centre): t^2 - 2 t (r.c) + |c|^2 - R^2 = 0.
        const double b = r.z * centre_z_m;
        const double disc = b * b - (centre_z_m * centre_z_m - radius_m * radius_m);
        const double t = disc >= 0.0 ? b - std::sqrt(disc) : -1.0;
        front_or_wall(r, t, wall_z_m, sphere_reflectivity, wall_reflectivity, d, refl);
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

uint16_t adc_word(double value, double adc_max, bool epc635_format) {
    const auto code = static_cast<uint16_t>(std::clamp(std::round(value), 0.0, adc_max));
    return epc635_format ? static_cast<uint16_t>(code << 4) : code;
}

int readout_row(int line, int rows, int halves) {
    if (halves == 1)
        return rows - 1 - line;
    const int top = (rows + 1) / 2;
    const int k = line / 2;
    return (line % 2 == 0) ? top - 1 - k : top + k;
}

double phase_rad(const SensorModel &model, double d_m) {
    const double offset_rad = model.decode_offset_units * 2.0 * M_PI / 30000.0;
    return 4.0 * M_PI * model.modulation_khz * 1000.0 * d_m / kSpeedOfLight - offset_rad;
}

PixelSignal scene_signal(const Scene &scene, const SensorModel &model) {
    PixelSignal sig;
    sig.width = scene.width;
    sig.height = scene.height;
    const size_t n = static_cast<size_t>(scene.width) * scene.height;
    sig.phase_rad.assign(n, 0.0);
    sig.amplitude.assign(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        const double d = scene.distance_m[i];
        sig.amplitude[i] = amplitude(model, d, scene.reflectivity[i]);
        if (d > 0.0)
            sig.phase_rad[i] = phase_rad(model, d);
    }
    return sig;
}

std::vector<uint16_t> render_dcs(const PixelSignal &signal, const SensorModel &model) {
    const int w = signal.width;
    const int h = signal.height;
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
            const double a = signal.amplitude[src];
            const double phase = signal.phase_rad[src];
            for (int k = 0; k < 4; ++k) {
                double v = model.offset + model.ambient + a * std::cos(phase - k * M_PI / 2.0);
                if (sigma > 0.0)
                    v += sigma * gauss(rng);
                planes[k * n + static_cast<size_t>(line) * w + col] =
                    adc_word(v, model.adc_max, model.epc635_format);
            }
        }
    }
    return planes;
}

std::vector<uint16_t> render_dcs(const Scene &scene, const SensorModel &model) {
    return render_dcs(scene_signal(scene, model), model);
}

namespace {

// "a:b:c" split at the colons.
std::vector<std::string> fields_of(const std::string &spec) {
    std::vector<std::string> out(1);
    for (const char c : spec) {
        if (c == ':')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

bool to_number(const std::string &text, double &out) {
    if (text.empty())
        return false;
    char *end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0' && std::isfinite(out);
}

}  // namespace

bool parse_scene(const std::string &spec, const Camera &cam, double reflectivity, Scene &out,
                 std::string &error) {
    const std::vector<std::string> f = fields_of(spec);
    const std::string &name = f[0];
    double v[2] = {0.0, 0.0};
    const size_t numbers = f.size() - 1;
    const size_t wanted = name == "box" ? 0 : name == "tilted" ? 2 : 1;
    const bool known = name == "box" || name == "sphere" || name == "wall" || name == "tilted";
    if (!known || numbers != wanted) {
        error = "unknown scene '" + spec + "' (sphere:R, wall:Z, tilted:Z:DEG or box)";
        return false;
    }
    for (size_t i = 0; i < numbers; ++i) {
        if (!to_number(f[i + 1], v[i])) {
            error = "scene '" + spec + "': '" + f[i + 1] + "' is not a number";
            return false;
        }
    }
    if (numbers > 0 && !(v[0] > 0.0)) {
        error = "scene '" + spec + "': the distance must be positive";
        return false;
    }
    if (name == "sphere")
        out = surrounding_sphere(cam, v[0], reflectivity);
    else if (name == "wall")
        out = flat_wall(cam, v[0], reflectivity);
    else if (name == "tilted")
        out = tilted_plane(cam, v[0], v[1], reflectivity);
    else
        out = box(cam, 3.0, 1.2, 0.3, 0.25, 0.4, reflectivity, reflectivity * 0.625);
    return true;
}

}  // namespace tarvo::scene
