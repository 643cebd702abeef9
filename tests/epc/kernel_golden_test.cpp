// The fast route's output bits for fixed random frames, pinned: phases, amplitudes, metres,
// the hysteresis state they leave, and the distance-image (DRNU) correction. Any change to the
// line kernels must leave these hashes as they are, with every instruction set.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "epc/calc_kernel.h"
#include "epc/pixel_tests.h"
#include "kernel_tiers.h"

namespace {

constexpr int kCols = 320;
constexpr int kRows = 240;
constexpr int kN = kCols * kRows;

// FNV-1a over bytes, chained.
uint64_t fnv1a(const void *data, size_t size, uint64_t h = 0xcbf29ce484222325ull) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

template <typename T>
uint64_t fnv1a(const std::vector<T> &v, uint64_t h) {
    return fnv1a(v.data(), v.size() * sizeof(T), h);
}

struct Lcg {
    uint32_t seed;
    int next(int range) {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<int>((seed >> 8) % static_cast<uint32_t>(range));
    }
};

// Four planes of random samples: mostly around mid-scale with amplitudes from nothing to full
// swing (many near the hysteresis thresholds), some rail samples (0 and 4095), and flag bits
// above the 12 sample bits.
std::vector<uint16_t> random_frame(Lcg &rng) {
    std::vector<uint16_t> src(4 * kN);
    for (int p = 0; p < kN; ++p) {
        const int spread = rng.next(8) == 0 ? 4096 : 1 + rng.next(160);
        for (int k = 0; k < 4; ++k) {
            int v = 2048 + rng.next(spread) - spread / 2;
            v = v < 0 ? 0 : (v > 4095 ? 4095 : v);
            if (rng.next(400) == 0)
                v = rng.next(2) ? 4095 : 0;
            src[k * kN + p] = static_cast<uint16_t>(v | (rng.next(16) == 0 ? 0x3000 : 0));
        }
    }
    return src;
}

// Every output type of three successive frames (the hysteresis state carries over), hashed.
uint64_t plain_route_hash() {
    pruSetSize(kCols, kRows / 2);
    hysteresisSetThresholds(40, 25);
    Lcg rng{2024};
    std::vector<uint16_t> phase(kN), amp(kN);
    std::vector<float> metres(kN), famp(kN);
    std::vector<uint8_t> valid(kN);
    uint64_t h = 0xcbf29ce484222325ull;
    for (int frame = 0; frame < 3; ++frame) {
        const std::vector<uint16_t> src = random_frame(rng);
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, phase.data(), src.data(), kN), kN);
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(1, amp.data(), src.data(), kN), kN);
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(2, metres.data(), src.data(), kN), kN);
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(3, famp.data(), src.data(), kN), kN);
        std::memcpy(valid.data(), tarvo::epc::g_hysteresis.valid, kN);
        h = fnv1a(phase, h);
        h = fnv1a(amp, h);
        h = fnv1a(metres, h);
        h = fnv1a(famp, h);
        h = fnv1a(valid, h);
    }
    return h;
}

// Random distance-image tables (flat steps, steps out of order, pixels without span) and a
// temperature term, then 16-bit phases and metres of two frames.
uint64_t drnu_route_hash() {
    pruSetSize(kCols, kRows / 2);
    hysteresisSetThresholds(10, 5);
    const int c = 9;
    calibrateSetNumDistances(c);
    gStepCalMM = 298.2;
    tarvo::test::use_distance_image_drnu_with_temperature();
    Lcg rng{77};
    for (int q = 0; q < kN; ++q) {
        uint16_t lo = 0xFFFF, hi = 0;
        int v = rng.next(20000);
        for (int s = 0; s < c; ++s) {
            v += rng.next(8) == 0 ? 0 : rng.next(3000);
            if (rng.next(50) == 0)
                v = rng.next(30000);
            const uint16_t e = static_cast<uint16_t>(std::min(v, 65535));
            distImagesDRNU[1][q * c + s] = e;
            lo = std::min(lo, e);
            hi = std::max(hi, e);
        }
        distImagesDRNUMin[1][q] = lo;
        distImagesDRNUMax[1][q] = rng.next(30) == 0 ? lo : hi;
    }
    calibrateDistanceImagesChanged();
    std::vector<uint16_t> phase(kN);
    std::vector<float> metres(kN);
    uint64_t h = 0xcbf29ce484222325ull;
    for (int frame = 0; frame < 2; ++frame) {
        const std::vector<uint16_t> src = random_frame(rng);
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(0, phase.data(), src.data(), kN), kN);
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(2, metres.data(), src.data(), kN), kN);
        h = fnv1a(phase, h);
        h = fnv1a(metres, h);
    }
    return h;
}

class KernelGolden : public tarvo::test::KernelTierTest {};

TEST_P(KernelGolden, PlainRouteBitsStayTheSame) {
    EXPECT_EQ(plain_route_hash(), 11698600327821633597ull);
}

TEST_P(KernelGolden, DrnuRouteBitsStayTheSame) {
    EXPECT_EQ(drnu_route_hash(), 2031770025645504971ull);
}

// Every pair of sample differences the arctangent table serves (|y|, |x| up to 4093, the most
// four samples off the rails give), as phases and metres, against the table's own arctangent.
TEST_P(KernelGolden, EveryDifferencePairGivesTheTablePhase) {
    pruSetSize(kCols, kRows / 2);
    hysteresisSetThresholds(0, 0);  // every pixel valid
    const float metre_factor = static_cast<float>(149896229.0 / (12000 * 1000.0));
    constexpr int kMax = 4093;
    std::vector<uint16_t> src(4 * kN, 2048);
    std::vector<uint16_t> phase(kN);
    std::vector<float> metres(kN);
    std::vector<int> expected(kN);
    // Samples 1 and 1 + |difference|, in the order that gives its sign.
    auto place = [&](int p, int diff, int low_plane, int high_plane) {
        src[low_plane * kN + p] = static_cast<uint16_t>(diff >= 0 ? 1 : 1 - diff);
        src[high_plane * kN + p] = static_cast<uint16_t>(diff >= 0 ? 1 + diff : 1);
    };
    int filled = 0;
    long checked = 0;
    auto check_frame = [&]() {
        ASSERT_EQ(calcDefPiDelayGetDataSorted_opt(0, phase.data(), src.data(), kN), kN);
        ASSERT_EQ(calcDefPiDelayGetDataSorted_opt(2, metres.data(), src.data(), kN), kN);
        for (int p = 0; p < filled; ++p) {
            const int line = p / kCols;
            const int half_row = kRows / 2;
            const int q =
                (line % 2 == 0 ? half_row - 1 - line / 2 : half_row + line / 2) * kCols + p % kCols;
            ASSERT_EQ(phase[q], expected[p]) << "input position " << p;
            ASSERT_EQ(metres[q], static_cast<float>(expected[p]) * metre_factor / 30000.0f);
        }
        checked += filled;
        filled = 0;
    };
    for (int y = -kMax; y <= kMax; ++y) {
        for (int x = -kMax; x <= kMax; ++x) {
            place(filled, y, 1, 3);
            place(filled, x, 0, 2);
            expected[filled] = (atan2_lut(y, x) + 315000) % 30000;
            if (++filled == kN) {
                check_frame();
                if (HasFatalFailure())
                    return;
            }
        }
    }
    check_frame();
    EXPECT_EQ(checked, static_cast<long>(2 * kMax + 1) * (2 * kMax + 1));
}

TARVO_INSTANTIATE_FOR_EVERY_KERNEL_TIER(KernelGolden);

}  // namespace
