// Failures of library calls, as C++ exceptions that the bindings turn into Python exceptions.
#pragma once

#include <stdexcept>
#include <string>

namespace tarvo_py {

// Codes of failures that the library reports without a capture error code of its own.
inline constexpr int kFailed = -1;        // a call answered false or -1
inline constexpr int kNotCapturing = -2;  // a fetch while capture does not run
inline constexpr int kTimeout = -5;       // TARVO_ERR_CAP_TIMEOUT

// A library call failed: becomes tarvo.Error (tarvo.TimeoutError for kTimeout).
class Failure : public std::runtime_error {
  public:
    Failure(const std::string &message, int code = kFailed)
        : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// The caller's arguments cannot be used: becomes ValueError.
class BadArgument : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// The name of a code: the library's own for capture errors, ours for the other results.
std::string code_name(int code);

}  // namespace tarvo_py
