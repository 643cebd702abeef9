#include "output/cmap.h"

#include <tarvo/log.h>

#include <cmath>
#include <cstdlib>

namespace tarvo {

namespace {

constexpr int kDefaultEntries = 30000;
// Far beyond any useful display table; refused rather than allocated.
constexpr int kMaxEntries = 1 << 24;
constexpr int32_t kInitialMax = 4000;

constexpr int kLowAmplitude = 65300;
constexpr int kSaturated = 65400;
constexpr int kInvalid = 65500;
constexpr uint32_t kSaturatedColor = 0x8000FF;
constexpr uint32_t kInvalidColor = 0xFF0EA9;
constexpr uint32_t kWhite = 0xFFFFFF;

uint32_t channel(double level) {
    return static_cast<uint32_t>(static_cast<int>(level)) & 0xFFu;
}

double red_level(double v) {
    if (v < 0.125)
        return 0;
    if (v < 0.375)
        return (v - 0.125) * 255 * 4;
    if (v < 0.625)
        return 255;
    if (v < 1.125)
        return 2 * (-255 * (v - 0.625)) + 255;
    return 0;
}

double green_level(double v) {
    if (v < -0.125)
        return 0;
    if (v < 0.125)
        return (v + 0.125) * 255 * 4;
    if (v < 0.375)
        return 255;
    if (v < 0.75)
        return (v - 0.375) * (-255) / 0.375 + 255;
    return 0;
}

double blue_level(double v) {
    if (v < -0.375)
        return 255;
    if (v < -0.125)
        return (v + 0.375) * 255 * 4;
    if (v < 0.125)
        return 255;
    if (v < 0.375)
        return (v - 0.125) * (-255) * 4 + 255;
    return 0;
}

// Entry i of n; the position along the table is taken in single precision.
uint32_t table_entry(int i, int n) {
    const float t = static_cast<float>(i) / static_cast<float>(n);
    const float v = t - 0.25f;
    return channel(red_level(v)) | channel(green_level(v)) << 8 | channel(blue_level(v)) << 16;
}

// Whole steps of `units` x `scale`, held within 0..limit (a caller's record may hold anything).
int64_t whole_steps(int64_t units, float scale, int64_t limit) {
    const double steps = static_cast<double>(units) * static_cast<double>(scale);
    if (!(steps > 0))
        return 0;
    return steps >= static_cast<double>(limit) ? limit : static_cast<int64_t>(steps);
}

std::mutex g_default_lock;
zr_cmap_t g_default_map{};  // guarded by g_default_lock

// The body of tarvo_cmap_float once the range is set.
int colour_pixels(const zr_cmap_t &map, uint8_t *dst, int dst_len, const float *src, int src_count,
                  int pixel_format) {
    constexpr const char *kTag = "tarvo_cmap_float";
    if (pixel_format < 0 || pixel_format > 2)
        return 0;
    const int bytes_per_pixel = pixel_format == 1 ? 4 : 3;
    const int n = src_count < dst_len / bytes_per_pixel ? src_count : dst_len / bytes_per_pixel;
    if (n <= 0)
        return n;
    if (dst == nullptr || src == nullptr) {
        zr_log(4, "ERR", "[%s] image buffer is NULL\n", kTag);
        return 0;
    }
    if (map.table == nullptr) {
        zr_log(4, "ERR", "[%s] no colour map: the library is not initialised\n", kTag);
        return 0;
    }
    for (int i = 0; i < n; ++i) {
        const uint32_t c = metres_color(map, src[i]);
        const uint8_t red = c & 0xFF, green = (c >> 8) & 0xFF, blue = (c >> 16) & 0xFF;
        uint8_t *p = dst + static_cast<size_t>(i) * bytes_per_pixel;
        if (pixel_format == 2) {
            p[0] = blue, p[1] = green, p[2] = red;
        } else {
            p[0] = red, p[1] = green, p[2] = blue;
            if (pixel_format == 1)
                p[3] = 0;
        }
    }
    return n;
}

}  // namespace

void create_default_cmap() {
    zr_cmap_t record{};
    zr_cmap_init(&record, kDefaultEntries);
    const std::lock_guard lock(g_default_lock);
    zr_cmap_uninit(&g_default_map);
    g_default_map = record;
}

void release_default_cmap() {
    const std::lock_guard lock(g_default_lock);
    zr_cmap_uninit(&g_default_map);
    g_default_map = zr_cmap_t{};
}

std::mutex &default_cmap_lock() {
    return g_default_lock;
}

zr_cmap_t &default_cmap_locked() {
    return g_default_map;
}

std::optional<int32_t> to_millimetres(float metres) {
    const float mm = metres * 1000.0f;
    // Written so that NaN fails too; 2^31 itself is the first float that does not fit.
    if (!(mm > -2147483648.0f && mm < 2147483648.0f))
        return std::nullopt;
    return static_cast<int32_t>(mm);
}

}  // namespace tarvo

using tarvo::kInitialMax;

extern "C" {

TARVO_API void zr_cmap_init(zr_cmap_t *cmap, int count) {
    if (cmap == nullptr) {
        zr_log(4, "ERR", "[%s] colour map record is NULL\n", "zr_cmap_init");
        return;
    }
    *cmap = zr_cmap_t{};
    cmap->max = kInitialMax;
    cmap->gray_scale = 255.0f / static_cast<float>(kInitialMax);
    if (count <= 0 || count > tarvo::kMaxEntries) {
        zr_log(4, "ERR", "[%s] wrong table size: %d\n", "zr_cmap_init", count);
        return;
    }
    auto *table =
        static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * static_cast<size_t>(count)));
    if (table == nullptr) {
        zr_log(4, "ERR", "[%s] malloc failed!\n", "zr_cmap_init");
        return;
    }
    for (int i = 0; i < count; ++i)
        table[i] = tarvo::table_entry(i, count);
    cmap->count = count;
    cmap->scale = static_cast<float>(count / static_cast<double>(kInitialMax));
    cmap->table = table;
}

TARVO_API void zr_cmap_uninit(zr_cmap_t *cmap) {
    if (cmap == nullptr || cmap->table == nullptr)
        return;
    std::free(cmap->table);
    cmap->table = nullptr;
}

TARVO_API void zr_cmap_set_range(zr_cmap_t *cmap, int a, int b) {
    if (cmap == nullptr)
        return;
    if (a == b) {
        cmap->scale = static_cast<float>(cmap->count);
        cmap->gray_scale = 255.0f;
        return;
    }
    cmap->min = a < b ? a : b;
    cmap->max = a < b ? b : a;
    const double span = static_cast<double>(int64_t{cmap->max} - cmap->min);
    cmap->scale = static_cast<float>(cmap->count / span);
    cmap->gray_scale = static_cast<float>(255.0 / span);
}

TARVO_API uint32_t zr_cmap_get_color(const zr_cmap_t *cmap, int value) {
    if (value == tarvo::kLowAmplitude)
        return 0;
    if (value == tarvo::kSaturated)
        return tarvo::kSaturatedColor;
    if (value == tarvo::kInvalid)
        return tarvo::kInvalidColor;
    if (cmap == nullptr || cmap->table == nullptr || cmap->count <= 0)
        return 0;
    // The upper bound is max + min: a range that does not start at 0 reaches beyond max.
    const int64_t low = cmap->min;
    if (value < low || value > int64_t{cmap->max} + low)
        return 0;
    const int64_t count = cmap->count;
    const int64_t k = count - tarvo::whole_steps(value - low, cmap->scale, count);
    if (k <= 0)
        return cmap->table[0];
    return cmap->table[k >= count ? count - 1 : k];
}

TARVO_API uint32_t zr_cmap_get_gray(const zr_cmap_t *cmap, int value) {
    if (value == tarvo::kSaturated)
        return tarvo::kSaturatedColor;
    if (value == tarvo::kInvalid)
        return tarvo::kInvalidColor;
    if (cmap == nullptr)
        return 0;
    if (value > cmap->max)
        return tarvo::kWhite;
    if (value < cmap->min)
        return 0;
    // The product is taken in double from the single-precision scale: 1000 x 0.255f stays just
    // below 255.
    const int64_t level =
        tarvo::whole_steps(int64_t{value} - cmap->min, cmap->gray_scale, int64_t{1} << 40);
    return static_cast<uint32_t>(level & 0xFF) * 0x010101u;
}

TARVO_API int tarvo_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_count,
                               int pixel_format, float range_min, float range_max) {
    constexpr const char *kTag = "tarvo_cmap_float";
    const std::optional<int32_t> low = tarvo::to_millimetres(range_min);
    const std::optional<int32_t> high = tarvo::to_millimetres(range_max);
    if (!low || !high) {
        zr_log(4, "ERR", "[%s] wrong range: %f to %f m\n", kTag, range_min, range_max);
        return 0;
    }
    // The range stays set for later calls and coloured point clouds, whatever happens below.
    return tarvo::with_default_cmap_range(*low, *high, [&](const zr_cmap_t &map) {
        return tarvo::colour_pixels(map, dst, dst_len, src, src_count, pixel_format);
    });
}

}  // extern "C"
