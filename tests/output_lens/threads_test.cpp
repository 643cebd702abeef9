// Lens and colour state shared between threads: the default colour map's range, the lens
// parameters, the driver's undistortion map and the ray tables of point clouds are each used
// while another thread changes them. Run in the ThreadSanitizer tree too.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "drivers/lens_param.h"
#include "output/undistort.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using tarvo::test::LogCapture;
using tarvo::test::TempDir;

uint32_t reference_colour(int min_mm, int max_mm, int value) {
    zr_cmap_t ref{};
    zr_cmap_init(&ref, 30000);
    zr_cmap_set_range(&ref, min_mm, max_mm);
    const uint32_t c = zr_cmap_get_color(&ref, value);
    zr_cmap_uninit(&ref);
    return c;
}

// Two threads colour with different ranges at once; each image is coloured entirely with its own
// caller's range, never partly with the other's.
TEST(SharedState, ColourMapCallersKeepTheirOwnRange) {
    TempDir dir;
    tarvo_init((dir.path() / "threads.log").c_str());
    zr_log_enable(0, 5, nullptr);
    const std::vector<float> src(4096, 2.0f);
    const uint32_t want[2] = {reference_colour(0, 4000, 2000), reference_colour(0, 8000, 2000)};
    ASSERT_NE(want[0], want[1]);
    std::atomic<int> mixed{0};
    auto worker = [&](int which) {
        std::vector<uint8_t> out(src.size() * 4);
        for (int round = 0; round < 100; ++round) {
            tarvo_cmap_float(out.data(), static_cast<int>(out.size()), src.data(),
                             static_cast<int>(src.size()), 1, 0, which == 0 ? 4.0f : 8.0f);
            for (size_t i = 0; i < src.size(); ++i) {
                const uint32_t c = out[4 * i] | out[4 * i + 1] << 8 | out[4 * i + 2] << 16;
                if (c != want[which]) {
                    ++mixed;
                    break;
                }
            }
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(mixed.load(), 0);
    tarvo_uninit();
}

// A loader and a reader at once: every record read is either the old or the new one.
TEST(SharedState, LensParametersReadWhole) {
    TempDir dir;
    LogCapture log;
    std::ofstream(dir.path() / "lens_param.txt")
        << "160.5\n120.25\n200\n201\n-0.3\n0.1\n0.001\n-0.002\n0.01\n320\n240\n";
    const std::string prefix = dir.path().string() + "/";
    tarvo_dev_t dev{};
    dev.path = prefix.c_str();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const zr_lens_param_t p = tarvo::lens_params();
            const bool old_set = p.Cx == 157.262 && p.Fy == 204.817 && p.dcoeff[4] == -0.0133954;
            const bool new_set = p.Cx == 160.5 && p.Fy == 201 && p.dcoeff[4] == 0.01;
            if (!old_set && !new_set)
                ++torn;
        }
    });
    for (int i = 0; i < 50; ++i) {
        tarvo::set_lens_params(tarvo::default_lens_params());
        EXPECT_TRUE(_zr_update_len_param(&dev));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    tarvo::set_lens_params(tarvo::default_lens_params());
}

// One thread rebuilds the driver's map (for two lenses in turn) while another undistorts through
// it: every image comes out as one of the two maps makes it, never from a half-built map.
TEST(SharedState, LensMapRebuiltWhileUndistorting) {
    zr_lens_param_t lenses[2] = {tarvo::default_lens_params(), tarvo::default_lens_params()};
    lenses[1].dcoeff[0] = -0.2;
    std::vector<float> src(76800), want[2];
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<float>(i);
    for (int k = 0; k < 2; ++k) {
        want[k].resize(76800);
        ASSERT_TRUE(tarvo::LensMap::build(lenses[k], "test")
                        ->undistort(want[k].data(), 76800, src.data(), 320, 240, -1.0f));
    }
    ASSERT_NE(want[0], want[1]);
    tarvo::SharedLensMap shared;
    ASSERT_TRUE(shared.rebuild(lenses[0], "test"));
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, decoded{0};
    std::thread decoder([&] {
        std::vector<float> dst(76800);
        while (!stop || decoded == 0) {
            const bool ok = shared.with_map([&](const tarvo::LensMap *map) {
                return map != nullptr &&
                       map->undistort(dst.data(), 76800, src.data(), 320, 240, -1.0f);
            });
            if (!ok || (dst != want[0] && dst != want[1]))
                ++wrong;
            ++decoded;
        }
    });
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(shared.rebuild(lenses[i % 2], "test"));
    stop = true;
    decoder.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(decoded.load(), 0);
    zr_lens_param_t bad = lenses[0];
    bad.Fx = 0;
    LogCapture log;
    EXPECT_FALSE(shared.rebuild(bad, "test"));
    EXPECT_FALSE(shared.with_map([](const tarvo::LensMap *map) { return map != nullptr; }));
}

// Threads with different cameras fill and share the ray table cache; every cloud is the one a
// single thread makes.
TEST(SharedState, PointCloudsOfManyCameras) {
    const int w = 80, h = 60;
    std::vector<float> dist(w * h, 1.25f);
    auto cloud = [&](int camera) {
        tarvo_dev_t dev{};
        const tarvo_camera_param_t cam = {40.0f + camera, 30.0f, 50.0f + 3 * camera, 50.0f, 1};
        std::vector<float> pcl(w * h * 3);
        tarvo_frame_get_pcl(&dev, pcl.data(), w * h * 3, dist.data(), w * h, w, h, &cam);
        return pcl;
    };
    constexpr int kCameras = 6;  // more than the cache keeps
    std::vector<std::vector<float>> want;
    for (int c = 0; c < kCameras; ++c)
        want.push_back(cloud(c));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 30; ++round) {
                const int c = (round + t) % kCameras;
                if (cloud(c) != want[c])
                    ++wrong;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
