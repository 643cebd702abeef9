// Distance and gray images of a frame: each call returns a new array with the frame's kept
// result, decoded at the first request (or when its camera closed).
#include <algorithm>
#include <memory>
#include <utility>

#include "bindings.h"
#include "failure.h"

namespace tarvo_py {

namespace {

using Getter = std::shared_ptr<const FloatImage> (FrameDecoder::*)(Frame &);

py::array image(Frame &f, Getter get) {
    std::shared_ptr<const FloatImage> kept;
    MallocBuffer buf;
    {
        py::gil_scoped_release release;
        kept = (f.decoder.get()->*get)(f);
        buf = allocate_buffer(kept->size() * sizeof(float));
        std::copy(kept->begin(), kept->end(), reinterpret_cast<float *>(buf.get()));
    }
    return adopt(
        std::move(buf), py::dtype::of<float>(),
        {static_cast<py::ssize_t>(f.raw.info.height), static_cast<py::ssize_t>(f.raw.info.width)});
}

py::array gray(Frame &f) {
    return image(f, &FrameDecoder::gray);
}

}  // namespace

MallocBuffer allocate_buffer(size_t bytes) {
    MallocBuffer buf(static_cast<uint8_t *>(std::malloc(bytes == 0 ? 1 : bytes)));
    if (!buf)
        throw std::bad_alloc();
    return buf;
}

py::array distance(Frame &f) {
    return image(f, &FrameDecoder::distance);
}

void bind_images(py::module_ &m) {
    auto frame = py::reinterpret_borrow<FrameClass>(m.attr("Frame"));
    frame
        .def("distance", &distance,
             "Distance image (height, width) float32 in metres; invalid pixels hold 65.3, 65.4 or "
             "65.5. Decoded at the first request with the camera's settings of that moment and "
             "kept with the frame: it stays readable after the camera closed.")
        .def("gray", &gray,
             "Gray (amplitude) image (height, width) float32; decoded once and kept, like "
             "distance().");
}

}  // namespace tarvo_py
