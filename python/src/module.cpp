// The native part of the tarvo Python package: library start and stop, the error translation,
// listing and opening cameras. The classes live in camera_bindings.cpp and frame_bindings.cpp.
#include <tarvo/tarvo.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "failure.h"

namespace tarvo_py {

namespace {

// Cameras opened through this module, closed at interpreter exit before the library stops.
std::mutex g_opened_mutex;
std::vector<std::weak_ptr<Device>> g_opened;  // guarded by g_opened_mutex

void remember(const std::shared_ptr<Device> &device) {
    std::lock_guard lock(g_opened_mutex);
    std::erase_if(g_opened, [](const auto &w) { return w.expired(); });
    g_opened.push_back(device);
}

void shutdown() {
    std::vector<std::shared_ptr<Device>> alive;
    {
        std::lock_guard lock(g_opened_mutex);
        for (auto &w : g_opened) {
            if (auto d = w.lock())
                alive.push_back(std::move(d));
        }
        g_opened.clear();
    }
    py::gil_scoped_release release;
    for (auto &d : alive) {
        d->close();
    }
    tarvo_uninit();
}

// Python users do not expect a log file in their working directory: the library's file sink
// goes to TARVO_LOG_FILE when it is set and is silenced otherwise.
void start_library() {
    const char *log_file = std::getenv("TARVO_LOG_FILE");
    const bool to_file = log_file != nullptr && *log_file != '\0';
    tarvo_init(to_file ? log_file : "/dev/null");
    if (!to_file)
        zr_log_enable(1, 5, nullptr);
}

std::shared_ptr<Device> open_camera(int index, const std::optional<std::string> &path) {
    std::shared_ptr<Device> device;
    {
        py::gil_scoped_release release;
        if (path && tarvo_path_cfg(path->c_str()) != 0)
            throw Failure("the path prefix " + *path + " cannot be created");
        // Closing joins the camera's USB thread: never with the interpreter lock held.
        device = std::shared_ptr<Device>(new Device(index), [](Device *d) {
            if (PyGILState_Check()) {
                py::gil_scoped_release unlocked;
                delete d;
            } else {
                delete d;
            }
        });
    }
    remember(device);
    return device;
}

void set_log_levels(int console, int file) {
    if (console < 0 || console > 5 || file < 0 || file > 5)
        throw BadArgument("log levels must be 0 (trace) to 5 (silent)");
    tarvo_log_cfg(console, file, 5);
}

}  // namespace

py::array view_of(py::handle owner, const py::dtype &dtype, std::vector<py::ssize_t> shape,
                  const void *data, bool writeable) {
    py::array arr(dtype, std::move(shape), data, owner);
    if (!writeable)
        py::detail::array_proxy(arr.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return arr;
}

py::array adopt(MallocBuffer buffer, const py::dtype &dtype, std::vector<py::ssize_t> shape) {
    void *data = buffer.get();
    py::capsule owner(data, [](void *p) { std::free(p); });
    (void)buffer.release();
    return py::array(dtype, std::move(shape), data, owner);
}

void register_failures(py::module_ &m) {
    // The exception classes are plain Python (tarvo/_errors.py), so that they can inherit from
    // both tarvo.Error and the built-in TimeoutError.
    py::module_ errors = py::module_::import("tarvo._errors");
    static py::handle error_class = py::object(errors.attr("Error")).release();
    static py::handle timeout_class = py::object(errors.attr("TimeoutError")).release();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const Failure &f) {
            py::handle cls = f.code() == kTimeout ? timeout_class : error_class;
            py::object e = cls(f.what(), f.code(), code_name(f.code()));
            PyErr_SetObject(cls.ptr(), e.ptr());
        }
    });
}

}  // namespace tarvo_py

PYBIND11_MODULE(_tarvo, m) {
    using namespace tarvo_py;
    m.doc() = "Native part of the tarvo package; import tarvo instead.";
    start_library();
    register_failures(m);
    py::module_::import("atexit").attr("register")(py::cpp_function(&shutdown));

    bind_camera(m);
    bind_frame(m);
    bind_images(m);
    bind_clouds(m);
    bind_frame_files(m);

    m.def("list_cameras", [] {
        py::gil_scoped_release release;
        return list_cameras();
    });
    m.def("open", &open_camera, py::arg("index") = 0, py::arg("path") = py::none());
    m.def("error_name", &code_name, py::arg("code"));
    m.def("set_log_levels", &set_log_levels, py::arg("console") = 3, py::arg("file") = 5);
}
