// The bad-pixel file "./calibration/PT%02i_W%03i_C%03i_bad_pixels.txt" read back from whatever
// it holds, into a buffer of exactly the documented size (two numbers per pixel of the search
// extents), so that the address sanitizer sees a value written past it.
//
// Input: the file's content.
#include <tarvo/epc_calib.h>
#include <tarvo/log.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "epc/calibration_files.h"
#include "epc/calibration_state.h"
#include "private_dir.h"

namespace {

namespace fs = std::filesystem;

fs::path &work_dir() {
    static fs::path dir;
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    work_dir() = tarvo::fuzz::private_dir("badpx");
    fs::current_path(work_dir());
    fs::create_directories("calibration");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string name = tarvo::epc::bad_pixel_file_name();
    std::ofstream(name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    const size_t capacity = size_t{2} * static_cast<size_t>(tarvo::epc::bad_pixel_rows()) *
                            static_cast<size_t>(tarvo::epc::bad_pixel_columns());
    std::vector<int16_t> values(capacity);
    const int n = calibrationGetBadPixels(values.data());
    if (n < -1 || (n >= 0 && static_cast<size_t>(n) > capacity))
        std::abort();
    return 0;
}
