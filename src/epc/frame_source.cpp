#include "epc/frame_source.h"

#include <tarvo/log.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "epc/config_state.h"
#include "epc/device_io.h"

namespace {

using tarvo::epc::kCaptureBytes;

struct FrameSource {
    int width = 320;
    int height = 120;
    int col_reduction = 1;
    int row_reduction = 1;
    int columns = 320;
    int rows_per_half = 120;
    int halves = 2;
    int dcs = 4;
    int min_amplitude = 0;
    bool handed_over = false;
    pru_image_record record{};
    bool last_ok = true;
};

FrameSource g_src;
alignas(64) uint16_t g_capture[kCaptureBytes / 2];

void recompute() {
    g_src.columns = g_src.width / g_src.col_reduction;
    g_src.rows_per_half = g_src.height / g_src.row_reduction;
}

int reduction_of(int k) {
    return 1 << std::clamp(k, 0, 3);
}

}  // namespace

namespace tarvo::epc {

int reduction_exponent(int reduction) {
    int k = 0;
    while (reduction > 1) {
        reduction >>= 1;
        ++k;
    }
    return k;
}

int frame_source_width() {
    return g_src.width;
}
int frame_source_height() {
    return g_src.height;
}
int frame_source_set_halves(int halves) {
    g_src.halves = halves == 1 ? 1 : 2;
    return g_src.halves;
}
bool frame_source_last_ok() {
    return g_src.last_ok;
}

}  // namespace tarvo::epc

extern "C" {

int pruInit(void) {
    if (tarvo::epc::is_epc635()) {
        g_src.width = g_src.columns = 160;
        g_src.height = g_src.rows_per_half = 60;
        g_src.halves = 1;
    } else {
        g_src.width = g_src.columns = 320;
        g_src.height = g_src.rows_per_half = 120;
        g_src.halves = 2;
    }
    g_src.handed_over = false;
    g_src.record = {};
    g_src.dcs = configIsFLIM() ? 2 : 4;
    return 0;
}

int pruSetSize(int width, int height) {
    g_src.width = std::max(width, 0);
    g_src.height = std::max(height, 0);
    recompute();
    return 0;
}

int pruSetColReduction(int k) {
    g_src.col_reduction = reduction_of(k);
    recompute();
    return g_src.col_reduction;
}

int pruSetRowReduction(int k) {
    g_src.row_reduction = reduction_of(k);
    recompute();
    return g_src.row_reduction;
}

int pruGetColReduction(void) {
    return g_src.col_reduction;
}
int pruGetRowReduction(void) {
    return g_src.row_reduction;
}
int pruGetNCols(void) {
    return g_src.columns;
}
int pruGetNRowsPerHalf(void) {
    return g_src.rows_per_half;
}
int pruGetNumberOfHalves(void) {
    return g_src.halves;
}
int pruGetNDCS(void) {
    return g_src.dcs;
}
int pruSetDCS(int n) {
    g_src.dcs = n;
    return n;
}
int pruSetMinAmplitude(int a) {
    g_src.min_amplitude = a;
    return a;
}
int pruGetMinAmplitude(void) {
    return g_src.min_amplitude;
}

int pruSetImage(const pru_image_record *record) {
    if (record == nullptr)
        return -1;
    g_src.record = *record;
    g_src.handed_over = true;
    return 0;
}

int pruGetImage(const uint16_t **out) {
    if (out == nullptr) {
        zr_log(4, "ERR", "[%s] no place for the frame pointer\n", __func__);
        return -1;
    }
    const uint64_t expected = static_cast<uint64_t>(std::max(g_src.columns, 0)) *
                              std::max(g_src.dcs, 0) * 2 * std::max(g_src.rows_per_half, 0) *
                              g_src.halves;
    g_src.last_ok = false;
    *out = g_capture;
    if (expected > kCaptureBytes) {
        zr_log(4, "ERR", "[%s] frame of %llu bytes exceeds the frame buffer\n", __func__,
               static_cast<unsigned long long>(expected));
        g_src.handed_over = false;
        std::memset(g_capture, 0, sizeof g_capture);
        return 0;
    }
    const int samples = static_cast<int>(expected / 2);
    if (g_src.handed_over) {
        g_src.handed_over = false;
        const pru_image_record rec = g_src.record;
        g_src.record.data = nullptr;
        if (rec.info.frame_size != expected)
            std::printf(" wrong frame size: expect %d, get %d\n", static_cast<int>(expected),
                        static_cast<int>(rec.info.frame_size));
        if (rec.data != nullptr && rec.info.frame_size >= expected) {
            *out = rec.data;
        } else {
            // A short frame is padded with zeros (invalid samples) rather than read past its end.
            const uint32_t have = rec.data != nullptr ? rec.info.frame_size : 0;
            std::memset(g_capture, 0, expected);
            if (have > 0)
                std::memcpy(g_capture, rec.data, have);
        }
        g_src.last_ok = rec.data != nullptr;
        return samples;
    }
    tarvo_frame_info_t info{};
    if (tarvo::epc::device_io().grab_frame(reinterpret_cast<uint8_t *>(g_capture), kCaptureBytes,
                                           &info) == 1) {
        std::printf(" get one frame #%d: %dx%d, size=%d\n", info.frame_idx,
                    static_cast<int>(info.width), static_cast<int>(info.height),
                    static_cast<int>(info.frame_size));
        if (info.frame_size != expected) {
            std::printf(" wrong frame size: expect %d, get %d\n", static_cast<int>(expected),
                        static_cast<int>(info.frame_size));
            std::memset(g_capture, 0, sizeof g_capture);
        } else {
            g_src.last_ok = true;
        }
    } else {
        std::puts(" get frame failed");
        std::memset(g_capture, 0, sizeof g_capture);
    }
    return samples;
}

int pruRelease(void) {
    return 0;
}

}  // extern "C"
