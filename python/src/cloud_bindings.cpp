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

// The kept points as (N, per_point): x, y, z and, with 4, the colour word.
py::array packed_array(const CloudData &c, size_t per_point) {
    MallocBuffer buf = allocate_buffer(c.count * per_point * sizeof(float));
    {
        py::gil_scoped_release release;
        auto *dst = reinterpret_cast<float *>(buf.get());
        for (size_t i = 0; i < c.count; ++i)
            std::copy_n(c.points.data() + i * kCloudStride, per_point, dst + i * per_point);
    }
    return adopt(std::move(buf), py::dtype::of<float>(),
                 {static_cast<py::ssize_t>(c.count), static_cast<py::ssize_t>(per_point)});
}

// The pixels that give a point (see tarvo/pcl.h).
bool gives_point(float d) {
    return d > 0.0f && d < 60.0f;
}

// Every pixel's point as (height, width, per_point), NaN where the pixel gives none, and the
// mask of the pixels that give one.
py::tuple organized_arrays(const Frame &f, const CloudData &c, size_t per_point) {
    const auto h = static_cast<py::ssize_t>(f.raw.info.height);
    const auto w = static_cast<py::ssize_t>(f.raw.info.width);
    const auto pp = static_cast<py::ssize_t>(per_point);
    py::array_t<float> grid({h, w, pp});
    py::array_t<bool> valid({h, w});
    {
        py::gil_scoped_release release;
        const float *d = c.distance->data();
        float *dst = grid.mutable_data();
        bool *mask = valid.mutable_data();
        const size_t n = c.distance->size();
        size_t next = 0;
        for (size_t i = 0; i < n; ++i) {
            mask[i] = gives_point(d[i]) && next < c.count;
            float *out = dst + i * per_point;
            if (mask[i]) {
                std::copy_n(c.points.data() + next * kCloudStride, per_point, out);
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
    std::shared_ptr<const CloudData> c;
    {
        py::gil_scoped_release release;
        c = f.decoder->cloud(f);
    }
    if (organized)
        return organized_arrays(f, *c, per_point);
    return packed_array(*c, per_point);
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
    auto frame = py::reinterpret_borrow<FrameClass>(m.attr("Frame"));
    frame
        .def("point_cloud", &point_cloud, py::arg("colour") = false, py::arg("organized") = false,
             "Points of the valid pixels, (N, 3) float32 x, y, z in metres; with `colour`, (N, 4) "
             "with the colour word (red in bits 0-7) of the point's distance as the fourth value. "
             "With `organized`, a tuple (points, valid): points of shape (height, width, 3 or 4) "
             "with NaN at the pixels without a valid distance, and the (height, width) bool mask "
             "of the valid ones. Computed once, from the distances of distance(), and kept with "
             "the frame: it stays readable after the camera closed.")
        .def("colorize", &colorize_frame, py::arg("range_m") = default_range);
    m.def("colorize", &colorize_array, py::arg("distance"), py::arg("range_m") = default_range);
}

}  // namespace tarvo_py
