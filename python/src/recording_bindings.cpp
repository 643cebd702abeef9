// tarvo.Recording: the frames of an MCAP recording as frames with the Frame API of a live camera.
// Raw frames are decoded by the library with the recording's calibration (a camera-less handle
// stands for the recorded camera); where that cannot be had (a camera is open in the process),
// the decoded depth a recording may hold (tarvo record --depth or --points) is read instead.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "bindings.h"
#include "failure.h"
#include "decoded_recording.h"

namespace tarvo_py {

namespace {

namespace rec = tarvo::recording;

// The recording's frames, shared by the Recording, its iterators and its frames.
using Frames = std::shared_ptr<const rec::DecodedRecording>;

struct Recording {
    Frames frames;  // null once closed
    std::string path;
    bool complete = false;

    const Frames &open_frames() const {
        if (!frames)
            throw Failure(path + ": the recording is closed");
        return frames;
    }
};

// One frame of a recording, decoded whole when read, so that it keeps no hold on the recording
// (nor on the library's decoding pipeline, which a camera opened later needs).
struct RecordedFrame {
    std::string path;
    size_t number = 0;
    rec::RecordedFrame decoded;
    std::string no_points;  // why the frame has no points ("" when it has them)
};

struct RecordingIterator {
    Frames frames;
    size_t next = 0;
};

RecordedFrame read_frame(const Frames &frames, size_t number) {
    RecordedFrame f{frames->path(), number, {}, {}};
    std::string error;
    bool ok = false;
    {
        py::gil_scoped_release release;
        // A frame whose points cannot be had still has its images.
        ok = frames->read(number, true, f.decoded, f.no_points) ||
             frames->read(number, false, f.decoded, error);
    }
    if (!ok)
        throw Failure(error);
    return f;
}

std::shared_ptr<Recording> open_recording(const std::string &path) {
    auto frames = std::make_shared<rec::DecodedRecording>();
    std::string error;
    bool ok = false;
    {
        py::gil_scoped_release release;
        ok = frames->open(path, error);
    }
    if (!ok)
        throw Failure(error);
    const bool complete = frames->complete();
    return std::make_shared<Recording>(Recording{std::move(frames), path, complete});
}

RecordedFrame frame_at(const Recording &r, py::ssize_t i) {
    const Frames &frames = r.open_frames();
    const auto n = static_cast<py::ssize_t>(frames->size());
    if (i < 0)
        i += n;
    if (i < 0 || i >= n)
        throw py::index_error("frame " + std::to_string(i) + " of a recording of " +
                              std::to_string(n));
    return read_frame(frames, static_cast<size_t>(i));
}

std::vector<py::ssize_t> image_shape(const rec::RecordedFrame &d) {
    return {static_cast<py::ssize_t>(d.height), static_cast<py::ssize_t>(d.width)};
}

// As a live frame's distance(): metres, the library's invalid code where there is none.
py::array recorded_distance(const RecordedFrame &f) {
    py::array_t<float> out(image_shape(f.decoded));
    float *dst = out.mutable_data();
    std::transform(f.decoded.distance.begin(), f.decoded.distance.end(), dst,
                   [](float d) { return std::isnan(d) ? rec::kInvalidDistanceCode : d; });
    return out;
}

py::array recorded_gray(const RecordedFrame &f) {
    if (f.decoded.gray.empty())
        throw Failure(f.path + ": frame " + std::to_string(f.number) +
                      " comes from the recording's decoded depth, which holds no gray (its raw "
                      "frames could not be decoded here)");
    py::array_t<float> out(image_shape(f.decoded));
    std::copy(f.decoded.gray.begin(), f.decoded.gray.end(), out.mutable_data());
    return out;
}

bool finite_point(const float *p) {
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

// As a live frame's point_cloud(): (N, 3) of the pixels with a point, or with `organized` the
// tuple ((height, width, 3) with NaN where none, (height, width) mask).
py::object recorded_point_cloud(const RecordedFrame &f, bool colour, bool organized) {
    if (colour)
        throw Failure(
            "recorded frames give points without colour; colour the distances with "
            "frame.colorize() or tarvo.colorize()");
    if (!f.no_points.empty())
        throw Failure(f.no_points);
    const std::vector<float> &pts = f.decoded.points;
    const size_t pixels = pts.size() / 3;
    if (organized) {
        const auto shape = image_shape(f.decoded);
        py::array_t<float> grid({shape[0], shape[1], py::ssize_t{3}});
        py::array_t<bool> valid(shape);
        std::copy(pts.begin(), pts.end(), grid.mutable_data());
        bool *mask = valid.mutable_data();
        for (size_t i = 0; i < pixels; ++i)
            mask[i] = finite_point(&pts[3 * i]);
        return py::make_tuple(std::move(grid), std::move(valid));
    }
    size_t count = 0;
    for (size_t i = 0; i < pixels; ++i)
        count += finite_point(&pts[3 * i]) ? 1 : 0;
    py::array_t<float> packed({static_cast<py::ssize_t>(count), py::ssize_t{3}});
    float *dst = packed.mutable_data();
    for (size_t i = 0; i < pixels; ++i) {
        if (finite_point(&pts[3 * i]))
            dst = std::copy_n(&pts[3 * i], 3, dst);
    }
    return packed;
}

void bind_recorded_frame(py::module_ &m) {
    py::class_<RecordedFrame>(
        m, "RecordedFrame",
        "One frame of a Recording, decoded when read, with the times of its raw frame; the "
        "Frame API without the raw bytes.")
        .def_property_readonly("width", [](const RecordedFrame &f) { return f.decoded.width; })
        .def_property_readonly("height", [](const RecordedFrame &f) { return f.decoded.height; })
        .def_property_readonly(
            "index", [](const RecordedFrame &f) { return f.decoded.index; },
            "The camera's frame index (0 when the recording holds no raw frame for it).")
        .def_property_readonly(
            "number", [](const RecordedFrame &f) { return f.number; },
            "The frame's place in the recording, counted from 0.")
        .def_property_readonly(
            "timestamp_ns", [](const RecordedFrame &f) { return f.decoded.monotonic_ns; },
            "Host arrival time while recording, CLOCK_MONOTONIC nanoseconds (0 when the "
            "recording holds no raw frame for it).")
        .def_property_readonly(
            "time_ns", [](const RecordedFrame &f) { return f.decoded.time_ns; },
            "Host arrival time while recording, nanoseconds since the epoch.")
        .def_property_readonly(
            "sequence", [](const RecordedFrame &f) { return f.decoded.sequence; },
            "Number of the frame in its capture, counting lost frames.")
        .def_property_readonly(
            "lost_before", [](const RecordedFrame &f) { return f.decoded.lost_before; },
            "Frames lost just before this one.")
        .def_property_readonly(
            "temperatures",
            [](const RecordedFrame &f) -> std::optional<std::pair<double, double>> {
                if (!f.decoded.has_temperatures)
                    return std::nullopt;
                return std::make_pair(f.decoded.sensor_temperature / 10.0,
                                      f.decoded.illumination_temperature / 10.0);
            },
            "(sensor, illumination board) temperatures of the raw frame's stream header, "
            "degrees Celsius; None when the recording holds none for it (earlier recordings, "
            "frames without a raw frame).")
        .def("distance", &recorded_distance,
             "Distance image (height, width) float32 in metres; pixels without a valid distance "
             "hold 65.5 (the recording keeps no reason).")
        .def("gray", &recorded_gray,
             "Gray image (height, width) float32, as a live frame's gray(). Raises tarvo.Error "
             "when the frame was read from the recording's decoded depth (no raw frame could be "
             "decoded), which holds no gray.")
        .def_property_readonly(
            "decoded_from_raw", [](const RecordedFrame &f) { return !f.decoded.gray.empty(); },
            "True when the library decoded the frame from its raw frame with the recording's "
            "calibration; False when it comes from the recording's decoded depth.")
        .def("point_cloud", &recorded_point_cloud, py::arg("colour") = false,
             py::arg("organized") = false,
             "Points of the valid pixels, (N, 3) float32 x, y, z in metres: along the library's "
             "own pixel rays for a frame decoded from its raw frame, else the recorded point "
             "clouds or the distances along the pinhole rays of the recorded camera matrix. "
             "With `organized`, a tuple (points, valid) of shapes (height, width, 3) with NaN "
             "where none and (height, width). `colour` raises tarvo.Error.")
        .def(
            "colorize",
            [](const RecordedFrame &f, const std::pair<double, double> &range_m) {
                return py::module_::import("tarvo._tarvo")
                    .attr("colorize")(recorded_distance(f), range_m);
            },
            py::arg("range_m") = std::make_pair(0.5, 4.0))
        .def("__repr__", [](const RecordedFrame &f) {
            return "<tarvo.RecordedFrame " + std::to_string(f.number) + " " +
                   std::to_string(f.decoded.width) + "x" + std::to_string(f.decoded.height) + ">";
        });
}

}  // namespace

void bind_recording(py::module_ &m) {
    bind_recorded_frame(m);
    py::class_<RecordingIterator>(m, "RecordingIterator", "Iterator of a Recording's frames.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](RecordingIterator &it) {
            if (it.next >= it.frames->size())
                throw py::stop_iteration();
            RecordedFrame frame = read_frame(it.frames, it.next++);
            // Called from C (list(rec), numpy), the iterator is the only place where Ctrl-C
            // is seen before the whole recording is decoded.
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            return frame;
        });
    py::class_<Recording, std::shared_ptr<Recording>>(
        m, "Recording",
        "The frames of an MCAP recording made with `tarvo record`, without a camera: the raw "
        "frames decoded by the library with the recording's calibration, or, while a camera is "
        "open in this process, the decoded depth the recording holds (`tarvo record --depth` or "
        "--points). Raises tarvo.Error when the file cannot be read, is damaged, or holds no "
        "frames that can be had.")
        .def(py::init(&open_recording), py::arg("path"))
        .def("__len__", [](const Recording &r) { return r.open_frames()->size(); })
        .def("__getitem__", &frame_at, py::arg("i"))
        .def("__iter__",
             [](const Recording &r) {
                 return RecordingIterator{r.open_frames(), 0};
             })
        .def_property_readonly("path", [](const Recording &r) { return r.path; })
        .def_property_readonly(
            "complete", [](const Recording &r) { return r.complete; },
            "False for a file that ends early (a recorder that was killed): its whole frames "
            "are read.")
        .def(
            "close", [](Recording &r) { r.frames.reset(); },
            "Frees the recording's memory; frames already taken stay usable.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Recording &r, py::args) { r.frames.reset(); })
        .def("__repr__", [](const Recording &r) {
            return "<tarvo.Recording " + r.path + " " +
                   (r.frames ? std::to_string(r.frames->size()) + " frames>" : "closed>");
        });
}

}  // namespace tarvo_py
