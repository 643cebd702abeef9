#include "vcam_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

namespace tarvo::vcam {

const char kControlHelp[] =
    "cameras                          number of cameras\n"
    "status I                         plugged or not, address, bulk transfers completed\n"
    "unplug I / replug I              camera I leaves the bus / returns on its port\n"
    "fault I busy TYPE VALUE REPLIES [TIMES]\n"
    "fault I fail|silent|stall|short|long TYPE VALUE [TIMES]\n"
    "fault I wrong-echo TYPE VALUE ECHO_TYPE ECHO_VALUE [TIMES]\n"
    "fault I param-length PARAM LENGTH [TIMES]\n"
    "                                 command faults (TYPE, VALUE, PARAM -1: any; TIMES -1:\n"
    "                                 until cleared)\n"
    "clear-faults I                   removes camera I's faults\n"
    "param I N [HEX]                  parameter N of camera I: reads it, or sets it to HEX\n"
    "calibration I FILE|none          camera I holds the calibration package in FILE, or none\n"
    "help                             this list\n";

namespace {

std::string error(const std::string &why) {
    return "error: " + why;
}

std::optional<long> number(const std::string &text, long min, long max) {
    if (text.empty())
        return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v < min || v > max)
        return std::nullopt;
    return v;
}

std::string hex(const std::vector<uint8_t> &bytes) {
    std::string s;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}

std::optional<std::vector<uint8_t>> from_hex(const std::string &text) {
    if (text.size() % 2 != 0 || text.size() > 36)
        return std::nullopt;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        const auto v = number("0x" + text.substr(i, 2), 0, 255);
        if (!v)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(*v));
    }
    return out;
}

// The words after "fault I KIND": the fault, or nullopt when they do not fit KIND.
std::optional<Fault> parse_fault(const std::string &kind, const std::vector<std::string> &w) {
    std::vector<long> n;
    for (const std::string &s : w) {
        const auto v = number(s, -1, 0xFFFF);
        if (!v)
            return std::nullopt;
        n.push_back(*v);
    }
    auto times = [&](size_t fixed) -> std::optional<int> {
        if (n.size() == fixed)
            return -1;
        if (n.size() == fixed + 1)
            return static_cast<int>(n[fixed]);
        return std::nullopt;
    };
    auto t = static_cast<int>(n.size() > 0 ? n[0] : -1);
    auto v = static_cast<int>(n.size() > 1 ? n[1] : -1);
    if (kind == "busy" && n.size() >= 3 && times(3))
        return Fault::busy(t, v, static_cast<int>(n[2]), *times(3));
    if (kind == "fail" && times(2))
        return Fault::fail(t, v, "refused through the control socket", *times(2));
    if (kind == "silent" && times(2))
        return Fault::silent(t, v, std::nullopt, *times(2));
    if (kind == "stall" && times(2))
        return Fault::stall(t, v, std::nullopt, *times(2));
    if (kind == "short" && times(2))
        return Fault::short_reply(t, v, *times(2));
    if (kind == "long" && times(2))
        return Fault::long_reply(t, v, *times(2));
    if (kind == "wrong-echo" && n.size() >= 4 && times(4) && n[2] >= 0 && n[3] >= 0 && n[2] < 256 &&
        n[3] < 256) {
        return Fault::wrong_echo(t, v, static_cast<uint8_t>(n[2]), static_cast<uint8_t>(n[3]),
                                 *times(4));
    }
    if (kind == "param-length" && n.size() >= 2 && times(2) && n[1] >= 0 && n[1] < 256)
        return Fault::param_length(t, static_cast<uint8_t>(n[1]), *times(2));
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> read_whole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
    if (in.bad())
        return std::nullopt;
    return bytes;
}

std::string run(const std::vector<std::string> &w, Camera &cam, const ControlHooks &hooks) {
    const std::string &verb = w[0];
    if (verb == "status") {
        return "ok " + std::string(cam.plugged() ? "plugged" : "unplugged") + " address " +
               std::to_string(cam.address()) + " transfers " +
               std::to_string(cam.stream_stats().completed);
    }
    if (verb == "unplug" || verb == "replug") {
        if (cam.plugged() == (verb == "replug"))
            return error(std::string("camera is ") + (cam.plugged() ? "plugged" : "unplugged"));
        verb == "unplug" ? cam.unplug() : cam.replug();
        return "ok";
    }
    if (verb == "clear-faults") {
        cam.clear_faults();
        return "ok";
    }
    if (verb == "fault") {
        if (w.size() < 3)
            return error("fault I KIND ...");
        const auto fault = parse_fault(w[2], {w.begin() + 3, w.end()});
        if (!fault)
            return error("unusable fault; try help");
        cam.add_fault(*fault);
        return "ok";
    }
    if (verb == "param") {
        const auto id = w.size() >= 3 ? number(w[2], 0, 255) : std::nullopt;
        if (!id || w.size() > 4)
            return error("param I N [HEX]");
        if (w.size() == 3) {
            const auto value = cam.param(static_cast<uint8_t>(*id));
            return value ? "ok " + hex(*value) : error("parameter not set");
        }
        const auto bytes = from_hex(w[3]);
        if (!bytes)
            return error("HEX must be 0 to 18 bytes as hex digits");
        cam.set_param(static_cast<uint8_t>(*id), *bytes);
        return "ok";
    }
    if (verb == "calibration") {
        if (w.size() != 3)
            return error("calibration I FILE|none");
        if (!hooks.plant_calibration)
            return error("this tarvo-vcam has no calibration packages");
        std::vector<uint8_t> package;
        if (w[2] != "none") {
            auto bytes = read_whole(w[2]);
            if (!bytes || bytes->empty())
                return error("cannot read " + w[2]);
            package = std::move(*bytes);
        }
        hooks.plant_calibration(cam, std::move(package));
        return "ok";
    }
    return error("unknown command '" + verb + "'");
}

}  // namespace

std::string control_command(const std::string &line,
                            const std::vector<std::shared_ptr<Camera>> &cameras,
                            const ControlHooks &hooks) {
    std::istringstream in(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(in),
                               std::istream_iterator<std::string>()};
    if (w.empty())
        return error("empty command; try help");
    if (w[0] == "help") {
        return "ok cameras; status I; unplug I; replug I; fault I KIND TYPE VALUE ...; "
               "clear-faults I; param I N [HEX]; calibration I FILE|none (tarvo-vcam --help "
               "has the details)";
    }
    if (w[0] == "cameras")
        return "ok " + std::to_string(cameras.size());
    static const char *const kVerbs[] = {"status",       "unplug", "replug",     "fault",
                                         "clear-faults", "param",  "calibration"};
    if (std::find(std::begin(kVerbs), std::end(kVerbs), w[0]) == std::end(kVerbs))
        return error("unknown command '" + w[0] + "'; try help");
    if (w.size() < 2)
        return error("which camera? '" + w[0] + " I'");
    const auto index = number(w[1], 0, static_cast<long>(cameras.size()) - 1);
    if (!index || cameras.empty())
        return error("no camera " + w[1]);
    return run(w, *cameras[static_cast<size_t>(*index)], hooks);
}

ControlServer::~ControlServer() {
    stop();
}

bool ControlServer::start(const std::string &path, Handler handler, std::string &err) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        err = "control socket path must have 1 to " + std::to_string(sizeof addr.sun_path - 1) +
              " characters";
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        // Only a socket an earlier run left behind is replaced; never another file.
        if (!S_ISSOCK(st.st_mode) || unlink(path.c_str()) != 0) {
            err = path + " exists and is not a socket left behind";
            return false;
        }
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 8) != 0 || pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        err = "cannot listen on " + path + ": " + std::strerror(errno);
        stop();
        return false;
    }
    path_ = path;
    handler_ = std::move(handler);
    thread_ = std::thread([this] { serve(); });
    return true;
}

void ControlServer::stop() {
    if (thread_.joinable()) {
        const char b = 1;
        (void)!write(stop_pipe_[1], &b, 1);
        thread_.join();
    }
    for (int *fd : {&listen_fd_, &stop_pipe_[0], &stop_pipe_[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (!path_.empty())
        unlink(path_.c_str());
    path_.clear();
}

// Waits until `fd` has something to read: false when the server stops (or polling fails).
bool ControlServer::wait_readable(int fd) const {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        return fds[1].revents == 0;
    }
}

void ControlServer::serve() {
    while (wait_readable(listen_fd_)) {
        const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            answer(client);
            close(client);
        }
    }
}

// Answers the client's lines until it hangs up or the server stops.
void ControlServer::answer(int client) {
    std::string pending;
    char buf[512];
    while (wait_readable(client)) {
        const ssize_t n = read(client, buf, sizeof buf);
        if (n <= 0)
            return;
        pending.append(buf, static_cast<size_t>(n));
        if (pending.size() > 4096)
            return;  // no command is that long
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::string reply = handler_(line) + "\n";
            if (send(client, reply.data(), reply.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(reply.size()))
                return;
        }
    }
}

int control_send(const std::string &path, const std::vector<std::string> &lines) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "tarvo-vcam: no usable --control path\n");
        return 2;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "tarvo-vcam: cannot reach %s: %s\n", path.c_str(),
                     std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return 2;
    }
    int status = 0;
    std::string pending;
    for (const std::string &line : lines) {
        const std::string out = line + "\n";
        if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
            status = 2;
            break;
        }
        size_t nl;
        char buf[512];
        while ((nl = pending.find('\n')) == std::string::npos) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            pending.append(buf, static_cast<size_t>(n));
        }
        if (nl == std::string::npos) {
            std::fprintf(stderr, "tarvo-vcam: %s closed without an answer\n", path.c_str());
            status = 2;
            break;
        }
        const std::string reply = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        std::printf("%s\n", reply.c_str());
        if (reply.compare(0, 2, "ok") != 0)
            status = 1;
    }
    close(fd);
    return status;
}

}  // namespace tarvo::vcam
