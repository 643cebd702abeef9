// tarvo.Frame: one captured frame, its description and its bytes.
#include <string>
#include <tuple>

#include "bindings.h"
#include "failure.h"

namespace tarvo_py {

void bind_frame(py::module_ &m) {
    FrameClass(m, "Frame",
               "One captured frame: its description, times and bytes (a read-only buffer). "
               "distance(), gray() and point_cloud() decode it once each and keep the result; "
               "when the camera closes, it first decodes the results that its live frames lack, "
               "so they stay readable after the close.",
               py::buffer_protocol())
        .def_buffer([](Frame &f) {
            return py::buffer_info(f.raw.data.get(), 1, py::format_descriptor<uint8_t>::format(), 1,
                                   {static_cast<py::ssize_t>(f.raw.info.frame_size)}, {1},
                                   /*readonly=*/true);
        })
        .def_property_readonly(
            "index", [](const Frame &f) { return f.raw.info.frame_idx; },
            "The camera's frame index.")
        .def_property_readonly(
            "format", [](const Frame &f) { return f.raw.info.frame_format; },
            "The frame format code (2: four DCS planes).")
        .def_property_readonly("width", [](const Frame &f) { return f.raw.info.width; })
        .def_property_readonly("height", [](const Frame &f) { return f.raw.info.height; })
        .def_property_readonly("pixel_size", [](const Frame &f) { return f.raw.info.pixel_size; })
        .def_property_readonly("size", [](const Frame &f) { return f.raw.info.frame_size; })
        .def_property_readonly(
            "timestamp_ns", [](const Frame &f) { return f.raw.time.monotonic_ns; },
            "Host arrival time, CLOCK_MONOTONIC nanoseconds.")
        .def_property_readonly(
            "time_ns", [](const Frame &f) { return f.raw.time.realtime_ns; },
            "Host arrival time, nanoseconds since the epoch.")
        .def_property_readonly(
            "sequence", [](const Frame &f) { return f.raw.time.sequence; },
            "Number of the frame in its capture, counting lost frames.")
        .def_property_readonly(
            "lost_before", [](const Frame &f) { return f.raw.time.lost_before; },
            "Frames lost just before this one.")
        .def_property_readonly(
            "temperatures",
            [](const Frame &f) {
                return std::make_tuple(f.raw.temp_sensor, f.raw.temp_illumination);
            },
            "(sensor, illumination board) temperatures of the frame header, degrees Celsius.")
        .def_property_readonly(
            "raw",
            [](py::object self) {
                const Frame &f = self.cast<const Frame &>();
                return view_of(self, py::dtype::of<uint8_t>(),
                               {static_cast<py::ssize_t>(f.raw.info.frame_size)}, f.raw.data.get(),
                               false);
            },
            "The frame's bytes as a read-only uint8 array that keeps the frame alive.")
        .def("__len__", [](const Frame &f) { return f.raw.info.frame_size; })
        .def("__repr__", [](const Frame &f) {
            const tarvo_frame_info_t &i = f.raw.info;
            return "<tarvo.Frame index=" + std::to_string(i.frame_idx) +
                   " format=" + std::to_string(i.frame_format) + " " + std::to_string(i.width) +
                   "x" + std::to_string(i.height) + " " + std::to_string(i.frame_size) + " bytes>";
        });
}

}  // namespace tarvo_py
