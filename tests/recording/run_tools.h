// Helpers of the recording tests that run the tools: commands through the shell in a folder,
// and files read whole.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tarvo::test {

inline std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v ? v : "";
}

// `path` in single quotes for the shell.
inline std::string quoted(const std::string &path) {
    std::string out(1, '\'');
    out.append(path).push_back('\'');
    return out;
}

// Exit status of `command` run by the shell in `dir` (128 + N when killed by signal N).
inline int run(const std::filesystem::path &dir, const std::string &command) {
    const std::string line = "cd '" + dir.string() + "' && " + command;
    const int raw = std::system(line.c_str());
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

inline std::vector<char> slurp(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string text(const std::filesystem::path &path) {
    const auto bytes = slurp(path);
    return {bytes.begin(), bytes.end()};
}

}  // namespace tarvo::test
