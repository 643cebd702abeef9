#include "ply_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "files/safe_file.h"

namespace tarvo::tool {

namespace {

constexpr size_t kFloatsPerPoint = 4;
constexpr size_t kBytesPerVertex = 3 * 4 + 3;

void put_float_le(uint8_t *out, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

std::string header(size_t points) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "ply\nformat binary_little_endian 1.0\ncomment written by tarvo\n"
                  "element vertex %zu\nproperty float x\nproperty float y\nproperty float z\n"
                  "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n",
                  points);
    return text;
}

}  // namespace

std::string ply_bytes(std::span<const float> xyzc) {
    const size_t points = xyzc.size() / kFloatsPerPoint;
    std::string bytes = header(points);
    const size_t body = bytes.size();
    bytes.resize(body + points * kBytesPerVertex);
    for (size_t i = 0; i < points; ++i) {
        const float *p = &xyzc[i * kFloatsPerPoint];
        auto *out = reinterpret_cast<uint8_t *>(&bytes[body + i * kBytesPerVertex]);
        for (int k = 0; k < 3; ++k)
            put_float_le(out + 4 * k, p[k]);
        // The colour word: red in bits 0-7, green 8-15, blue 16-23 (exact in a float).
        const auto colour = static_cast<uint32_t>(p[3]);
        out[12] = colour & 0xFF;
        out[13] = (colour >> 8) & 0xFF;
        out[14] = (colour >> 16) & 0xFF;
    }
    return bytes;
}

bool write_ply(const std::string &path, std::span<const float> xyzc, std::string &error) {
    const std::string bytes = ply_bytes(xyzc);
    files::OutputFile out(path);
    if (!out.open() || !out.write(bytes.data(), bytes.size()) || !out.commit()) {
        error = out.error();
        return false;
    }
    return true;
}

}  // namespace tarvo::tool
