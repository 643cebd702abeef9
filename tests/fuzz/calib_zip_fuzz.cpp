// The calibration package's zip archive unpacked from whatever it holds: nothing may be written
// outside the target folder, nothing left half-written, and the expansion stays bounded.
#include <tarvo/log.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "drivers/calib_package.h"
#include "private_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMaxBytes = 1 << 20;

fs::path &work() {
    static fs::path path;
    return path;
}

int count_entry(const char *name, void *arg) {
    // Every written path lies in the target folder.
    const std::string written(name);
    const std::string folder = (work() / "out").string();
    if (written.compare(0, folder.size(), folder) != 0)
        std::abort();
    ++*static_cast<int *>(arg);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    work() = tarvo::fuzz::private_dir("zip");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fs::path zip = work() / "tmp.zip";
    const fs::path out = work() / "out";
    fs::create_directories(out);
    std::ofstream(zip, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    int entries = 0;
    (void)tarvo::calib::zip_extract(zip.c_str(), out.c_str(), count_entry, &entries, kMaxBytes);
    // Only the archive and the target folder; within the folder no temporary files.
    uint64_t bytes = 0;
    for (const auto &entry : fs::recursive_directory_iterator(work())) {
        const fs::path &p = entry.path();
        if (p == zip || p == out)
            continue;
        const std::string rel = p.lexically_relative(out).string();
        if (rel.empty() || rel.compare(0, 2, "..") == 0 ||
            rel.find(".tarvo-unzip-") != std::string::npos)
            std::abort();
        if (entry.is_regular_file())
            bytes += entry.file_size();
    }
    if (bytes > kMaxBytes)
        std::abort();
    fs::remove_all(out);
    return 0;
}
