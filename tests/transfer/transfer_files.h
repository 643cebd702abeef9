// Files for the transfer tests: image contents, and the image files the library must refuse.
#pragma once

#include <tarvo/transfer.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "support/temp_dir.h"

namespace tarvo::test {

// Bytes that differ from chunk to chunk, so a chunk sent twice or out of place shows.
inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>((i * 131 + seed) ^ (i >> 8) ^ (i >> 16));
    return out;
}

inline void write_file(const std::filesystem::path &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> file_bytes(const std::filesystem::path &path) {
    const std::string s = read_file(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

inline std::vector<std::string> dir_entries(const std::filesystem::path &dir) {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// An image file the library refuses before it sends anything, and the ERR line that says why.
struct UnusableImage {
    const char *what;
    void (*make)();
    const char *error;

    // Replaces whatever a previous case left as image.bin.
    void recreate() const {
        std::error_code ec;
        std::filesystem::remove_all("image.bin", ec);
        make();
    }
};

inline constexpr const char *kNotRegular =
    "Cannot open image file image.bin: image.bin is not a regular file";
inline const UnusableImage kMissingImage{"missing", [] {}, "Cannot open image file image.bin"};
inline const UnusableImage kEmptyImage{"empty", [] { write_file("image.bin", {}); },
                                       "Image file is empty: image.bin"};
inline const UnusableImage kDirectoryImage{
    "directory", [] { std::filesystem::create_directory("image.bin"); }, kNotRegular};
// A FIFO nobody writes to: opening it for reading must not wait for a writer.
inline const UnusableImage kFifoImage{"FIFO", [] { ASSERT_EQ(mkfifo("image.bin", 0600), 0); },
                                      kNotRegular};
inline const UnusableImage kTooLargeImage{
    "too large",
    [] {
        write_file("image.bin", {});
        std::filesystem::resize_file("image.bin", uintmax_t{AL_DATA_MAX_IMAGE_SIZE} + 1);
    },
    "Image file too large: 67108865 bytes, at most 67108864"};

}  // namespace tarvo::test
