// Random and damaged frame files through both loaders. Files sit in exactly sized memory files
// and results in exactly sized buffers, so the address sanitizer sees any overread; whatever a
// loader accepts must describe what the file holds.
#include <tarvo/frame_file.h>
#include <tarvo/log.h>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Loader = int (*)(int, float *, int, int *, int *);

std::string random_header(std::mt19937 &rng) {
    static const char *kinds[] = {"ZR_DIST", "ZR_GRAY", "ZR_DIS", "zr_dist"};
    static const char *types[] = {"F32", "U32", "U16", "U8", "I8", ""};
    static const char *numbers[] = {"0",           "1",     "2",     "3",    "17",
                                    "-1",          "65535", "65536", "4096", "2147483647",
                                    "99999999999", "",      " 4",    "+4",   "4x"};
    auto pick = [&](auto &table) { return table[rng() % std::size(table)]; };
    std::string h =
        std::string(pick(kinds)) + "," + pick(types) + "," + pick(numbers) + "," + pick(numbers);
    if (rng() % 8 != 0)
        h += '\n';
    return h;
}

// One load of `bytes` through `load` into a buffer of `dst_len` floats, then a second load from
// wherever the first left the descriptor.
void load_twice(Loader load, const std::string &bytes, int dst_len) {
    const int fd = memfd_create("fuzz", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::lseek(fd, 0, SEEK_SET);
    std::vector<float> dst(static_cast<size_t>(dst_len));
    for (int round = 0; round < 2; ++round) {
        int w = -1, h = -1;
        const int n = load(fd, dst.empty() ? nullptr : dst.data(), dst_len, &w, &h);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, dst_len);
        if (n > 0) {
            ASSERT_GE(w, 1);
            ASSERT_GE(h, 1);
            ASSERT_LE(int64_t{w} * h, static_cast<int64_t>(bytes.size()));
            ASSERT_EQ(n, std::min<int64_t>(dst_len, int64_t{w} * h));
        }
    }
    ::close(fd);
}

TEST(FrameFileFuzz, RandomHeadersAndPayloads) {
    zr_log_disable();
    std::mt19937 rng(20261210);
    for (int i = 0; i < 3000; ++i) {
        std::string bytes = random_header(rng);
        bytes.resize(bytes.size() + rng() % 600, static_cast<char>(rng()));
        const int dst_len = static_cast<int>(rng() % 300) - 20;
        load_twice(tarvo_frame_load_distance, bytes, std::max(dst_len, 0));
        load_twice(tarvo_frame_load_gray, bytes, std::max(dst_len, 0));
    }
}

TEST(FrameFileFuzz, DamagedAndTruncatedValidFiles) {
    zr_log_disable();
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const int w = 1 + static_cast<int>(rng() % 12);
        const int h = 1 + static_cast<int>(rng() % 12);
        std::vector<float> values(static_cast<size_t>(w * h * 2));
        for (float &v : values)
            v = static_cast<float>(rng() % 100000) / 1000.0f;
        const int fd = memfd_create("valid", 0);
        ASSERT_GE(fd, 0);
        const bool distance = rng() % 2 == 0;
        if (distance)
            tarvo_frame_save_distance(fd, static_cast<int>(rng() % 3), values.data(),
                                      static_cast<int>(values.size()), w, h);
        else
            tarvo_frame_save_gray(fd, 2 + static_cast<int>(rng() % 2), values.data(),
                                  static_cast<int>(values.size()), w, h);
        std::string bytes(static_cast<size_t>(::lseek(fd, 0, SEEK_END)), '\0');
        ::pread(fd, bytes.data(), bytes.size(), 0);
        ::close(fd);
        for (int flips = static_cast<int>(rng() % 4); flips > 0 && !bytes.empty(); --flips)
            bytes[rng() % bytes.size()] ^= static_cast<char>(1 << (rng() % 8));
        bytes.resize(rng() % (bytes.size() + 1));
        load_twice(distance ? tarvo_frame_load_distance : tarvo_frame_load_gray, bytes,
                   static_cast<int>(rng() % 200));
    }
}

}  // namespace
