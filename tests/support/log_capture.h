// Captures the library's log for the lifetime of the object: the log file is redirected to a
// temporary file (threshold TRC by default) and the console is silenced, so a test can assert on
// the lines a behaviour must produce. Logging is switched off again when the object goes.
//
// Lines are read back from the file, which the logger flushes after every line, so lines written
// by the USB event thread are visible as soon as the call that produced them has returned.
#pragma once

#include <tarvo/log.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace tarvo::test {

class LogCapture {
  public:
    explicit LogCapture(unsigned file_level = 0, unsigned console_level = 5) {
        std::string templ = (std::filesystem::temp_directory_path() / "tarvo-log-XXXXXX").string();
        const int fd = mkstemp(templ.data());
        if (fd >= 0)
            close(fd);
        path_ = templ;
        zr_log_enable(0, console_level, nullptr);
        zr_log_enable(1, file_level, path_.c_str());
    }
    ~LogCapture() {
        zr_log_disable();
        zr_log_enable(0, 3, nullptr);  // the console threshold the library starts with
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::filesystem::path &path() const { return path_; }

    // Forgets everything logged so far.
    void clear() {
        std::error_code ec;
        std::filesystem::resize_file(path_, 0, ec);  // the logger appends, so it follows
    }

    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    // Lines containing `needle`; with a level ("TRC", "DBG", "INF", "WRN", "ERR") only lines
    // written at that level.
    std::vector<std::string> lines_with(std::string_view needle,
                                        std::string_view level = {}) const {
        std::vector<std::string> result;
        for (std::string &line : lines()) {
            if (line.find(needle) == std::string::npos)
                continue;
            if (!level.empty() && !has_level(line, level))
                continue;
            result.push_back(std::move(line));
        }
        return result;
    }

    size_t count(std::string_view needle, std::string_view level = {}) const {
        return lines_with(needle, level).size();
    }
    bool contains(std::string_view needle, std::string_view level = {}) const {
        return count(needle, level) > 0;
    }

    // Lines written at `level` that contain none of `expected`: a test fails on error lines it
    // did not ask for.
    std::vector<std::string> unexpected(std::string_view level,
                                        const std::vector<std::string_view> &expected = {}) const {
        std::vector<std::string> result;
        for (std::string &line : lines()) {
            if (!has_level(line, level))
                continue;
            bool known = false;
            for (std::string_view e : expected)
                known = known || line.find(e) != std::string::npos;
            if (!known)
                result.push_back(std::move(line));
        }
        return result;
    }

    // Position of the first line containing `needle` at or after line `from`, or -1.
    int find(std::string_view needle, int from = 0) const {
        const std::vector<std::string> all = lines();
        for (int i = from < 0 ? 0 : from; i < static_cast<int>(all.size()); ++i) {
            if (all[i].find(needle) != std::string::npos)
                return i;
        }
        return -1;
    }

  private:
    // The prefix reads "<date> <time>[tid][LVL] ".
    static bool has_level(const std::string &line, std::string_view level) {
        std::string tag = "][";
        tag += level;
        tag += "] ";
        return line.find(tag) != std::string::npos;
    }

    std::filesystem::path path_;
};

}  // namespace tarvo::test
