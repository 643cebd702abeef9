// Reading an image file that is to be sent to the camera. The file's size decides the transfer
// information and the number of chunks, so it is checked before anything is allocated or sent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace tarvo::transfer {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` for binary reading; null after an ERR line naming the reason.
FilePtr open_image(const char *path, const char *tag);

// The size of an opened image, or -1 after an ERR line when it is not a regular file (a
// directory or a pipe has no size worth sending).
int64_t image_size(std::FILE *f, const char *path, const char *tag);

// ERR line and true when a non-empty image is too large to be sent.
bool image_too_large(int64_t size, const char *tag);

// `size` bytes of buffer, or false after an ERR line when there is no memory for them.
bool allocate_image(std::vector<uint8_t> &bytes, int64_t size, const char *tag);

enum class Sizing { ready, empty, failed };
// Sizes `bytes` to hold the whole opened image, after an INF line with the file's size. An empty
// file is told apart from the other failures (not a regular file, too large, no memory): the
// write reports it as a failed upgrade. Every outcome but `ready` comes after an ERR line.
Sizing size_image(std::FILE *f, const char *path, const char *tag, std::vector<uint8_t> &bytes);

// Reads up to bytes.size() bytes; returns how many arrived.
size_t read_image(std::FILE *f, std::vector<uint8_t> &bytes);

}  // namespace tarvo::transfer
