// Floating-point here is plain arithmetic with no trap handlers, so the vectoriser may compute
// both sides of a select.
#pragma GCC optimize("O3", "no-trapping-math")

#include "output/lens_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#define TARVO_LENS_X86 1
#include <immintrin.h>
#else
#define TARVO_LENS_X86 0
#endif

namespace tarvo::lens {

namespace {

inline __attribute__((always_inline)) void map_row_body(const MapRow &row, float *__restrict out_x,
                                                        float *__restrict out_y) {
    const double *r = row.r;
    const double v = row.v;
    const double row_x = r[1] * v + r[2], row_y = r[4] * v + r[5], row_w = r[7] * v + r[8];
    for (int u = 0; u < row.w; ++u) {
        const double iw = 1 / (r[6] * u + row_w);
        const double x = (r[0] * u + row_x) * iw, y = (r[3] * u + row_y) * iw;
        const double x2 = x * x, y2 = y * y, r2 = x2 + y2, xy2 = 2 * x * y;
        const double kr = 1 + ((row.k3 * r2 + row.k2) * r2 + row.k1) * r2;
        out_x[u] =
            static_cast<float>(row.fx * (x * kr + row.p1 * xy2 + row.p2 * (r2 + 2 * x2)) + row.cx);
        out_y[u] =
            static_cast<float>(row.fy * (y * kr + row.p1 * (r2 + 2 * y2) + row.p2 * xy2) + row.cy);
    }
}

void map_row_base(const MapRow &row, float *out_x, float *out_y) {
    map_row_body(row, out_x, out_y);
}

#if TARVO_LENS_X86
__attribute__((target("avx2"))) void map_row_avx2(const MapRow &row, float *out_x, float *out_y) {
    map_row_body(row, out_x, out_y);
}
#endif

// `count` pixels of a row of an image of w x h.
void remap_span(const float *map_x, const float *map_y, const float *src, int count, int w, int h,
                float fill, float *out) {
    for (int u = 0; u < count; ++u) {
        const int32_t s = source_pixel<false>(map_x[u], map_y[u], 1, 1, w, h);
        out[u] = s >= 0 ? src[s] : fill;
    }
}

void remap_row_base(const float *map_x, const float *map_y, const float *src, int w, int h,
                    float fill, float *out) {
    remap_span(map_x, map_y, src, w, w, h, fill, out);
}

#if TARVO_LENS_X86
// source_pixel's rule eight pixels at a time; lanes outside read nothing.
__attribute__((target("avx2"))) void remap_row_avx2(const float *map_x, const float *map_y,
                                                    const float *src, int w, int h, float fill,
                                                    float *out) {
    const __m256 half = _mm256_set1_ps(0.5f), low = _mm256_set1_ps(-1.0f);
    const __m256 width = _mm256_set1_ps(static_cast<float>(w));
    const __m256 height = _mm256_set1_ps(static_cast<float>(h));
    const __m256i stride = _mm256_set1_epi32(w);
    const __m256 fills = _mm256_set1_ps(fill);
    int u = 0;
    for (; u + 8 <= w; u += 8) {
        const __m256 x = _mm256_add_ps(_mm256_loadu_ps(map_x + u), half);
        const __m256 y = _mm256_add_ps(_mm256_loadu_ps(map_y + u), half);
        const __m256 inside_x =
            _mm256_and_ps(_mm256_cmp_ps(x, low, _CMP_GT_OQ), _mm256_cmp_ps(x, width, _CMP_LT_OQ));
        const __m256 inside_y =
            _mm256_and_ps(_mm256_cmp_ps(y, low, _CMP_GT_OQ), _mm256_cmp_ps(y, height, _CMP_LT_OQ));
        const __m256 inside = _mm256_and_ps(inside_x, inside_y);
        const __m256i index = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_cvttps_epi32(y), stride),
                                               _mm256_cvttps_epi32(x));
        _mm256_storeu_ps(out + u, _mm256_mask_i32gather_ps(fills, src, index, inside, 4));
    }
    remap_span(map_x + u, map_y + u, src, w - u, w, h, fill, out + u);
}
#endif

void gather_base(const int32_t *source, const float *src, size_t n, float fill, float *out) {
    for (size_t i = 0; i < n; ++i)
        out[i] = source[i] >= 0 ? src[source[i]] : fill;
}

#if TARVO_LENS_X86
__attribute__((target("avx2"))) void gather_avx2(const int32_t *source, const float *src, size_t n,
                                                 float fill, float *out) {
    const __m256 fills = _mm256_set1_ps(fill);
    const __m256i none = _mm256_set1_epi32(-1);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(source + i));
        const __m256 valid = _mm256_castsi256_ps(_mm256_cmpgt_epi32(index, none));
        _mm256_storeu_ps(out + i, _mm256_mask_i32gather_ps(fills, src, index, valid, 4));
    }
    gather_base(source + i, src, n - i, fill, out + i);
}
#endif

struct Kernels {
    decltype(&map_row_base) map_row;
    decltype(&remap_row_base) remap_row;
    decltype(&gather_base) gather;
};

#if TARVO_LENS_X86
bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

// Chosen at load by what the processor supports.
const Kernels g_kernels = cpu_has_avx2() ? Kernels{map_row_avx2, remap_row_avx2, gather_avx2}
                                         : Kernels{map_row_base, remap_row_base, gather_base};
#else
const Kernels g_kernels = {map_row_base, remap_row_base, gather_base};
#endif

}  // namespace

void map_row(const MapRow &row, float *out_x, float *out_y) {
    g_kernels.map_row(row, out_x, out_y);
}

void remap_row(const float *map_x, const float *map_y, const float *src, int w, int h, float fill,
               float *out) {
    g_kernels.remap_row(map_x, map_y, src, w, h, fill, out);
}

void gather(const int32_t *source, const float *src, size_t n, float fill, float *out) {
    g_kernels.gather(source, src, n, fill, out);
}

}  // namespace tarvo::lens
