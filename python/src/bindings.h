// Pieces the binding files share.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "device.h"

namespace tarvo_py {

namespace py = pybind11;

// A captured frame as Python sees it; keeps its camera alive for decoding.
struct Frame {
    std::shared_ptr<Device> device;
    RawFrame raw;
};

// A numpy array over memory that `owner` keeps alive; read-only unless `writeable`.
py::array view_of(py::handle owner, const py::dtype &dtype, std::vector<py::ssize_t> shape,
                  const void *data, bool writeable);

// A numpy array that owns a malloc block (freed with the array).
py::array adopt(MallocBuffer buffer, const py::dtype &dtype, std::vector<py::ssize_t> shape);

// Hands the library's lines logged on non-Python threads to the "tarvo" logger; called with
// the interpreter lock held by the calls from Python that talk to the camera.
void flush_log_queue();

// Registers the exception translation for Failure.
void register_failures(py::module_ &m);

void bind_camera(py::module_ &m);
void bind_frame(py::module_ &m);
// Pixels of the frame's image, width x height.
size_t pixels_of(const Frame &f);
// A malloc block of `bytes` (at least one byte); throws std::bad_alloc.
MallocBuffer allocate_buffer(size_t bytes);
// Decodes the frame's distances (metres) into dst, one float per pixel; throws Failure.
void decode_distance_into(Frame &f, float *dst);
py::array distance(Frame &f);

void bind_images(py::module_ &m);
void bind_clouds(py::module_ &m);
void bind_frame_files(py::module_ &m);
// tarvo.Recording (recording_bindings.cpp).
void bind_recording(py::module_ &m);
void bind_filters(py::class_<Device, std::shared_ptr<Device>> &camera);

}  // namespace tarvo_py
