// Waiting for what other threads bring about. The bounds only keep a broken build from hanging;
// no test asserts on how long anything takes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace tarvo::test {

// Polls `pred` until it holds, for about half a minute at most; the last answer.
inline bool eventually(const std::function<bool()> &pred) {
    for (int i = 0; i < 3000 && !pred(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pred();
}

// Runs `work` on a thread of its own and joins it. A call that never returns (a deadlock)
// fails the test and ends the program, since the stuck thread cannot be joined.
inline void run_to_completion(const char *what, const std::function<void()> &work) {
    std::atomic<bool> done{false};
    std::thread thread([&] {
        work();
        done = true;
    });
    if (!eventually([&] { return done.load(); })) {
        ADD_FAILURE() << what << " never returned";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    thread.join();
}

}  // namespace tarvo::test
