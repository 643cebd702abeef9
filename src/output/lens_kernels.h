// Per-row loops of the lens maps: building a map row, and resampling an image row through a map
// by nearest neighbour. An AVX2 version is chosen at load where the processor has it; both give
// the same results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo::lens {

// Source pixel of a map position for an image of w x h whose map has strides bx, by (each
// position divided by them); -1 when it falls outside. trunc(position + 0.5) in single
// precision, so positions from -1.5 up to 0.5 give 0.
template <bool kBinned>
inline int32_t source_pixel(float map_x, float map_y, float bx, float by, int w, int h) {
    const float x = (kBinned ? map_x / bx : map_x) + 0.5f;
    const float y = (kBinned ? map_y / by : map_y) + 0.5f;
    // Written so that a position that is not a number falls outside too.
    if (!(x > -1.0f && x < static_cast<float>(w) && y > -1.0f && y < static_cast<float>(h)))
        return -1;
    return static_cast<int32_t>(y) * w + static_cast<int32_t>(x);
}

// One row v of a map: for u = 0 .. w-1, (X, Y, W) = R (u, v, 1), x = X / W, y = Y / W, then the
// lens model's distorted pixel position of (x, y).
struct MapRow {
    const double *r;  // 3 x 3, row-major
    int v;
    int w;
    double fx, fy, cx, cy;
    double k1, k2, p1, p2, k3;
};
void map_row(const MapRow &row, float *out_x, float *out_y);

// out[u] = src[source_pixel<false>(map_x[u], map_y[u], 1, 1, w, h)], or fill, for u < w.
void remap_row(const float *map_x, const float *map_y, const float *src, int w, int h, float fill,
               float *out);

// out[i] = source[i] >= 0 ? src[source[i]] : fill, for i < n.
void gather(const int32_t *source, const float *src, size_t n, float fill, float *out);

}  // namespace tarvo::lens
