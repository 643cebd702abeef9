// tarvo-vcam's control socket: another process unplugs and replugs virtual cameras, injects
// command faults, reads and sets parameters, and plants calibration packages while a program
// runs against them. A Unix stream socket speaks a line protocol, one reply line per command:
// "ok" with an optional text, or "error: WHY". `help` lists the commands (kControlHelp).
//
// Thread context: the server answers on a thread of its own, one client at a time; the
// cameras' methods it calls are thread-safe. control_send runs on the caller's thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "vcam.h"

namespace tarvo::vcam {

extern const char kControlHelp[];

// What the launcher adds to the commands: planting a calibration package (bytes; empty:
// remove the camera's package). Null: the command reports that it is not available.
struct ControlHooks {
    std::function<void(Camera &, std::vector<uint8_t>)> plant_calibration;
};

// Runs one command line against `cameras` (index i is camera i); the reply line, no newline.
std::string control_command(const std::string &line,
                            const std::vector<std::shared_ptr<Camera>> &cameras,
                            const ControlHooks &hooks);

class ControlServer {
  public:
    using Handler = std::function<std::string(const std::string &line)>;
    ~ControlServer();
    // Listens on `path` (which must not exist, or be a socket left behind). False: `error`.
    bool start(const std::string &path, Handler handler, std::string &error);
    // Stops answering and removes the socket.
    void stop();

  private:
    bool wait_readable(int fd) const;
    void serve();
    void answer(int client);

    std::string path_;
    Handler handler_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

// Sends each line to the socket at `path` and prints each reply on standard output. Returns 0
// when every reply was "ok", 1 otherwise, 2 when the socket cannot be reached.
int control_send(const std::string &path, const std::vector<std::string> &lines);

}  // namespace tarvo::vcam
