// PNG files of the tarvo tool (libpng): 16-bit gray images such as distances in millimetres, and
// 8-bit RGB images.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tarvo::tool {

// A distance in metres as a 16-bit PNG sample: millimetres, 0 where the pixel has no valid
// distance (the invalid codes 65.3 m and up, NaN, 0 or less), clamped to 65535.
uint16_t depth_millimetres(float metres);

// Writes a width x height image of 16-bit gray samples (row-major) to `fd`. False with `error`
// set when it cannot be written or the tool was built without libpng.
bool write_png_gray16(int fd, std::span<const uint16_t> samples, uint32_t width, uint32_t height,
                      std::string &error);

// The same for red, green and blue bytes per pixel.
bool write_png_rgb8(int fd, std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                    std::string &error);

}  // namespace tarvo::tool
