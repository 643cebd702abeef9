// Point clouds and colours of a frame's distances, written straight into the memory of the
// numpy arrays that are returned.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "bindings.h"
#include "failure.h"

namespace tarvo_py {

namespace {

constexpr int kRgb = 0;  // tarvo_cmap_float: red, green, blue bytes

bool has_valid_pixel(const float *dist, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (dist[i] > 0.0f && dist[i] < 60.0f)
            return true;
    }
    return false;
}

py::array point_cloud(Frame &f, bool colour) {
    const size_t n = pixels_of(f);
    const size_t per_point = colour ? 4 : 3;
    MallocBuffer dist = allocate_buffer(n * sizeof(float));
    MallocBuffer points = allocate_buffer(n * per_point * sizeof(float));
    int count = 0;
    {
        py::gil_scoped_release release;
        auto *d = reinterpret_cast<float *>(dist.get());
        auto *p = reinterpret_cast<float *>(points.get());
        decode_distance_into(f, d);
        const int w = static_cast<int>(f.raw.info.width);
        const int h = static_cast<int>(f.raw.info.height);
        const int room = static_cast<int>(n * per_point);
        count = colour ? tarvo_frame_get_pcl_xyzd(f.device->handle(), p, room, d,
                                                  static_cast<int>(n), w, h, true, nullptr)
                       : tarvo_frame_get_pcl(f.device->handle(), p, room, d, static_cast<int>(n), w,
                                             h, nullptr);
        if (count <= 0 && has_valid_pixel(d, n))
            throw Failure("the camera's driver gives no point cloud");
    }
    const size_t bytes = static_cast<size_t>(count) * per_point * sizeof(float);
    if (bytes > 0) {
        if (void *p = std::realloc(points.get(), bytes)) {  // shrinks in place
            (void)points.release();
            points.reset(static_cast<uint8_t *>(p));
        }
    }
    return adopt(std::move(points), py::dtype::of<float>(),
                 {static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(per_point)});
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
    frame.def("point_cloud", &point_cloud, py::arg("colour") = false)
        .def("colorize", &colorize_frame, py::arg("range_m") = default_range);
    m.def("colorize", &colorize_array, py::arg("distance"), py::arg("range_m") = default_range);
}

}  // namespace tarvo_py
