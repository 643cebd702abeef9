// Lens undistortion and point clouds on 320 x 240 images, each beside its reference in the same
// run: undistortion against OpenCV's cv::remap (nearest neighbour) on the same maps, map building
// against cv::getOptimalNewCameraMatrix with cv::initUndistortRectifyMap (the same camera model),
// and the point cloud of a frame against the decode of the frame's distances.
#include <tarvo/epc_calc.h>
#include <tarvo/tarvo.h>

#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

#include "drivers/lens_param.h"
#include "epc/config_state.h"
#include "epc_bench.h"
#include "epc/frame_source.h"
#include "output/undistort.h"

namespace {

using namespace tarvo::bench;

std::vector<float> wall_distances() {
    std::vector<float> d(kPixels);
    for (int i = 0; i < kPixels; ++i)
        d[i] = 1.0f + 0.001f * static_cast<float>(i % 977);
    return d;
}

struct OpenCvModel {
    cv::Mat k, dist, k_new;
    explicit OpenCvModel(const zr_lens_param_t &l) {
        k = (cv::Mat_<double>(3, 3) << l.Fx, 0, l.Cx, 0, l.Fy, l.Cy, 0, 0, 1);
        dist = (cv::Mat_<double>(1, 5) << l.dcoeff[0], l.dcoeff[1], l.dcoeff[2], l.dcoeff[3],
                l.dcoeff[4]);
        k_new = cv::getOptimalNewCameraMatrix(k, dist, {kCols, kRows}, 1.0);
    }
};

// The record of the built-in lens, and OpenCV's view of the same arrays.
struct Maps {
    zr_calib_len_t rec{};
    cv::Mat x, y;
    Maps() {
        const zr_lens_param_t lens = tarvo::default_lens_params();
        zr_calib_len_init_map(&rec, &lens);
        x = cv::Mat(kRows, kCols, CV_32FC1, rec.map_x);
        y = cv::Mat(kRows, kCols, CV_32FC1, rec.map_y);
    }
    ~Maps() { zr_calib_len_uninit_map(&rec); }
};

void BM_Undistort_Tarvo(benchmark::State &state) {
    Maps maps;
    const std::vector<float> src = wall_distances();
    std::vector<float> dst(kPixels);
    for (auto _ : state) {
        zr_calib_len_undistort(&maps.rec, dst.data(), kPixels, src.data(), kCols, kRows, 65.5f);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}

// The driver's map: source pixels resolved once when the map is built.
void BM_Undistort_TarvoDriverMap(benchmark::State &state) {
    const auto map = tarvo::LensMap::build(tarvo::default_lens_params(), "bench");
    const std::vector<float> src = wall_distances();
    std::vector<float> dst(kPixels);
    for (auto _ : state) {
        map->undistort(dst.data(), kPixels, src.data(), kCols, kRows, 65.5f);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}

void BM_Undistort_OpenCvRemapNearest(benchmark::State &state) {
    Maps maps;
    const std::vector<float> src_data = wall_distances();
    const cv::Mat src(kRows, kCols, CV_32FC1, const_cast<float *>(src_data.data()));
    cv::Mat dst(kRows, kCols, CV_32FC1);
    for (auto _ : state) {
        cv::remap(src, dst, maps.x, maps.y, cv::INTER_NEAREST, cv::BORDER_CONSTANT,
                  cv::Scalar(65.5));
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
}

void BM_MapBuild_Tarvo(benchmark::State &state) {
    const zr_lens_param_t lens = tarvo::default_lens_params();
    zr_calib_len_t rec{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(zr_calib_len_init_map(&rec, &lens));
        benchmark::ClobberMemory();
    }
    zr_calib_len_uninit_map(&rec);
}

void BM_MapBuild_OpenCv(benchmark::State &state) {
    const zr_lens_param_t lens = tarvo::default_lens_params();
    const OpenCvModel cv_model(lens);
    cv::Mat x, y;
    for (auto _ : state) {
        const cv::Mat k_new =
            cv::getOptimalNewCameraMatrix(cv_model.k, cv_model.dist, {kCols, kRows}, 1.0);
        cv::initUndistortRectifyMap(cv_model.k, cv_model.dist, cv::Mat(), k_new, {kCols, kRows},
                                    CV_32FC1, x, y);
        benchmark::DoNotOptimize(x.data);
        benchmark::ClobberMemory();
    }
    // Both build the same map: the largest difference, in pixels, beside the timing.
    Maps maps;
    state.counters["max_diff_px"] =
        std::max(cv::norm(x, maps.x, cv::NORM_INF), cv::norm(y, maps.y, cv::NORM_INF));
}

// The distance decode the driver runs for every frame: the reference the point cloud is read
// against.
void BM_DistanceDecode(benchmark::State &state) {
    setup_pipeline();
    std::vector<uint16_t> frame(4 * kPixels);
    for (int p = 0; p < kPixels; ++p) {
        const double phase = 4 * M_PI * 12e6 * 1.5 / 299792458.0;
        for (int k = 0; k < 4; ++k)
            frame[k * kPixels + p] =
                static_cast<uint16_t>(std::lround(2048 + 600 * std::cos(phase - k * M_PI / 2)));
    }
    time_fast_route(state, frame);
}

// Points of a frame; the ray table is built at the first frame and reused.
void BM_PointCloud(benchmark::State &state) {
    const bool xyzd = state.range(0) != 0;
    tarvo_dev_t dev{};
    const tarvo_camera_param_t cam = {159.5f, 119.5f, 210.0f, 205.0f, 1.0f};
    const std::vector<float> dist = wall_distances();
    std::vector<float> pcl(4 * kPixels);
    for (auto _ : state) {
        const int n = xyzd ? tarvo_frame_get_pcl_xyzd(&dev, pcl.data(), 4 * kPixels, dist.data(),
                                                      kPixels, kCols, kRows, false, &cam)
                           : tarvo_frame_get_pcl(&dev, pcl.data(), 3 * kPixels, dist.data(),
                                                 kPixels, kCols, kRows, &cam);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_Undistort_Tarvo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Undistort_TarvoDriverMap)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Undistort_OpenCvRemapNearest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MapBuild_Tarvo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MapBuild_OpenCv)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DistanceDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PointCloud)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
