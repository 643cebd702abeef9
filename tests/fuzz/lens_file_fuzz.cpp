// The lens parameter file read from whatever it holds, then the lens map built from it for an
// image size and an image undistorted through that map.
//
// Input: byte 0 picks the image size, the rest is the file.
#include <tarvo/lens.h>
#include <tarvo/log.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "drivers/lens_param.h"
#include "private_dir.h"

namespace {

namespace fs = std::filesystem;

fs::path &lens_file() {
    static fs::path path;
    return path;
}

void undistort_with(const zr_lens_param_t &lens) {
    zr_calib_len_t map{};
    if (zr_calib_len_init_map(&map, &lens) <= 0)
        return;
    const int pixels = lens.img_w * lens.img_h;
    std::unique_ptr<float[]> src(new float[pixels]);
    std::unique_ptr<float[]> dst(new float[pixels]);
    for (int i = 0; i < pixels; ++i)
        src[i] = static_cast<float>(i % 97) * 0.05f;
    (void)zr_calib_len_undistort(&map, dst.get(), pixels, src.get(), lens.img_w, lens.img_h, 65.5f);
    zr_calib_len_uninit_map(&map);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    lens_file() = tarvo::fuzz::private_dir("lens") / "lens_param.txt";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    std::ofstream(lens_file(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data + 1), static_cast<std::streamsize>(size - 1));
    tarvo::set_lens_params(tarvo::default_lens_params());
    (void)tarvo::load_lens_params(lens_file().string());
    const zr_lens_param_t lens = tarvo::lens_params();
    static const int kSizes[][2] = {{320, 240}, {160, 120}, {328, 252}, {80, 60}};
    const auto &wh = kSizes[data[0] % 4];
    // Maps are only built for sizes a camera has; a file may claim any size up to its bounds.
    if (const auto scaled = tarvo::scale_lens_params(lens, wh[0], wh[1], "fuzz");
        scaled && uint64_t(scaled->img_w) * uint64_t(scaled->img_h) <= 328 * 252 && (data[0] & 4)) {
        undistort_with(*scaled);
    }
    return 0;
}
