// Pieces the binding files share.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "device.h"
#include "frame_decoder.h"

namespace tarvo_py {

namespace py = pybind11;

// tarvo.Frame; the registry of its camera holds weak references to it.
using FrameClass = py::class_<Frame, std::shared_ptr<Frame>>;

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
// A malloc block of `bytes` (at least one byte); throws std::bad_alloc.
MallocBuffer allocate_buffer(size_t bytes);
// The frame's distances (metres) as a new (height, width) array; throws Failure.
py::array distance(Frame &f);

void bind_images(py::module_ &m);
void bind_clouds(py::module_ &m);
void bind_frame_files(py::module_ &m);
// tarvo.Recording (recording_bindings.cpp).
void bind_recording(py::module_ &m);
void bind_filters(py::class_<Device, std::shared_ptr<Device>> &camera);

}  // namespace tarvo_py
