// The native part of the tarvo Python package: library start and stop, the error translation,
// listing and opening cameras. The classes live in camera_bindings.cpp and frame_bindings.cpp.
#include <tarvo/tarvo.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "failure.h"
#include "files/user_folders.h"

namespace tarvo_py {

namespace {

// The "tarvo" logger, and whether the library's lines go to it (not after shutdown).
py::handle g_logger;
std::atomic<bool> g_forwarding{false};

// Cameras opened through this module, closed at interpreter exit before the library stops.
std::mutex g_opened_mutex;
std::vector<std::weak_ptr<Device>> g_opened;  // guarded by g_opened_mutex

void remember(const std::shared_ptr<Device> &device) {
    std::lock_guard lock(g_opened_mutex);
    std::erase_if(g_opened, [](const auto &w) { return w.expired(); });
    g_opened.push_back(device);
}

void shutdown() {
    flush_log_queue();
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
    // Frames still referenced at exit are not decoded: nothing would read them.
    for (auto &d : alive) {
        d->close(/*decode_frames=*/false);
    }
    tarvo_log_set_handler(nullptr, nullptr);
    {
        py::gil_scoped_acquire acquire;
        flush_log_queue();
        g_forwarding = false;
    }
    tarvo_uninit();
}

// One library line on its way to the "tarvo" logger.
struct LogLine {
    int level;  // the logging module's
    std::string tag;
    std::string text;
};

// Lines logged on threads that the interpreter does not know (the USB event thread): taking the
// interpreter lock there could deadlock with a Python thread that holds it and waits for the
// library, so they wait here for the next call from Python.
constexpr size_t kMaxQueuedLines = 256;
std::mutex g_queue_mutex;
std::deque<LogLine> g_queued;  // guarded by g_queue_mutex
size_t g_dropped = 0;          // lines dropped from a full queue; guarded by g_queue_mutex

void log_to_python(const LogLine &line) {
    try {
        py::dict extra;
        extra["tarvo_tag"] = line.tag;
        g_logger.attr("log")(line.level, "%s", line.text, py::arg("extra") = extra);
    } catch (py::error_already_set &e) {
        // Ctrl-C may land in the logger's Python code: pass it on to the next signal check.
        if (e.matches(PyExc_KeyboardInterrupt))
            PyErr_SetInterrupt();
        else
            e.discard_as_unraisable("tarvo log handler");
    }
}

void queue_line(LogLine line) {
    std::lock_guard lock(g_queue_mutex);
    if (g_queued.size() >= kMaxQueuedLines) {
        g_queued.pop_front();
        ++g_dropped;
    }
    g_queued.push_back(std::move(line));
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// The library's console lines as records of the "tarvo" logger, at the matching level. Called
// on the thread that logs: a Python thread forwards at once, any other queues the line.
void forward_to_logging(unsigned level, const char *tag, const char *message, void *) {
    if (!g_forwarding || interpreter_finalizing())
        return;
    static constexpr int kLevels[] = {5, 10, 20, 30, 40};  // TRC DBG INF WRN ERR
    LogLine line{kLevels[level < 5 ? level : 4], tag, message};
    while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r'))
        line.text.pop_back();
    if (PyGILState_GetThisThreadState() == nullptr) {
        queue_line(std::move(line));
        return;
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    flush_log_queue();  // earlier lines first
    log_to_python(line);
    PyGILState_Release(gil);
}

// Nothing in the working folder: the log file goes to TARVO_LOG_FILE or the user's state
// folder, fetched calibration data to the user's cache folder, and the console's lines to the
// "tarvo" logger.
void start_library() {
    const char *log_file = std::getenv("TARVO_LOG_FILE");
    const bool named = log_file != nullptr && *log_file != '\0';
    const std::string state = named ? std::string() : tarvo::files::state_folder();
    const std::string file = named           ? log_file
                             : state.empty() ? "/dev/null"
                                             : state + tarvo::files::dated_log_name();
    tarvo_init(file.c_str());
    if (file == "/dev/null")
        zr_log_enable(1, 5, nullptr);
    const std::string cache = tarvo::files::cache_folder();
    if (!cache.empty())
        tarvo_path_cfg(cache.c_str());
    g_logger = py::module_::import("logging").attr("getLogger")("tarvo").release();
    g_forwarding = true;
    tarvo_log_set_handler(forward_to_logging, nullptr);
}

std::shared_ptr<Device> open_index(int index) {
    // Closing joins the camera's USB thread: never with the interpreter lock held.
    return std::shared_ptr<Device>(new Device(index), [](Device *d) {
        if (PyGILState_Check()) {
            py::gil_scoped_release unlocked;
            delete d;
        } else {
            delete d;
        }
    });
}

// "1-2": bus 1, port 2.
std::pair<int, int> parse_bus_port(const std::string &text) {
    int bus = -1, port = -1;
    char end = 0;
    if (std::sscanf(text.c_str(), "%d-%d%c", &bus, &port, &end) != 2 || bus < 0 || port < 0)
        throw BadArgument("bus_port must be BUS-PORT, such as \"1-2\"");
    return {bus, port};
}

// The camera chosen by index (default the first), by "BUS-PORT" or by its ident (found by
// opening the cameras in turn).
std::shared_ptr<Device> open_chosen(std::optional<int> index,
                                    const std::optional<std::string> &ident,
                                    const std::optional<std::string> &bus_port) {
    if ((index ? 1 : 0) + (ident ? 1 : 0) + (bus_port ? 1 : 0) > 1)
        throw BadArgument("choose the camera by one of index, ident and bus_port");
    if (bus_port) {
        const auto [bus, port] = parse_bus_port(*bus_port);
        for (const Location &l : list_cameras()) {
            if (l.bus == bus && l.port == port)
                return open_index(l.index);
        }
        throw Failure("no camera at bus " + std::to_string(bus) + " port " + std::to_string(port));
    }
    if (ident) {
        for (const Location &l : list_cameras()) {
            std::shared_ptr<Device> d;
            try {
                d = open_index(l.index);
            } catch (const Failure &) {
                continue;  // in use or failing: not the one to find
            }
            if (d->identity().ident == *ident)
                return d;
        }
        throw Failure("no camera with ident " + *ident);
    }
    return open_index(index.value_or(0));
}

std::shared_ptr<Device> open_camera(std::optional<int> index,
                                    const std::optional<std::string> &path,
                                    const std::optional<std::string> &ident,
                                    const std::optional<std::string> &bus_port) {
    std::shared_ptr<Device> device;
    {
        py::gil_scoped_release release;
        if (path && tarvo_path_cfg(path->c_str()) != 0)
            throw Failure("the path prefix " + *path + " cannot be created");
        device = open_chosen(index, ident, bus_port);
    }
    remember(device);
    flush_log_queue();
    return device;
}

void set_log_levels(int console, int file) {
    if (console < 0 || console > 5 || file < 0 || file > 5)
        throw BadArgument("log levels must be 0 (trace) to 5 (silent)");
    tarvo_log_cfg(console, file, 5);
}

}  // namespace

void flush_log_queue() {
    std::deque<LogLine> lines;
    size_t dropped = 0;
    {
        std::lock_guard lock(g_queue_mutex);
        lines.swap(g_queued);
        std::swap(dropped, g_dropped);
    }
    if (!g_forwarding)
        return;
    if (dropped > 0)
        log_to_python({30, "WRN", std::to_string(dropped) + " library log lines were dropped"});
    for (const LogLine &line : lines)
        log_to_python(line);
}

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
#ifdef TARVO_PY_VERSION
    m.attr("__version__") = TARVO_PY_VERSION;
#endif
    start_library();
    register_failures(m);
    py::module_::import("atexit").attr("register")(py::cpp_function(&shutdown));

    bind_camera(m);
    bind_frame(m);
    bind_images(m);
    bind_clouds(m);
    bind_frame_files(m);
    bind_recording(m);

    m.def(
        "list_cameras",
        [] {
            std::vector<Location> cameras;
            {
                py::gil_scoped_release release;
                cameras = list_cameras();
            }
            flush_log_queue();
            return cameras;
        },
        "The cameras on the bus (CameraLocation), in the library's listing order.");
    m.def("open", &open_camera, py::arg("index") = py::none(), py::arg("path") = py::none(),
          py::arg("ident") = py::none(), py::arg("bus_port") = py::none(),
          "Opens a camera: the first, or the one of `index` (as list_cameras numbers them), "
          "`ident` (its identification string) or `bus_port` (\"BUS-PORT\"). Raises tarvo.Error "
          "when there is none or it cannot be opened.");
    m.def("error_name", &code_name, py::arg("code"), "The name of a library result code.");
    m.def("set_log_levels", &set_log_levels, py::arg("console") = 3, py::arg("file") = 5,
          "Lowest levels (0 trace to 5 silent) of the library lines sent to the \"tarvo\" logger "
          "and written to the log file.");
}
