// A folder of one fuzz process's own under /tmp, removed when the process ends: the parsers
// under test read and write files by name, and parallel fuzz jobs must not share them.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>

namespace tarvo::fuzz {

// Creates "/tmp/tarvo-fuzz-<tag>-XXXXXX" once per process; aborts when it cannot. The path is
// never destroyed, so the removal at exit still finds it.
inline const std::filesystem::path &private_dir(const char *tag) {
    static const std::filesystem::path *const dir = [tag] {
        std::string name = std::string("/tmp/tarvo-fuzz-") + tag + "-XXXXXX";
        if (mkdtemp(name.data()) == nullptr)
            std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(private_dir(nullptr), ignored);
        });
        return new std::filesystem::path(name);
    }();
    return *dir;
}

}  // namespace tarvo::fuzz
