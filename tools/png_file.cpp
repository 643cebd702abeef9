#include "png_file.h"

#if TARVO_TOOL_PNG
#include <png.h>
#endif

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <vector>

namespace tarvo::tool {

uint16_t depth_millimetres(float metres) {
    if (!(metres > 0.0f && metres < 60.0f))  // false for NaN too
        return 0;
    return static_cast<uint16_t>(std::lround(std::min(metres * 1000.0f, 65535.0f)));
}

#if TARVO_TOOL_PNG
namespace {

struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

// `rows`: height rows of width x channels samples of bit_depth bits.
bool write_png_rows(int fd, std::span<const uint8_t> rows, uint32_t width, uint32_t height,
                    int bit_depth, int color_type, std::string &error) {
    error = "cannot write the PNG image";
    if (height == 0 || width == 0 || rows.empty())
        return false;
    std::FILE *file = ::fdopen(::dup(fd), "wb");
    if (file == nullptr)
        return false;
    const size_t stride = rows.size() / height;
    bool ok = false;
    {
        PngWriter w;
        w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        w.info = w.png != nullptr ? png_create_info_struct(w.png) : nullptr;
        if (w.info != nullptr && setjmp(png_jmpbuf(w.png)) == 0) {
            png_init_io(w.png, file);
            png_set_IHDR(w.png, w.info, width, height, bit_depth, color_type, PNG_INTERLACE_NONE,
                         PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
            png_write_info(w.png, w.info);
            for (uint32_t y = 0; y < height; ++y)
                png_write_row(w.png, rows.data() + size_t{y} * stride);
            png_write_end(w.png, nullptr);
            ok = true;
        }
    }
    return std::fclose(file) == 0 && ok;
}

}  // namespace

bool write_png_gray16(int fd, std::span<const uint16_t> samples, uint32_t width, uint32_t height,
                      std::string &error) {
    // PNG stores 16-bit samples big-endian.
    std::vector<uint8_t> rows(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        rows[2 * i] = static_cast<uint8_t>(samples[i] >> 8);
        rows[2 * i + 1] = static_cast<uint8_t>(samples[i]);
    }
    return write_png_rows(fd, rows, width, height, 16, PNG_COLOR_TYPE_GRAY, error);
}

bool write_png_rgb8(int fd, std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                    std::string &error) {
    return write_png_rows(fd, rgb, width, height, 8, PNG_COLOR_TYPE_RGB, error);
}
#else
bool write_png_gray16(int, std::span<const uint16_t>, uint32_t, uint32_t, std::string &error) {
    error = "this tool was built without libpng";
    return false;
}

bool write_png_rgb8(int, std::span<const uint8_t>, uint32_t, uint32_t, std::string &error) {
    error = "this tool was built without libpng";
    return false;
}
#endif

}  // namespace tarvo::tool
