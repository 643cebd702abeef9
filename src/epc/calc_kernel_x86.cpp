// Hand-written AVX2 and AVX-512 forms of the fast route's line kernels: one pass per line from
// the four sample planes to the stored output (phase, hysteresis, optional distance-image
// correction, 16-bit words or metres), with the arctangent table read by hardware gathers.
// Each computes exactly the per-pixel arithmetic of the portable kernels in calc_kernel.cpp:
// - The table index floor(y2 x 4096 / x2) is the truncated single-precision quotient. y2 x 4096
//   has at most 13 significant bits and x2 < 2^13, so both convert exactly; the quotient is
//   correctly rounded, below 4096 (ulp at most 2^-12), and a non-integer quotient lies at least
//   1 / x2 > 2^-13 below the next integer, so rounding never reaches it.
// - Products and sums are kept apart (this file is built with -ffp-contract=off): a fused
//   multiply-add would round differently from the portable kernels.
// Each kernel handles whole vectors and returns how many columns it did; the caller finishes
// the rest of the line with the portable kernels.
#if defined(__x86_64__) || defined(__i386__)

// GCC 12 reports the deliberately undefined pass-through operand of the unmasked AVX-512
// intrinsics as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "epc/atan_lut.h"
#include "epc/calc_kernel_tiers.h"
#include "epc/calibration_state.h"

namespace tarvo::epc {

namespace {

constexpr int kLow = 65300;
constexpr int kRail = 65500;
// The AVX-512 step table holds segments 0 .. 31.
static_assert(kMaxDistances - 2 <= 31);

// ---- AVX2: 8 pixels per step ------------------------------------------------------------------

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {

#define TARVO_AVX2 [[gnu::always_inline]] inline

struct Avx2 {
    using V = __m256i;
    using F = __m256;
    using M = __m256i;  // masks are all-ones lanes
    static constexpr int kWidth = 8;

    TARVO_AVX2 static V set1(int v) { return _mm256_set1_epi32(v); }
    TARVO_AVX2 static V lane_index() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
    TARVO_AVX2 static V load_u16(const uint16_t *p) {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    }
    TARVO_AVX2 static V load_u8(const uint8_t *p) {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
    }
    TARVO_AVX2 static V load_u32(const uint32_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    TARVO_AVX2 static M eq(V a, V b) { return _mm256_cmpeq_epi32(a, b); }
    TARVO_AVX2 static M gt(V a, V b) { return _mm256_cmpgt_epi32(a, b); }
    TARVO_AVX2 static M mor(M a, M b) { return _mm256_or_si256(a, b); }
    // ~a & b
    TARVO_AVX2 static M mandnot(M a, M b) { return _mm256_andnot_si256(a, b); }
    TARVO_AVX2 static M mnot(M a) { return _mm256_xor_si256(a, _mm256_set1_epi32(-1)); }
    TARVO_AVX2 static M mand(M a, M b) { return _mm256_and_si256(a, b); }
    TARVO_AVX2 static bool any(M a) { return _mm256_movemask_epi8(a) != 0; }
    TARVO_AVX2 static int first_lane(V a) { return _mm256_cvtsi256_si32(a); }
    TARVO_AVX2 static int last_lane(V a) { return _mm256_extract_epi32(a, 7); }
    TARVO_AVX2 static M gt_unsigned(V a, V b) {
        const V bias = _mm256_set1_epi32(INT32_MIN);
        return _mm256_cmpgt_epi32(_mm256_xor_si256(a, bias), _mm256_xor_si256(b, bias));
    }
    TARVO_AVX2 static M ge_unsigned(V a, V b) { return mnot(gt_unsigned(b, a)); }
    // a >= b (unsigned) in the lanes of `in`.
    TARVO_AVX2 static M ge_unsigned_in(M in, V a, V b) { return mand(in, ge_unsigned(a, b)); }
    // The truncated guess where below < d < above, else the mark of the bound d lies beyond.
    TARVO_AVX2 static V segment_or_mark(F d, F below, F above, F guess, int below_mark,
                                        int above_mark) {
        const M at_or_below = fle(d, below);
        const M at_or_above = mandnot(at_or_below, fge(d, above));
        return select(at_or_below, set1(below_mark),
                      select(at_or_above, set1(above_mark), trunc(guess)));
    }
    // a / b, or 0 where b is 0 (the division by infinity gives 0 or -0, which adds alike).
    TARVO_AVX2 static F fdiv_unless_zero(F a, V b) {
        const F divisor = fselect(eq(b, set1(0)), _mm256_set1_ps(__builtin_inff()), to_float(b));
        return fdiv(a, divisor);
    }
    // The codes of marked segments -1 and -2 (lanes 7 and 6 of the table: the permutation reads
    // the low three bits).
    TARVO_AVX2 static V mark_codes(int below, int above) {
        return _mm256_setr_epi32(0, 0, 0, 0, 0, 0, above, below);
    }
    TARVO_AVX2 static V code_of(V codes, V segment) {
        return _mm256_permutevar8x32_epi32(codes, segment);
    }
    TARVO_AVX2 static F fmark_codes(float below, float above) {
        return _mm256_setr_ps(0, 0, 0, 0, 0, 0, above, below);
    }
    TARVO_AVX2 static F fcode_of(F codes, V segment) {
        return _mm256_permutevar8x32_ps(codes, segment);
    }
    TARVO_AVX2 static V select(M mask, V yes, V no) { return _mm256_blendv_epi8(no, yes, mask); }
    // yes where the mask is set, 0 elsewhere.
    TARVO_AVX2 static V when(M mask, V yes) { return _mm256_and_si256(mask, yes); }
    TARVO_AVX2 static V and_(V a, V b) { return _mm256_and_si256(a, b); }
    TARVO_AVX2 static V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
    TARVO_AVX2 static V add(V a, V b) { return _mm256_add_epi32(a, b); }
    TARVO_AVX2 static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
    TARVO_AVX2 static V mul(V a, V b) { return _mm256_mullo_epi32(a, b); }
    TARVO_AVX2 static V max(V a, V b) { return _mm256_max_epi32(a, b); }
    TARVO_AVX2 static V min(V a, V b) { return _mm256_min_epi32(a, b); }
    TARVO_AVX2 static V sra(V a, int n) { return _mm256_srai_epi32(a, n); }
    TARVO_AVX2 static V srl(V a, int n) { return _mm256_srli_epi32(a, n); }
    TARVO_AVX2 static V sll(V a, int n) { return _mm256_slli_epi32(a, n); }
    TARVO_AVX2 static V gather(const int32_t *table, V index) {
        return _mm256_i32gather_epi32(table, index, 4);
    }
    // Lanes of `mask` from the table, the others from `src`.
    TARVO_AVX2 static V masked_gather(V src, M mask, const uint32_t *table, V index) {
        return _mm256_mask_i32gather_epi32(src, reinterpret_cast<const int *>(table), index, mask,
                                           4);
    }
    TARVO_AVX2 static F to_float(V a) { return _mm256_cvtepi32_ps(a); }
    TARVO_AVX2 static V bits(F a) { return _mm256_castps_si256(a); }
    // step x segment.
    struct StepTable {
        F step;
    };
    TARVO_AVX2 static StepTable step_table(float step) { return {_mm256_set1_ps(step)}; }
    TARVO_AVX2 static F steps(const StepTable &t, V segment) {
        return _mm256_mul_ps(t.step, _mm256_cvtepi32_ps(segment));
    }
    TARVO_AVX2 static V trunc(F a) { return _mm256_cvttps_epi32(a); }
    TARVO_AVX2 static F fset1(float v) { return _mm256_set1_ps(v); }
    TARVO_AVX2 static F fadd(F a, F b) { return _mm256_add_ps(a, b); }
    TARVO_AVX2 static F fsub(F a, F b) { return _mm256_sub_ps(a, b); }
    TARVO_AVX2 static F fmul(F a, F b) { return _mm256_mul_ps(a, b); }
    TARVO_AVX2 static F fdiv(F a, F b) { return _mm256_div_ps(a, b); }
    TARVO_AVX2 static F fmin(F a, F b) { return _mm256_min_ps(a, b); }
    TARVO_AVX2 static M fle(F a, F b) {
        return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_LE_OQ));
    }
    TARVO_AVX2 static M fge(F a, F b) {
        return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GE_OQ));
    }
    TARVO_AVX2 static F fselect(M mask, F yes, F no) {
        return _mm256_blendv_ps(no, yes, _mm256_castsi256_ps(mask));
    }
    // trunc(double(a) + 0.5) per lane, as the portable kernel rounds a corrected distance.
    TARVO_AVX2 static V round_half_up_via_double(F a) {
        const __m256d half = _mm256_set1_pd(0.5);
        const __m128i lo =
            _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(a)), half));
        const __m128i hi =
            _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(a, 1)), half));
        return _mm256_set_m128i(hi, lo);
    }
    TARVO_AVX2 static void store_u8(uint8_t *p, V a) {
        const __m128i w =
            _mm_packs_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_packus_epi16(w, w));
    }
    // Lanes hold 0..65535.
    TARVO_AVX2 static void store_u16(uint16_t *p, V a) {
        _mm_storeu_si128(
            reinterpret_cast<__m128i *>(p),
            _mm_packus_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)));
    }
    TARVO_AVX2 static void store_float(float *p, F a) { _mm256_storeu_ps(p, a); }
    TARVO_AVX2 static void store_i32(int32_t *p, V a) {
        _mm256_store_si256(reinterpret_cast<__m256i *>(p), a);
    }
    TARVO_AVX2 static F load_float(const float *p) { return _mm256_load_ps(p); }
    TARVO_AVX2 static V load_i32(const int32_t *p) {
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(p));
    }
};

using S = Avx2;
using V = S::V;
using F = S::F;
using M = S::M;
#include "epc/calc_kernel_fused.inc"

}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// ---- AVX-512: 16 pixels per step --------------------------------------------------------------

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq")
#endif
namespace avx512 {

#define TARVO_AVX512 [[gnu::always_inline]] inline

struct Avx512 {
    using V = __m512i;
    using F = __m512;
    using M = __mmask16;  // masks are the mask registers
    static constexpr int kWidth = 16;

    TARVO_AVX512 static V set1(int v) { return _mm512_set1_epi32(v); }
    TARVO_AVX512 static V lane_index() {
        return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    }
    TARVO_AVX512 static V load_u16(const uint16_t *p) {
        return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
    }
    TARVO_AVX512 static V load_u8(const uint8_t *p) {
        return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    }
    TARVO_AVX512 static V load_u32(const uint32_t *p) { return _mm512_loadu_si512(p); }
    TARVO_AVX512 static M eq(V a, V b) { return _mm512_cmpeq_epi32_mask(a, b); }
    TARVO_AVX512 static M gt(V a, V b) { return _mm512_cmpgt_epi32_mask(a, b); }
    TARVO_AVX512 static M mor(M a, M b) { return _kor_mask16(a, b); }
    TARVO_AVX512 static M mandnot(M a, M b) { return _kandn_mask16(a, b); }
    TARVO_AVX512 static M mnot(M a) { return _knot_mask16(a); }
    TARVO_AVX512 static M mand(M a, M b) { return _kand_mask16(a, b); }
    TARVO_AVX512 static bool any(M a) { return a != 0; }
    TARVO_AVX512 static int first_lane(V a) { return _mm_cvtsi128_si32(_mm512_castsi512_si128(a)); }
    TARVO_AVX512 static int last_lane(V a) {
        return _mm_extract_epi32(_mm512_extracti32x4_epi32(a, 3), 3);
    }
    TARVO_AVX512 static M gt_unsigned(V a, V b) { return _mm512_cmpgt_epu32_mask(a, b); }
    TARVO_AVX512 static M ge_unsigned_in(M in, V a, V b) {
        return _mm512_mask_cmpge_epu32_mask(in, a, b);
    }
    TARVO_AVX512 static V segment_or_mark(F d, F below, F above, F guess, int below_mark,
                                          int above_mark) {
        const M over_below = _mm512_cmp_ps_mask(d, below, _CMP_GT_OQ);
        const M between = _mm512_mask_cmp_ps_mask(over_below, d, above, _CMP_LT_OQ);
        const V marks = _mm512_mask_blend_epi32(over_below, set1(below_mark), set1(above_mark));
        return _mm512_mask_cvttps_epi32(marks, between, guess);
    }
    TARVO_AVX512 static F fdiv_unless_zero(F a, V b) {
        return _mm512_maskz_div_ps(_mm512_test_epi32_mask(b, b), a, to_float(b));
    }
    // The codes of marked segments -1 and -2 (lanes 15 and 14 of the table: the permutation
    // reads the low four bits).
    TARVO_AVX512 static V mark_codes(int below, int above) {
        return _mm512_setr_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, above, below);
    }
    TARVO_AVX512 static V code_of(V codes, V segment) {
        return _mm512_permutexvar_epi32(segment, codes);
    }
    TARVO_AVX512 static F fmark_codes(float below, float above) {
        return _mm512_setr_ps(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, above, below);
    }
    TARVO_AVX512 static F fcode_of(F codes, V segment) {
        return _mm512_permutexvar_ps(segment, codes);
    }
    TARVO_AVX512 static V select(M mask, V yes, V no) {
        return _mm512_mask_blend_epi32(mask, no, yes);
    }
    TARVO_AVX512 static V when(M mask, V yes) { return _mm512_maskz_mov_epi32(mask, yes); }
    TARVO_AVX512 static V and_(V a, V b) { return _mm512_and_si512(a, b); }
    TARVO_AVX512 static V xor_(V a, V b) { return _mm512_xor_si512(a, b); }
    TARVO_AVX512 static V add(V a, V b) { return _mm512_add_epi32(a, b); }
    TARVO_AVX512 static V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
    TARVO_AVX512 static V mul(V a, V b) { return _mm512_mullo_epi32(a, b); }
    TARVO_AVX512 static V max(V a, V b) { return _mm512_max_epi32(a, b); }
    TARVO_AVX512 static V min(V a, V b) { return _mm512_min_epi32(a, b); }
    TARVO_AVX512 static V sra(V a, int n) { return _mm512_srai_epi32(a, static_cast<unsigned>(n)); }
    TARVO_AVX512 static V srl(V a, int n) { return _mm512_srli_epi32(a, static_cast<unsigned>(n)); }
    TARVO_AVX512 static V sll(V a, int n) { return _mm512_slli_epi32(a, static_cast<unsigned>(n)); }
    TARVO_AVX512 static V gather(const int32_t *table, V index) {
        return _mm512_i32gather_epi32(index, table, 4);
    }
    TARVO_AVX512 static V masked_gather(V src, M mask, const uint32_t *table, V index) {
        return _mm512_mask_i32gather_epi32(src, mask, index, table, 4);
    }
    TARVO_AVX512 static F to_float(V a) { return _mm512_cvtepi32_ps(a); }
    TARVO_AVX512 static V bits(F a) { return _mm512_castps_si512(a); }
    // step x segment for segments 0 .. 31 (kMaxDistances - 2 at most), a look-up in two
    // registers of products.
    struct StepTable {
        F low;
        F high;
    };
    TARVO_AVX512 static StepTable step_table(float step) {
        const F lanes = _mm512_cvtepi32_ps(lane_index());
        const F s = _mm512_set1_ps(step);
        return {_mm512_mul_ps(s, lanes),
                _mm512_mul_ps(s, _mm512_add_ps(lanes, _mm512_set1_ps(16)))};
    }
    TARVO_AVX512 static F steps(const StepTable &t, V segment) {
        return _mm512_permutex2var_ps(t.low, segment, t.high);
    }
    TARVO_AVX512 static V trunc(F a) { return _mm512_cvttps_epi32(a); }
    TARVO_AVX512 static F fset1(float v) { return _mm512_set1_ps(v); }
    TARVO_AVX512 static F fadd(F a, F b) { return _mm512_add_ps(a, b); }
    TARVO_AVX512 static F fsub(F a, F b) { return _mm512_sub_ps(a, b); }
    TARVO_AVX512 static F fmul(F a, F b) { return _mm512_mul_ps(a, b); }
    TARVO_AVX512 static F fdiv(F a, F b) { return _mm512_div_ps(a, b); }
    TARVO_AVX512 static F fmin(F a, F b) { return _mm512_min_ps(a, b); }
    TARVO_AVX512 static F fselect(M mask, F yes, F no) {
        return _mm512_mask_blend_ps(mask, no, yes);
    }
    TARVO_AVX512 static V round_half_up_via_double(F a) {
        const __m512d half = _mm512_set1_pd(0.5);
        const __m256i lo =
            _mm512_cvttpd_epi32(_mm512_add_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(a)), half));
        const __m256i hi = _mm512_cvttpd_epi32(_mm512_add_pd(
            _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(a), 1))),
            half));
        return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
    }
    TARVO_AVX512 static void store_u8(uint8_t *p, V a) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm512_cvtepi32_epi8(a));
    }
    TARVO_AVX512 static void store_u16(uint16_t *p, V a) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), _mm512_cvtepi32_epi16(a));
    }
    TARVO_AVX512 static void store_float(float *p, F a) { _mm512_storeu_ps(p, a); }
    TARVO_AVX512 static void store_i32(int32_t *p, V a) { _mm512_store_si512(p, a); }
    TARVO_AVX512 static V load_i32(const int32_t *p) { return _mm512_load_si512(p); }
    TARVO_AVX512 static F load_float(const float *p) { return _mm512_load_ps(p); }
};

using S = Avx512;
using V = S::V;
using F = S::F;
using M = S::M;
#include "epc/calc_kernel_fused.inc"

}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

}  // namespace

const FusedKernels kFusedAvx2 = avx2::kFused;
const FusedKernels kFusedAvx512 = avx512::kFused;

}  // namespace tarvo::epc

#endif  // x86
