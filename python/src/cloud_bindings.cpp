// Point clouds and colours of a frame's distances, written straight into the memory of the
// numpy arrays that are returned.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "bindings.h"
#include "failure.h"

namespace tarvo_py {

namespace {

constexpr int kRgb = 0;  // tarvo_cmap_float: red, green, blue bytes

// The pixels that give a point (see tarvo/pcl.h).
bool gives_point(float d) {
    return d > 0.0f && d < 60.0f;
}

bool has_valid_pixel(const float *dist, size_t n) {
    return std::any_of(dist, dist + n, gives_point);
}

// The packed points with their distances, `per_point` floats each: the driver writes the valid
// pixels' points in row-major order. Runs without the interpreter lock.
struct PackedCloud {
    MallocBuffer dist;
    MallocBuffer points;
    size_t count = 0;
};

PackedCloud packed_cloud(Frame &f, size_t per_point) {
    const size_t n = pixels_of(f);
    PackedCloud c{allocate_buffer(n * sizeof(float)),
                  allocate_buffer(n * per_point * sizeof(float)), 0};
    auto *d = reinterpret_cast<float *>(c.dist.get());
    auto *p = reinterpret_cast<float *>(c.points.get());
    decode_distance_into(f, d);
    const int w = static_cast<int>(f.raw.info.width);
    const int h = static_cast<int>(f.raw.info.height);
    const int room = static_cast<int>(n * per_point);
    const int count = per_point == 4
                          ? tarvo_frame_get_pcl_xyzd(f.device->handle(), p, room, d,
                                                     static_cast<int>(n), w, h, true, nullptr)
                          : tarvo_frame_get_pcl(f.device->handle(), p, room, d, static_cast<int>(n),
                                                w, h, nullptr);
    if (count <= 0 && has_valid_pixel(d, n))
        throw Failure("the camera's driver gives no point cloud");
    c.count = count > 0 ? static_cast<size_t>(count) : 0;
    return c;
}

// The valid pixels' points as (N, per_point).
py::array packed_array(PackedCloud c, size_t per_point) {
    const size_t bytes = c.count * per_point * sizeof(float);
    if (bytes > 0) {
        if (void *p = std::realloc(c.points.get(), bytes)) {  // shrinks in place
            (void)c.points.release();
            c.points.reset(static_cast<uint8_t *>(p));
        }
    }
    return adopt(std::move(c.points), py::dtype::of<float>(),
                 {static_cast<py::ssize_t>(c.count), static_cast<py::ssize_t>(per_point)});
}

// Every pixel's point as (height, width, per_point), NaN where the pixel gives none, and the
// mask of the pixels that give one.
py::tuple organized_arrays(const Frame &f, const PackedCloud &c, size_t per_point) {
    const auto h = static_cast<py::ssize_t>(f.raw.info.height);
    const auto w = static_cast<py::ssize_t>(f.raw.info.width);
    const auto pp = static_cast<py::ssize_t>(per_point);
    py::array_t<float> grid({h, w, pp});
    py::array_t<bool> valid({h, w});
    {
        py::gil_scoped_release release;
        const auto *d = reinterpret_cast<const float *>(c.dist.get());
        const auto *src = reinterpret_cast<const float *>(c.points.get());
        float *dst = grid.mutable_data();
        bool *mask = valid.mutable_data();
        const size_t n = pixels_of(f);
        size_t next = 0;
        for (size_t i = 0; i < n; ++i) {
            mask[i] = gives_point(d[i]) && next < c.count;
            float *out = dst + i * per_point;
            if (mask[i]) {
                std::copy_n(src + next * per_point, per_point, out);
                ++next;
            } else {
                std::fill_n(out, per_point, std::numeric_limits<float>::quiet_NaN());
            }
        }
    }
    return py::make_tuple(std::move(grid), std::move(valid));
}

py::object point_cloud(Frame &f, bool colour, bool organized) {
    const size_t per_point = colour ? 4 : 3;
    PackedCloud c;
    {
        py::gil_scoped_release release;
        c = packed_cloud(f, per_point);
    }
    if (organized)
        return organized_arrays(f, c, per_point);
    return packed_array(std::move(c), per_point);
}

std::pair<float, float> checked_range(const std::pair<double, double> &range_m) {
    const auto [lo, hi] = range_m;
    if (!std::isfinite(lo) || !std::isfinite(hi) || lo < 0.0 || hi < 0.0 || lo == hi ||
        std::max(lo, hi) > 2000000.0) {
        throw BadArgument("range_m must be two different distances in metres, 0 to 2000000");
    }
    return {static_cast<float>(lo), static_cast<float>(hi)};
}

// Colours `n` distances into an (h, w, 3) array of red, green and blue bytes.
py::array colours_of(const float *dist, py::ssize_t h, py::ssize_t w,
                     const std::pair<double, double> &range_m) {
    const auto [lo, hi] = checked_range(range_m);
    const size_t n = static_cast<size_t>(h) * static_cast<size_t>(w);
    if (n * 3 > static_cast<size_t>(INT32_MAX))
        throw BadArgument("the image is too large to colour");
    MallocBuffer rgb = allocate_buffer(n * 3);
    {
        py::gil_scoped_release release;
        const int written = tarvo_cmap_float(rgb.get(), static_cast<int>(n * 3), dist,
                                             static_cast<int>(n), kRgb, lo, hi);
        if (n > 0 && written != static_cast<int>(n))
            throw Failure("the colour map is not available");
    }
    return adopt(std::move(rgb), py::dtype::of<uint8_t>(), {h, w, 3});
}

py::array colorize_frame(Frame &f, const std::pair<double, double> &range_m) {
    checked_range(range_m);
    py::array dist = distance(f);
    return colours_of(static_cast<const float *>(dist.data()), dist.shape(0), dist.shape(1),
                      range_m);
}

py::array colorize_array(const py::array_t<float, py::array::c_style | py::array::forcecast> &d,
                         const std::pair<double, double> &range_m) {
    if (d.ndim() != 2)
        throw BadArgument("a distance image has two dimensions (height, width)");
    return colours_of(d.data(), d.shape(0), d.shape(1), range_m);
}

}  // namespace

void bind_clouds(py::module_ &m) {
    const auto default_range = std::make_pair(0.5, 4.0);
    py::class_<Frame> frame = py::reinterpret_borrow<py::class_<Frame>>(m.attr("Frame"));
    frame
        .def("point_cloud", &point_cloud, py::arg("colour") = false, py::arg("organized") = false,
             "Points of the valid pixels, (N, 3) float32 x, y, z in metres; with `colour`, (N, 4) "
             "with the colour word (red in bits 0-7) of the point's distance as the fourth value. "
             "With `organized`, a tuple (points, valid): points of shape (height, width, 3 or 4) "
             "with NaN at the pixels without a valid distance, and the (height, width) bool mask "
             "of the valid ones.")
        .def("colorize", &colorize_frame, py::arg("range_m") = default_range);
    m.def("colorize", &colorize_array, py::arg("distance"), py::arg("range_m") = default_range);
}

}  // namespace tarvo_py
