// tarvo.Camera, its records and the frame iterator.

#include <array>
#include <chrono>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include "bindings.h"
#include "failure.h"

namespace tarvo_py {

namespace {

using Clock = std::chrono::steady_clock;

Device::Deadline deadline_after(const std::optional<double> &timeout) {
    if (!timeout)
        return std::nullopt;
    if (!(*timeout >= 0.0))
        throw BadArgument("timeout must be a number of seconds, 0 or more, or None");
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*timeout));
}

// Stops capture and raises the exception that a signal handler set (KeyboardInterrupt).
[[noreturn]] void raise_interrupt(Device &device) {
    py::error_already_set interrupt;
    {
        py::gil_scoped_release release;
        try {
            device.stop();
        } catch (const Failure &) {
            // The camera may have stopped answering; the interrupt matters more.
        }
    }
    flush_log_queue();
    throw interrupt;
}

// Waits for the next frame in short slices with the interpreter lock released, looking for
// signals between them: Ctrl-C ends the wait promptly whatever the frame rate, and stops
// capture.
std::shared_ptr<Frame> read_frame(const std::shared_ptr<Device> &device,
                                  const std::optional<double> &timeout) {
    const Device::Deadline deadline = deadline_after(timeout);
    for (;;) {
        std::shared_ptr<Frame> frame;
        {
            py::gil_scoped_release release;
            if (std::optional<RawFrame> raw = device->try_fetch(deadline))
                frame = device->decoder().adopt(std::move(*raw));
        }
        if (PyErr_CheckSignals() != 0)
            raise_interrupt(*device);
        flush_log_queue();
        if (frame)
            return frame;
    }
}

// `for frame in cam.frames(n)`: starts capture when it does not run and stops it again when
// the iteration ends, is closed, or is dropped.
class FrameStream {
  public:
    FrameStream(std::shared_ptr<Device> device, std::optional<long long> count,
                std::optional<double> timeout)
        : device_(std::move(device)), remaining_(count), timeout_(timeout) {
        if (count && *count < 0)
            throw BadArgument("frame count must not be negative");
        deadline_after(timeout);  // checks the value
        py::gil_scoped_release release;
        started_ = !device_->capturing();
        if (started_)
            device_->start();
    }
    ~FrameStream() {
        try {
            close();
        } catch (...) {
            // A failed stop in a destructor has nowhere to go; the camera stops at close.
        }
    }

    std::shared_ptr<Frame> next() {
        if (done_ || (remaining_ && *remaining_ == 0)) {
            close();
            throw py::stop_iteration();
        }
        try {
            std::shared_ptr<Frame> frame = read_frame(device_, timeout_);
            if (remaining_)
                --*remaining_;
            return frame;
        } catch (...) {
            close();
            throw;
        }
    }

    void close() {
        if (done_)
            return;
        done_ = true;
        if (started_) {
            {
                py::gil_scoped_release release;
                device_->stop();
            }
            flush_log_queue();
        }
    }

  private:
    std::shared_ptr<Device> device_;
    std::optional<long long> remaining_;
    std::optional<double> timeout_;
    bool started_ = false;
    bool done_ = false;
};

void close_device(Device &d) {
    {
        py::gil_scoped_release release;
        d.close();
    }
    flush_log_queue();
}

py::bytes to_bytes(const std::vector<uint8_t> &v) {
    return py::bytes(reinterpret_cast<const char *>(v.data()), v.size());
}

std::string speed_name(int speed) {
    switch (speed) {
        case 1:
            return "low";
        case 2:
            return "full";
        case 3:
            return "high";
        case 4:
            return "super";
        default:
            return "unknown";
    }
}

// The camera's distance images: the size that its lens model is given for.
constexpr int kImageWidth = 320;
constexpr int kImageHeight = 240;

// The pinhole model with distortion of the camera's distance images.
struct Intrinsics {
    double fx, fy, cx, cy;
    std::array<double, 5> distortion;  // k1, k2, p1, p2, k3
    int width, height;
};

Intrinsics intrinsics_of(Device &d) {
    zr_lens_param_t lens{};
    {
        py::gil_scoped_release release;
        lens = d.lens(kImageWidth, kImageHeight);
    }
    Intrinsics out{lens.Fx, lens.Fy, lens.Cx, lens.Cy, {}, kImageWidth, kImageHeight};
    std::copy(std::begin(lens.dcoeff), std::end(lens.dcoeff), out.distortion.begin());
    return out;
}

std::string intrinsics_text(const Intrinsics &i) {
    std::ostringstream out;
    out << "Intrinsics(fx=" << i.fx << ", fy=" << i.fy << ", cx=" << i.cx << ", cy=" << i.cy
        << ", distortion=(";
    for (size_t k = 0; k < i.distortion.size(); ++k)
        out << (k > 0 ? ", " : "") << i.distortion[k];
    out << "), width=" << i.width << ", height=" << i.height << ")";
    return out.str();
}

void bind_intrinsics(py::module_ &m) {
    py::class_<Intrinsics>(m, "Intrinsics",
                           "The camera's lens model for its distance images: focal lengths fx, "
                           "fy and principal point cx, cy in pixels, distortion (k1, k2, p1, p2, "
                           "k3) and the image size it applies to.")
        .def_readonly("fx", &Intrinsics::fx)
        .def_readonly("fy", &Intrinsics::fy)
        .def_readonly("cx", &Intrinsics::cx)
        .def_readonly("cy", &Intrinsics::cy)
        .def_property_readonly(
            "distortion",
            [](const Intrinsics &i) {
                const auto &k = i.distortion;
                return py::make_tuple(k[0], k[1], k[2], k[3], k[4]);
            },
            "(k1, k2, p1, p2, k3): radial k1, k2, k3 and tangential p1, p2.")
        .def_readonly("width", &Intrinsics::width)
        .def_readonly("height", &Intrinsics::height)
        .def("__repr__", &intrinsics_text);
}

void bind_records(py::module_ &m) {
    bind_intrinsics(m);
    py::class_<Location>(m, "CameraLocation",
                         "Where a camera sits: its index in list_cameras(), bus, port, address and "
                         "libusb speed code.")
        .def_readonly("index", &Location::index)
        .def_readonly("bus", &Location::bus)
        .def_readonly("port", &Location::port)
        .def_readonly("address", &Location::address)
        .def_readonly("speed", &Location::speed)
        .def("__repr__", [](const Location &l) {
            return "CameraLocation(index=" + std::to_string(l.index) +
                   ", bus=" + std::to_string(l.bus) + ", port=" + std::to_string(l.port) +
                   ", address=" + std::to_string(l.address) + ", speed=" + std::to_string(l.speed) +
                   " (" + speed_name(l.speed) + "))";
        });
    py::class_<Identity>(
        m, "CameraInfo",
        "What a camera says about itself at open: product, ident (serial), firmware and chip.")
        .def_readonly("product", &Identity::product)
        .def_readonly("ident", &Identity::ident)
        .def_readonly("firmware", &Identity::firmware)
        .def_readonly("part_version", &Identity::part_version)
        .def_readonly("chip_id", &Identity::chip_id)
        .def_readonly("wafer_id", &Identity::wafer_id)
        .def("__repr__", [](const Identity &i) {
            return "CameraInfo(product='" + i.product + "', ident='" + i.ident +
                   "', firmware=" + std::to_string(i.firmware) +
                   ", part_version=" + std::to_string(i.part_version) +
                   ", chip_id=" + std::to_string(i.chip_id) +
                   ", wafer_id=" + std::to_string(i.wafer_id) + ")";
        });
}

py::array_t<uint32_t> read_registers(Device &d, int target, uint32_t first, int count) {
    if (count < 1 || count > 0xFFFF)
        throw BadArgument("register count must be 1 to 65535");
    py::array_t<uint32_t> out(count);
    std::span<uint32_t> values(out.mutable_data(), static_cast<size_t>(count));
    py::gil_scoped_release release;
    d.read_registers(target, first, values);
    return out;
}

void write_registers(Device &d, int target, uint32_t first, const py::object &values) {
    // forcecast would wrap negative or oversized numbers silently; a checked conversion first.
    py::array checked = py::array::ensure(values);
    if (!checked || checked.ndim() > 1)
        throw BadArgument("register values must be a sequence of integers");
    py::array_t<int64_t> wide = py::array_t<int64_t>::ensure(checked);
    if (!wide || wide.size() == 0)
        throw BadArgument("register values must be a non-empty sequence of integers");
    std::vector<uint32_t> regs;
    for (py::ssize_t i = 0; i < wide.size(); ++i) {
        const int64_t v = wide.data()[i];
        if (v < 0 || v > 0xFFFFFFFFll)
            throw BadArgument("register value " + std::to_string(v) + " is not 32-bit unsigned");
        regs.push_back(static_cast<uint32_t>(v));
    }
    py::gil_scoped_release release;
    d.write_registers(target, first, regs);
}

// A little-endian number parameter of the camera.
unsigned get_number(Device &d, int id) {
    py::gil_scoped_release release;
    const std::vector<uint8_t> v = d.get_param(id);
    unsigned n = 0;
    for (size_t i = 0; i < v.size() && i < 4; ++i)
        n |= unsigned{v[i]} << (8 * i);
    return n;
}

void set_number(Device &d, int id, unsigned value, size_t bytes) {
    std::vector<uint8_t> v(bytes);
    for (size_t i = 0; i < bytes; ++i)
        v[i] = static_cast<uint8_t>(value >> (8 * i));
    py::gil_scoped_release release;
    d.set_param(id, v);
}

constexpr int kParamFrameRate = 12;
constexpr int kParamIntegrationTime = 13;

void set_integration_time(Device &d, int us) {
    if (us < 1 || us > 4000)
        throw BadArgument("integration time must be 1 to 4000 microseconds");
    d.handle();
    set_number(d, kParamIntegrationTime, static_cast<unsigned>(us), 2);
    // The pipeline sends its stored times again now and then: both keep the new one.
    configSetIntegrationTime2D(us);
    configSetIntegrationTime3D(us);
}

void set_frame_rate(Device &d, int fps) {
    if (fps < 1 || fps > 120)
        throw BadArgument("frame rate must be 1 to 120 frames per second");
    set_number(d, kParamFrameRate, static_cast<unsigned>(fps), 4);
}

void set_modulation_frequency(Device &d, int khz) {
    d.handle();
    const uint16_t *table = configGetModulationFrequencies();
    std::string known;
    for (int i = 0; i < configGetModFreqCount(); ++i) {
        if (table[i] == khz) {
            py::gil_scoped_release release;
            configSetModulationFrequency(i, 32);
            return;
        }
        if (i > 0)
            known += ", ";
        known += std::to_string(table[i]);
    }
    throw BadArgument("modulation frequency must be one of the sensor's (kHz): " + known);
}

void set_param(Device &d, int id, const py::buffer &value) {
    py::buffer_info info = value.request();
    if (info.ndim > 1 || (info.ndim == 1 && info.strides[0] != info.itemsize))
        throw BadArgument("parameter value must be contiguous bytes");
    std::vector<uint8_t> bytes(static_cast<const uint8_t *>(info.ptr),
                               static_cast<const uint8_t *>(info.ptr) + info.size * info.itemsize);
    py::gil_scoped_release release;
    d.set_param(id, bytes);
}

// The library has one progress callback for the whole process: transfers that report progress
// take turns.
std::mutex g_progress_mutex;

struct Progress {
    py::object callable;
    std::optional<py::error_already_set> raised;  // the first exception of the callable
};

void report_progress(uint32_t done, uint32_t total, void *user) {
    auto *p = static_cast<Progress *>(user);
    py::gil_scoped_acquire acquire;
    if (p->raised)
        return;
    try {
        p->callable(done, total);
    } catch (py::error_already_set &e) {
        p->raised.emplace(std::move(e));
    }
}

// Runs a transfer with the interpreter lock released, reporting to `callable` (or None) after
// every chunk. An exception of the callable is raised once the transfer is over (the library
// has no way to cancel it), unless the transfer itself failed.
template <typename Transfer>
void with_progress(const py::object &callable, Transfer transfer) {
    if (callable.is_none()) {
        py::gil_scoped_release release;
        transfer();
        return;
    }
    if (!PyCallable_Check(callable.ptr()))
        throw BadArgument("progress must be a callable taking (done, total) or None");
    Progress progress{callable, std::nullopt};
    {
        py::gil_scoped_release release;
        std::lock_guard lock(g_progress_mutex);
        tarvo_transfer_set_progress_cb(&report_progress, &progress);
        try {
            transfer();
        } catch (...) {
            tarvo_transfer_set_progress_cb(nullptr, nullptr);
            throw;
        }
        tarvo_transfer_set_progress_cb(nullptr, nullptr);
    }
    if (progress.raised)
        throw std::move(*progress.raised);
}

}  // namespace

void bind_camera(py::module_ &m) {
    bind_records(m);

    py::class_<FrameStream>(m, "FrameStream",
                            "Iterator over a camera's frames, from Camera.frames(); starts "
                            "capture when it was not running and stops it again at the end.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &FrameStream::next)
        .def("close", &FrameStream::close,
             "Ends the iteration and stops capture if this stream started it.");

    using Release = py::call_guard<py::gil_scoped_release>;
    py::class_<Device, std::shared_ptr<Device>> camera(
        m, "Camera",
        "An opened camera, from tarvo.open(); a context manager that closes it. Library errors "
        "raise tarvo.Error, waits that run out tarvo.TimeoutError.");
    camera.def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Device &d, py::args) { close_device(d); })
        .def("close", &close_device,
             "Stops capture and closes the camera; returns within a few seconds even when the "
             "camera stopped answering. Its frames that are still referenced are decoded first "
             "(what they lack of distance(), gray() and point_cloud()), so they stay readable. "
             "Closing twice is harmless.")
        .def_property_readonly(
            "closed", [](const Device &d) { return !d.is_open(); }, "Whether close() was called.")
        .def_property_readonly("info", &Device::identity,
                               "What the camera said about itself at open (CameraInfo).")
        .def_property_readonly("location", &Device::location,
                               "Where the camera sits on the bus (CameraLocation).")
        .def(
            "get_param",
            [](Device &d, int id) {
                std::vector<uint8_t> v;
                {
                    py::gil_scoped_release release;
                    v = d.get_param(id);
                }
                return to_bytes(v);
            },
            py::arg("number"),
            "Value of device parameter `number` (0 to 255), as many bytes as the camera reports.")
        .def("set_param", &set_param, py::arg("number"), py::arg("value"),
             "Sets device parameter `number` to at most 18 bytes (numbers little-endian).")
        .def("read_registers", &read_registers, py::arg("target"), py::arg("address"),
             py::arg("count") = 1,
             "Reads `count` 32-bit registers of `target` from `address` (uint32 array).")
        .def("write_registers", &write_registers, py::arg("target"), py::arg("address"),
             py::arg("values"), "Writes 32-bit `values` to registers of `target` from `address`.")
        .def("start", &Device::start, Release(),
             "Starts capture (nothing happens when it runs already).")
        .def("stop", &Device::stop, Release(),
             "Stops capture and wakes a thread waiting for a frame.")
        .def_property_readonly(
            "capturing",
            [](Device &d) {
                py::gil_scoped_release release;
                return d.capturing();
            },
            "Whether capture runs.")
        .def_property_readonly("intrinsics", &intrinsics_of,
                               "The lens model of the camera's 320 x 240 distance images "
                               "(Intrinsics): with its distortion for raw images, the undistorted "
                               "images' own camera matrix and no distortion while `undistort` is "
                               "on.")
        .def_property_readonly(
            "temperatures", [](const Device &d) { return d.last_temperatures(); },
            "(chip, illumination board) temperatures in degrees Celsius from the header of the "
            "latest frame captured through this camera; None before the first frame.")
        .def_property(
            "integration_time",
            [](Device &d) { return get_number(d, kParamIntegrationTime) & 0xFFFFu; },
            &set_integration_time,
            "Integration time in microseconds (1 to 4000), as the camera holds it.")
        .def_property(
            "frame_rate", [](Device &d) { return get_number(d, kParamFrameRate); }, &set_frame_rate,
            "Frames per second (1 to 120); read by the camera when capture starts.")
        .def_property(
            "modulation_frequency",
            [](Device &d) {
                d.handle();
                return configGetModulationFrequency();
            },
            &set_modulation_frequency,
            "Modulation frequency in kHz, one of the sensor's table (36000, 24000, 12000, ...).")
        .def("read_frame", &read_frame, py::arg("timeout") = 5.0,
             "Next frame of a running capture; tarvo.TimeoutError after `timeout` seconds (None: "
             "no limit). Ctrl-C ends the wait at once with KeyboardInterrupt and stops capture.")
        .def(
            "frames",
            [](std::shared_ptr<Device> d, std::optional<long long> n,
               std::optional<double> timeout) {
                return std::make_unique<FrameStream>(std::move(d), n, timeout);
            },
            py::arg("n") = py::none(), py::arg("timeout") = 5.0,
            "Iterates over `n` frames (None: without end), starting and stopping capture if it "
            "was not running; each wait ends after `timeout` seconds (None: no limit). Ctrl-C "
            "ends a wait at once with KeyboardInterrupt and stops capture.")
        .def(
            "write_data",
            [](Device &d, int type, int version, const std::string &path,
               const py::object &progress) {
                with_progress(progress, [&] { d.write_data(type, version, path); });
            },
            py::arg("type"), py::arg("version"), py::arg("path"), py::arg("progress") = py::none(),
            "Writes the file at `path` to the camera as data of `type` and `version`; "
            "`progress(done, total)` is called after every chunk.")
        .def(
            "read_data",
            [](Device &d, int type, const std::string &path, const py::object &progress) {
                with_progress(progress, [&] { d.read_data(type, path); });
            },
            py::arg("type"), py::arg("path"), py::arg("progress") = py::none(),
            "Reads the camera's data of `type` into the file at `path`; `progress(done, total)` "
            "is called after every chunk.")
        .def("__repr__", [](const Device &d) {
            return "<tarvo.Camera " + d.identity().product + " '" + d.identity().ident + "'" +
                   (d.is_open() ? "" : " closed") + ">";
        });
    bind_filters(camera);
}

}  // namespace tarvo_py
