// A fresh temporary directory that a test works in; the previous working directory is
// restored and the directory removed afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace tarvo::test {

class TempDir {
  public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "tarvo-test-XXXXXX").string();
        path_ = mkdtemp(templ.data());
        old_cwd_ = std::filesystem::current_path();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::current_path(old_cwd_, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    void enter() const { std::filesystem::current_path(path_); }

  private:
    std::filesystem::path path_;
    std::filesystem::path old_cwd_;
};

inline std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace tarvo::test
