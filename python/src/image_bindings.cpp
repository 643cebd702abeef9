// Distance and gray images of a frame, each decoded straight into the memory of the numpy array
// that is returned.
#include <mutex>
#include <string>
#include <utility>

#include "bindings.h"
#include "failure.h"

namespace tarvo_py {

namespace {

using Decoder = int (*)(tarvo_dev_t *, float *, int, const uint8_t *, uint32_t,
                        tarvo_frame_info_t *);

// Decodes the frame into `dst` (one float per pixel) through the camera's driver.
void decode_into(Frame &f, Decoder decode, float *dst, const char *what) {
    const size_t n = pixels_of(f);
    if (n == 0 || n > static_cast<size_t>(INT32_MAX))
        throw Failure(std::string("the frame has no image to decode into ") + what);
    std::lock_guard lock(f.device->decode_mutex());
    // Decoding uses the calibration and settings that the open camera's driver holds.
    if (!f.device->is_open()) {
        throw Failure(std::string("the frame's camera is closed: its ") + what +
                      " are decoded by the open camera's driver, so decode frames before "
                      "closing the camera (the raw bytes stay usable)");
    }
    tarvo_frame_info_t info = f.raw.info;
    const int got = decode(f.device->handle(), dst, static_cast<int>(n), f.raw.data.get(),
                           info.frame_size, &info);
    if (got != static_cast<int>(n)) {
        throw Failure("a frame of format " + std::to_string(info.frame_format) +
                      " cannot be decoded into " + what);
    }
}

py::array decoded(Frame &f, Decoder decode, const char *what) {
    const size_t n = pixels_of(f);
    MallocBuffer buf = allocate_buffer(n * sizeof(float));
    {
        py::gil_scoped_release release;
        decode_into(f, decode, reinterpret_cast<float *>(buf.get()), what);
    }
    return adopt(
        std::move(buf), py::dtype::of<float>(),
        {static_cast<py::ssize_t>(f.raw.info.height), static_cast<py::ssize_t>(f.raw.info.width)});
}

py::array gray(Frame &f) {
    return decoded(f, &tarvo_frame_get_gray, "gray values");
}

}  // namespace

size_t pixels_of(const Frame &f) {
    return size_t{f.raw.info.width} * f.raw.info.height;
}

MallocBuffer allocate_buffer(size_t bytes) {
    MallocBuffer buf(static_cast<uint8_t *>(std::malloc(bytes == 0 ? 1 : bytes)));
    if (!buf)
        throw std::bad_alloc();
    return buf;
}

void decode_distance_into(Frame &f, float *dst) {
    decode_into(f, &tarvo_frame_get_distance, dst, "distances");
}

py::array distance(Frame &f) {
    return decoded(f, &tarvo_frame_get_distance, "distances");
}

void bind_images(py::module_ &m) {
    py::class_<Frame> frame = py::reinterpret_borrow<py::class_<Frame>>(m.attr("Frame"));
    frame
        .def("distance", &distance,
             "Distance image (height, width) float32 in metres; invalid pixels hold 65.3, 65.4 or "
             "65.5. Decoding needs the frame's camera open.")
        .def("gray", &gray, "Gray (amplitude) image (height, width) float32.");
}

}  // namespace tarvo_py
