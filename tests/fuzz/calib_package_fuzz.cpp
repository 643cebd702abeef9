// The calibration package as the camera uploads it: the 17-byte header read, the zip archive
// cut out, unpacked into the path prefix and the per-chip file split. Whatever the package
// holds, the working files ("tmp.zip", temporary names) are gone afterwards, nothing lands
// outside the prefix, and calibration files that appear are whole halves of a per-chip file.
//
// Input: the package ("calibration.bin"). The handle is not open, so the chip id reads as 0.
#include <tarvo/dev.h>
#include <tarvo/log.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "drivers/calib_package.h"
#include "private_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr const char *kParamName = "drnu_param.bin";
constexpr const char *kImagesName = "drnu_images.bin";

struct Work {
    fs::path root;    // holds the prefix, so that anything written beside it shows
    fs::path prefix;  // the path prefix the package is unpacked into
    std::string prefix_text;
    tarvo::calib::FileNameSet names[2];
};

Work &work() {
    static Work w;
    return w;
}

void check_left_behind() {
    const Work &w = work();
    for (const auto &entry : fs::recursive_directory_iterator(w.root)) {
        const fs::path &p = entry.path();
        const std::string rel = p.lexically_relative(w.prefix).string();
        const std::string name = p.filename().string();
        if (rel.empty() || rel.compare(0, 2, "..") == 0)
            std::abort();  // beside the prefix
        if (name == "tmp.zip" || name == "calibration.bin" ||
            name.find(".tarvo-unzip-") != std::string::npos ||
            name.find(".part") != std::string::npos)
            std::abort();  // a working file left behind
    }
    const fs::path param = w.prefix / kParamName;
    const fs::path images = w.prefix / kImagesName;
    if (fs::exists(param) != fs::exists(images))
        std::abort();
    if (fs::exists(param)) {
        const auto p = fs::file_size(param);
        const auto i = fs::file_size(images);
        if ((p != 16 && p != 20 && p != 24) || i == 0 || i % 256 != 0)
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    Work &w = work();
    w.root = tarvo::fuzz::private_dir("package");
    w.prefix = w.root / "prefix";
    w.prefix_text = w.prefix.string() + "/";
    for (auto &set : w.names) {
        std::strcpy(set.parameters, kParamName);
        std::strcpy(set.distance_images, kImagesName);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Work &w = work();
    fs::remove_all(w.prefix);
    fs::create_directories(w.prefix);
    const fs::path package = w.prefix / "calibration.bin";
    std::ofstream(package, std::ios::binary)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    tarvo_dev_t dev{};
    dev.path = w.prefix_text.c_str();
    (void)tarvo::calib::_calib_pk_parse(&dev, w.names);
    fs::remove(package);  // as the upload does after parsing
    check_left_behind();
    return 0;
}
