// What a call prints on standard output, for operations that report on the console.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tarvo::test {

// Runs `fn` and returns what it printed on standard output.
template <typename Fn>
std::string printed(Fn &&fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace tarvo::test
