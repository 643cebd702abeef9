// Frame files played back from whatever a file holds: the header line, then frame after frame
// into destinations of exactly the size asked for.
//
// Input: byte 0 picks the loader (bit 0: gray) and the destination size, then the file.
#include <tarvo/frame_file.h>
#include <tarvo/log.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kMaxFrames = 8;

// The file's bytes in a descriptor at position 0, as an application hands it over.
int descriptor_with(const uint8_t *data, size_t size) {
    const int fd = memfd_create("frame-file", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const bool gray = (data[0] & 1) != 0;
    const int dst_len = 1 + (data[0] >> 1) * 37;
    const int fd = descriptor_with(data + 1, size - 1);
    std::unique_ptr<float[]> dst(new float[dst_len]);
    for (int i = 0; i < kMaxFrames; ++i) {
        int width = -1;
        int height = -1;
        const int n = gray ? tarvo_frame_load_gray(fd, dst.get(), dst_len, &width, &height)
                           : tarvo_frame_load_distance(fd, dst.get(), dst_len, &width, &height);
        if (n < 0 || n > dst_len)
            std::abort();
        if (n == 0)
            break;
    }
    close(fd);
    return 0;
}
