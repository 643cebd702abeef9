#include "transfer/image_file.h"

#include <tarvo/log.h>
#include <tarvo/transfer.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include <sys/stat.h>

#include "files/safe_file.h"

namespace tarvo::transfer {

FilePtr open_image(const char *path, const char *tag) {
    // A FIFO or device would block the open or the read, with the camera held busy meanwhile.
    std::string why;
    FilePtr f(files::fopen_regular_input(path, &why));
    if (!f)
        zr_log(4, "ERR", "[%s] Cannot open image file %s: %s\n", tag, path, why.c_str());
    return f;
}

int64_t image_size(std::FILE *f, const char *path, const char *tag) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        zr_log(4, "ERR", "[%s] %s is not a regular file\n", tag, path);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool image_too_large(int64_t size, const char *tag) {
    if (size <= static_cast<int64_t>(AL_DATA_MAX_IMAGE_SIZE))
        return false;
    zr_log(4, "ERR", "[%s] Image file too large: %lld bytes, at most %u\n", tag,
           static_cast<long long>(size), AL_DATA_MAX_IMAGE_SIZE);
    return true;
}

bool allocate_image(std::vector<uint8_t> &bytes, int64_t size, const char *tag) {
    try {
        bytes.resize(static_cast<size_t>(size));
        return true;
    } catch (const std::bad_alloc &) {
        zr_log(4, "ERR", "[%s] no memory for %lld bytes\n", tag, static_cast<long long>(size));
        return false;
    }
}

Sizing size_image(std::FILE *f, const char *path, const char *tag, std::vector<uint8_t> &bytes) {
    const int64_t size = image_size(f, path, tag);
    if (size < 0)
        return Sizing::failed;
    zr_log(2, "INF", "[%s] File size:%d\n", tag,
           static_cast<int>(std::min<int64_t>(size, INT32_MAX)));
    if (size == 0) {
        zr_log(4, "ERR", "[%s] Image file is empty: %s\n", tag, path);
        return Sizing::empty;
    }
    if (image_too_large(size, tag) || !allocate_image(bytes, size, tag))
        return Sizing::failed;
    return Sizing::ready;
}

size_t read_image(std::FILE *f, std::vector<uint8_t> &bytes) {
    size_t got = 0;
    while (got < bytes.size()) {
        const size_t n = std::fread(bytes.data() + got, 1, bytes.size() - got, f);
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

}  // namespace tarvo::transfer
