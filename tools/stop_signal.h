// SIGINT and SIGTERM as a request to stop a long-running command after the work in hand, for
// the commands that poll in a loop (publish, subscribe) or work through a list (export).
#pragma once

#include <signal.h>

#include <atomic>

namespace tarvo::tool {

// Exit status of a command that Ctrl-C or SIGTERM ended before its work was done (128 + SIGINT,
// as a shell reports a program ended by it).
inline constexpr int kInterrupted = 130;

inline std::atomic<bool> &stop_requested() {
    static std::atomic<bool> requested{false};
    return requested;
}

// From now on SIGINT and SIGTERM set stop_requested() instead of ending the process.
inline void stop_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = [](int) { stop_requested() = true; };
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace tarvo::tool
