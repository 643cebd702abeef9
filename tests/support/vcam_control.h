// A client of tarvo-vcam's control socket (--control PATH) for tests that run a program under
// tarvo-vcam and unplug, replug or inspect its cameras from outside, as a user's test would.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace tarvo::test {

// Sends one line to the socket at `path` and returns the reply line; empty when the socket
// cannot be reached (tarvo-vcam not listening yet, or gone).
inline std::string vcam_control(const std::string &path, const std::string &line) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
        return "";
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    std::string reply;
    const std::string out = line + "\n";
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size())) {
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n')
            reply += c;
    }
    close(fd);
    return reply;
}

// The number after "transfers" in a status reply; 0 when there is none.
inline unsigned long vcam_transfers(const std::string &status_reply) {
    const size_t at = status_reply.find("transfers ");
    return at == std::string::npos ? 0 : std::stoul(status_reply.substr(at + 10));
}

}  // namespace tarvo::test
