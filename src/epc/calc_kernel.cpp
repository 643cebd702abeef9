// Built for vector units: loops without branches over plain arrays. An AVX2 version of each
// loop, and the hand-written fused kernels of calc_kernel_x86.cpp, are chosen at load where the
// processor has them; the baseline versions run everywhere else. All compute exactly the
// per-pixel arithmetic of the route (tests compare them).
// Floating-point here is plain arithmetic with no trap handlers, so selects between computed
// values need not keep the branches that trapping semantics would demand.
#pragma GCC optimize("O3", "no-trapping-math")

#include "epc/calc_kernel.h"

#include <tarvo/epc_calib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "epc/atan_lut.h"
#include "epc/calc_kernel_tiers.h"

#if defined(__x86_64__) || defined(__i386__)
#define TARVO_KERNELS_X86 1
#else
#define TARVO_KERNELS_X86 0
#endif

// Bodies are inlined into each instruction-set variant below and vectorised there.
#define TARVO_KERNEL_BODY inline __attribute__((always_inline))

namespace tarvo::epc {

namespace {

constexpr int32_t kLow = 65300;
constexpr int kMaxLineColumns = 328;
constexpr int32_t kRail = 65500;

inline int rail_of(int d) {
    return static_cast<unsigned>(d - 1) >= 4094u ? 1 : 0;
}

// Sample differences d3 - d1 and d2 - d0 of column j, and whether any of its four 12-bit samples
// sits on a rail (0 or 4095).
struct SampleDiffs {
    int y;
    int x;
    // 0 or 1: the vectoriser gives up on both callers' loops when this is a bool.
    int rail;
};

TARVO_KERNEL_BODY SampleDiffs sample_diffs(const uint16_t *__restrict p0,
                                           const uint16_t *__restrict p1,
                                           const uint16_t *__restrict p2,
                                           const uint16_t *__restrict p3, int j) {
    const int d0 = p0[j] & 0x0FFF;
    const int d1 = p1[j] & 0x0FFF;
    const int d2 = p2[j] & 0x0FFF;
    const int d3 = p3[j] & 0x0FFF;
    return {d3 - d1, d2 - d0, rail_of(d0) | rail_of(d1) | rail_of(d2) | rail_of(d3)};
}

TARVO_KERNEL_BODY void line_phases_body(const LinePlanes &in, const LineHysteresis &hyst,
                                        int32_t *__restrict phase) {
    const uint16_t *__restrict p0 = in.d0;
    const uint16_t *__restrict p1 = in.d1;
    const uint16_t *__restrict p2 = in.d2;
    const uint16_t *__restrict p3 = in.d3;
    const int cols = in.cols;
    // Squared amplitudes, -1 for a rail pixel. The hysteresis bytes are updated in a second
    // loop: next to the table lookup, byte stores would keep the first from vectorising.
    int32_t amp_sq[kMaxLineColumns];
    for (int j = 0; j < cols; ++j) {
        const auto [y, x, rail] = sample_diffs(p0, p1, p2, p3, j);
        amp_sq[j] = rail ? -1 : (y * y + x * x) >> 2;
        const AtanOctant o = atan_octant(y, x);
        // floor(y2 x 4096 / x2) without an integer division: the single-precision quotient is
        // within 2^-12 of the true one, so at most one integer step corrects it.
        const int divisor = o.x2 > 0 ? o.x2 : 1;
        const int numerator = o.y2 * 4096;
        int index =
            static_cast<int>(static_cast<float>(o.y2) / static_cast<float>(divisor) * 4096.0f);
        index += (index + 1) * divisor <= numerator ? 1 : 0;
        index -= index * divisor > numerator ? 1 : 0;
        // Loaded whatever the octant, so the selects below need no branch.
        const int entry = g_atan_table32[index & (kAtanEntries - 1)];
        const int angle = o.on_axis ? o.axis_value : o.base + entry;
        // (angle + 315000) mod 30000, the angle lying in 0..30000.
        const int p = angle + 15000;
        phase[j] = p >= 30000 ? p - 30000 : p;
    }
    uint8_t *__restrict valid = hyst.valid;
    const int upper = hyst.upper;
    const int lower = hyst.lower;
    for (int j = 0; j < cols; ++j) {
        // Written with masks, which the vectoriser takes where it refuses nested selects.
        // Valid from the upper threshold on, invalid only below the lower; a rail pixel leaves
        // its state alone.
        const int a = amp_sq[j];
        const int ph = phase[j];
        const int old_state = valid[j];
        const int rail = a >> 31;
        const int set = -static_cast<int>(a >= upper);
        const int clear = -static_cast<int>(a < lower);
        const int new_state = (set & 1) | (~set & ~clear & old_state);
        valid[j] = static_cast<uint8_t>((rail & old_state) | (~rail & new_state));
        const int keep = -new_state;
        phase[j] = (rail & kRail) | (~rail & ((keep & ph) | (~keep & kLow)));
    }
}

TARVO_KERNEL_BODY void line_amplitudes_body(const LinePlanes &in, int32_t *__restrict amplitude) {
    const uint16_t *__restrict p0 = in.d0;
    const uint16_t *__restrict p1 = in.d1;
    const uint16_t *__restrict p2 = in.d2;
    const uint16_t *__restrict p3 = in.d3;
    const int cols = in.cols;
    int32_t *__restrict squares = amplitude;
    for (int j = 0; j < cols; ++j) {
        const auto [a, b, rail] = sample_diffs(p0, p1, p2, p3, j);
        // Negative marks a rail pixel until the root below is taken.
        squares[j] = rail ? -1 : a * a + b * b;
    }
    int j = 0;
#if defined(__SSE2__)
    // The C library's square root may set errno, which keeps the compiler from vectorising it;
    // the processor's own is the same correctly rounded root.
    const __m128 half = _mm_set1_ps(0.5f);
    for (; j + 4 <= cols; j += 4) {
        const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i *>(squares + j));
        const __m128i is_rail = _mm_cmplt_epi32(s, _mm_setzero_si128());
        const __m128i square = _mm_andnot_si128(is_rail, s);
        const __m128 root = _mm_mul_ps(_mm_sqrt_ps(_mm_cvtepi32_ps(square)), half);
        __m128i amp = _mm_cvttps_epi32(root);
        amp = _mm_or_si128(_mm_and_si128(is_rail, _mm_set1_epi32(kRail)),
                           _mm_andnot_si128(is_rail, amp));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(squares + j), amp);
    }
#endif
    for (; j < cols; ++j) {
        const int s = squares[j];
        squares[j] =
            s < 0 ? kRail : static_cast<int>(__builtin_sqrtf(static_cast<float>(s)) * 0.5f);
    }
}

TARVO_KERNEL_BODY void line_store_u16_body(const int32_t *__restrict value, int cols,
                                           uint16_t *__restrict out) {
    for (int j = 0; j < cols; ++j)
        out[j] = static_cast<uint16_t>(value[j]);
}

TARVO_KERNEL_BODY void line_store_metres_body(const int32_t *__restrict phase, int cols,
                                              float metre_factor, float *__restrict out) {
    for (int j = 0; j < cols; ++j) {
        const int p = phase[j];
        const float metres = static_cast<float>(p) * metre_factor / 30000.0f;
        const float code = p == kRail ? 65.5f : 65.3f;
        out[j] = p >= kLow ? code : metres;
    }
}

TARVO_KERNEL_BODY void line_store_amplitudes_body(const int32_t *__restrict amplitude, int cols,
                                                  float *__restrict out) {
    for (int j = 0; j < cols; ++j) {
        const int a = amplitude[j];
        out[j] = a == kRail ? 65.5f : static_cast<float>(a);
    }
}

TARVO_KERNEL_BODY void line_drnu_body(const int32_t *__restrict phase, int cols, const DrnuRow &row,
                                      int32_t *__restrict value) {
    const uint16_t *__restrict tmin = row.min;
    const uint16_t *__restrict tmax = row.max;
    const uint32_t *__restrict pairs = row.pairs;
    const long stride = row.stride;
    const int c = row.distances;
    const float cf = static_cast<float>(c);
    const float last_segment = static_cast<float>(c - 2);
    const float step = row.step_phase;
    const float t = row.temperature;
    const int offset = row.offset;
    // Two passes: the segment guess, then the bracket (one gather from the step-major pairs)
    // and the interpolation.
    float dist[kMaxLineColumns];
    int32_t segment[kMaxLineColumns];
    for (int j = 0; j < cols; ++j) {
        const int ph = phase[j];
        const float d = static_cast<float>(ph) - t;
        const int m0 = tmin[j];
        const int m1 = tmax[j];
        // Bitwise rather than short-circuit, so that no branch is needed.
        const bool below = (ph == kLow) | ((ph != kRail) & (d <= static_cast<float>(m0)));
        const bool above = (!below) & ((ph == kRail) | (d >= static_cast<float>(m1)));
        // Guessed segment L = trunc((d - m0) c / (m1 - m0)). The upper neighbour of the last
        // entry would belong to the next pixel, so L stops at c - 2 and the last segment is
        // extended. Clamped before the conversion, so no lane converts an out-of-range value.
        const float span = static_cast<float>(m1 - m0);
        float guess = (d - static_cast<float>(m0)) * cf / (span > 0.0f ? span : 1.0f);
        guess = guess > 0.0f ? guess : 0.0f;
        guess = guess < last_segment ? guess : last_segment;
        dist[j] = d;
        segment[j] = below ? -1 : (above ? -2 : static_cast<int>(guess));
    }
    for (int j = 0; j < cols; ++j) {
        const int L = segment[j];
        const float d = dist[j];
        const uint32_t pair = pairs[(L < 0 ? 0 : L) * stride + j];
        const int lo = static_cast<int>(pair & 0xFFFF);
        const int hi = static_cast<int>(pair >> 16);
        // Two steps with the same raw distance carry no slope; the value sits at the step.
        const float rise = static_cast<float>(hi - lo);
        const float slope_part = (d - static_cast<float>(lo)) * step / (hi != lo ? rise : 1.0f);
        const float fraction = hi != lo ? slope_part : 0.0f;
        const float steps = step * static_cast<float>(L);
        const int corrected =
            offset + static_cast<int>(static_cast<double>(fraction + steps) + 0.5);
        value[j] = L == -1 ? kDrnuBelow : (L == -2 ? kDrnuAbove : corrected);
    }
}

TARVO_KERNEL_BODY void line_store_drnu_u16_body(const int32_t *__restrict value, int cols,
                                                uint16_t *__restrict out) {
    for (int j = 0; j < cols; ++j) {
        const int v = value[j];
        // A corrected distance outside 0..65299 would read as a code.
        const int held = v < 0 ? 0 : (v > 65299 ? 65299 : v);
        out[j] = static_cast<uint16_t>(v == kDrnuBelow ? kLow : (v == kDrnuAbove ? kRail : held));
    }
}

TARVO_KERNEL_BODY void line_store_drnu_metres_body(const int32_t *__restrict value, int cols,
                                                   float metre_factor, float *__restrict out) {
    for (int j = 0; j < cols; ++j) {
        const int v = value[j];
        const float metres = static_cast<float>(v) * metre_factor / 30000.0f;
        out[j] = v == kDrnuBelow ? 65.3f : (v == kDrnuAbove ? 65.5f : metres);
    }
}

// Each kernel twice: compiled for AVX2 (on x86) and for the baseline instruction set.
template <auto Body>
struct Variants;

template <typename... Args, void (*Body)(Args...)>
struct Variants<Body> {
#if TARVO_KERNELS_X86
    __attribute__((target("avx2"))) static void avx2(Args... args) {
        Body(args...);
    }
#endif
    static void base(Args... args) {
        Body(args...);
    }
};

template <auto Body>
constexpr decltype(Body) variant(bool avx2) {
#if TARVO_KERNELS_X86
    return avx2 ? &Variants<Body>::avx2 : &Variants<Body>::base;
#else
    (void)avx2;
    return &Variants<Body>::base;
#endif
}

struct Kernels {
    decltype(&line_phases_body) phases;
    decltype(&line_amplitudes_body) amplitudes;
    decltype(&line_store_u16_body) store_u16;
    decltype(&line_store_metres_body) store_metres;
    decltype(&line_store_amplitudes_body) store_amplitudes;
    decltype(&line_drnu_body) drnu;
    decltype(&line_store_drnu_u16_body) store_drnu_u16;
    decltype(&line_store_drnu_metres_body) store_drnu_metres;
};

constexpr Kernels kernels_for(bool avx2) {
    return {variant<line_phases_body>(avx2),           variant<line_amplitudes_body>(avx2),
            variant<line_store_u16_body>(avx2),        variant<line_store_metres_body>(avx2),
            variant<line_store_amplitudes_body>(avx2), variant<line_drnu_body>(avx2),
            variant<line_store_drnu_u16_body>(avx2),   variant<line_store_drnu_metres_body>(avx2)};
}

const Kernels kAvx2 = kernels_for(true);
const Kernels kBase = kernels_for(false);

// The kernels of a tier: the loop kernels, and the fused ones (none on the portable tier).
struct Tier {
    const Kernels *loops;
    const FusedKernels *fused;
};

Tier tier_kernels(KernelTier tier) {
#if TARVO_KERNELS_X86
    if (tier == KernelTier::avx512)
        return {&kAvx2, &kFusedAvx512};
    if (tier == KernelTier::avx2)
        return {&kAvx2, &kFusedAvx2};
#endif
    (void)tier;
    return {&kBase, nullptr};
}

KernelTier processor_tier() {
#if TARVO_KERNELS_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
        return KernelTier::avx512;
    if (__builtin_cpu_supports("avx2"))
        return KernelTier::avx2;
#endif
    return KernelTier::portable;
}

// The cap TARVO_KERNELS sets, or the best tier without it (an unknown name keeps the best).
KernelTier environment_tier() {
    const char *name = std::getenv("TARVO_KERNELS");
    if (name == nullptr)
        return KernelTier::avx512;
    for (KernelTier tier : {KernelTier::portable, KernelTier::avx2, KernelTier::avx512})
        if (std::strcmp(name, kernel_tier_name(tier)) == 0)
            return tier;
    return KernelTier::avx512;
}

KernelTier g_tier = use_kernel_tier(environment_tier());
Tier g_kernels = tier_kernels(g_tier);

// The same planes, hysteresis bytes and correction row from column `from` on.
LinePlanes planes_from(const LinePlanes &in, int from) {
    return {in.d0 + from, in.d1 + from, in.d2 + from, in.d3 + from, in.cols - from};
}
LineHysteresis hysteresis_from(const LineHysteresis &hyst, int from) {
    return {hyst.valid + from, hyst.upper, hyst.lower};
}
DrnuRow row_from(const DrnuRow &row, int from) {
    DrnuRow r = row;
    r.min += from;
    r.max += from;
    r.pairs += from;
    return r;
}

// Distance images changed since the start; drnu_step_pairs compares it with its own copy.
std::atomic<uint64_t> g_images_generation{1};

// Allocates on cache-line boundaries: the kernels read a table row's 64 bytes at a time, and a
// read across two lines costs twice.
template <typename T>
struct CacheLineAllocator {
    using value_type = T;
    static constexpr std::align_val_t kAlignment{64};
    CacheLineAllocator() = default;
    template <typename U>
    explicit CacheLineAllocator(const CacheLineAllocator<U> &) {}
    T *allocate(size_t n) { return static_cast<T *>(::operator new(n * sizeof(T), kAlignment)); }
    void deallocate(T *p, size_t) { ::operator delete(p, kAlignment); }
    bool operator==(const CacheLineAllocator &) const { return true; }
};

struct StepPairs {
    std::vector<uint32_t, CacheLineAllocator<uint32_t>> pairs;
    uint64_t generation = 0;
    int bank = -1;
    int distances = 0;
    int pixels = 0;
};
StepPairs g_step_pairs;

}  // namespace

void line_phases(const LinePlanes &in, const LineHysteresis &hyst, int32_t *phase) {
    g_kernels.loops->phases(in, hyst, phase);
}

void line_amplitudes(const LinePlanes &in, int32_t *amplitude) {
    g_kernels.loops->amplitudes(in, amplitude);
}

void line_store_u16(const int32_t *value, int cols, uint16_t *out) {
    g_kernels.loops->store_u16(value, cols, out);
}

void line_store_metres(const int32_t *phase, int cols, float metre_factor, float *out) {
    g_kernels.loops->store_metres(phase, cols, metre_factor, out);
}

void line_store_amplitudes(const int32_t *amplitude, int cols, float *out) {
    g_kernels.loops->store_amplitudes(amplitude, cols, out);
}

void line_drnu(const int32_t *phase, int cols, const DrnuRow &row, int32_t *value) {
    g_kernels.loops->drnu(phase, cols, row, value);
}

void line_store_drnu_u16(const int32_t *value, int cols, uint16_t *out) {
    g_kernels.loops->store_drnu_u16(value, cols, out);
}

void line_store_drnu_metres(const int32_t *value, int cols, float metre_factor, float *out) {
    g_kernels.loops->store_drnu_metres(value, cols, metre_factor, out);
}

void line_phases_u16(const LinePlanes &in, const LineHysteresis &hyst, uint16_t *out) {
    const int done = g_kernels.fused ? g_kernels.fused->phases_u16(in, hyst, out) : 0;
    if (done == in.cols)
        return;
    int32_t phase[kMaxLineColumns];
    line_phases(planes_from(in, done), hysteresis_from(hyst, done), phase);
    line_store_u16(phase, in.cols - done, out + done);
}

void line_phases_metres(const LinePlanes &in, const LineHysteresis &hyst, float metre_factor,
                        float *out) {
    const int done =
        g_kernels.fused ? g_kernels.fused->phases_metres(in, hyst, metre_factor, out) : 0;
    if (done == in.cols)
        return;
    int32_t phase[kMaxLineColumns];
    line_phases(planes_from(in, done), hysteresis_from(hyst, done), phase);
    line_store_metres(phase, in.cols - done, metre_factor, out + done);
}

void line_drnu_u16(const LinePlanes &in, const LineHysteresis &hyst, const DrnuRow &row,
                   uint16_t *out) {
    const int done = g_kernels.fused ? g_kernels.fused->drnu_u16(in, hyst, row, out) : 0;
    if (done == in.cols)
        return;
    int32_t phase[kMaxLineColumns];
    line_phases(planes_from(in, done), hysteresis_from(hyst, done), phase);
    int32_t value[kMaxLineColumns];
    line_drnu(phase, in.cols - done, row_from(row, done), value);
    line_store_drnu_u16(value, in.cols - done, out + done);
}

void line_drnu_metres(const LinePlanes &in, const LineHysteresis &hyst, const DrnuRow &row,
                      float metre_factor, float *out) {
    const int done =
        g_kernels.fused ? g_kernels.fused->drnu_metres(in, hyst, row, metre_factor, out) : 0;
    if (done == in.cols)
        return;
    int32_t phase[kMaxLineColumns];
    line_phases(planes_from(in, done), hysteresis_from(hyst, done), phase);
    int32_t value[kMaxLineColumns];
    line_drnu(phase, in.cols - done, row_from(row, done), value);
    line_store_drnu_metres(value, in.cols - done, metre_factor, out + done);
}

KernelTier best_kernel_tier() {
    static const KernelTier best = processor_tier();
    return best;
}

KernelTier use_kernel_tier(KernelTier wanted) {
    const KernelTier tier = std::min(wanted, best_kernel_tier());
    g_tier = tier;
    g_kernels = tier_kernels(tier);
    return tier;
}

KernelTier kernel_tier() {
    return g_tier;
}

const char *kernel_tier_name(KernelTier tier) {
    switch (tier) {
        case KernelTier::avx512:
            return "avx512";
        case KernelTier::avx2:
            return "avx2";
        default:
            return "portable";
    }
}

const uint32_t *drnu_step_pairs(int bank, int distances, int pixels) {
    StepPairs &s = g_step_pairs;
    const uint64_t generation = g_images_generation.load(std::memory_order_acquire);
    if (s.generation == generation && s.bank == bank && s.distances == distances &&
        s.pixels == pixels)
        return s.pairs.data();
    // Pixel-major images to step-major brackets: entry L and L + 1 of a pixel in one word. The
    // row after the last bracket repeats it.
    const uint16_t *images = distImagesDRNU[bank];
    const auto row_words = static_cast<size_t>(pixels);
    s.pairs.resize(static_cast<size_t>(distances) * row_words);
    for (int q = 0; q < pixels; ++q) {
        const uint16_t *entries = images + static_cast<long>(q) * distances;
        for (int L = 0; L + 1 < distances; ++L)
            s.pairs[static_cast<size_t>(L) * row_words + q] =
                entries[L] | static_cast<uint32_t>(entries[L + 1]) << 16;
    }
    std::copy_n(s.pairs.begin() + static_cast<long>((distances - 2) * row_words), row_words,
                s.pairs.begin() + static_cast<long>((distances - 1) * row_words));
    s.generation = generation;
    s.bank = bank;
    s.distances = distances;
    s.pixels = pixels;
    return s.pairs.data();
}

}  // namespace tarvo::epc

extern "C" void calibrateDistanceImagesChanged(void) {
    tarvo::epc::g_images_generation.fetch_add(1, std::memory_order_release);
}
