// The EPC-family driver: binds the sensor pipeline at open, describes every captured frame from
// its stream header, and decodes raw DCS frames into float distance and gray images with
// automatic exposure, the signal check and the HDR row-pair merge.
#include <tarvo/drv.h>
#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>
#include <tarvo/epc_drv.h>
#include <tarvo/lens.h>
#include <tarvo/log.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <span>

#include "drivers/calib_package.h"
#include "api/dev_ctx.h"
#include "drivers/epc_driver_state.h"
#include "drivers/epc_frame_checks.h"
#include "drivers/epc_lens.h"
#include "drivers/epc_pipeline_calls.h"
#include "drivers/frame_info.h"
#include "epc/device_io.h"
#include "epc/pipeline_common.h"
#include "ll/byte_order.h"

namespace tarvo::epc_driver {

DriverClock g_driver_clock;

}  // namespace tarvo::epc_driver

namespace {

using namespace tarvo::epc_driver;

constexpr uint16_t kDefaultWidth = 320;
constexpr uint16_t kDefaultHeight = 240;
constexpr int kDeviceAddress = 32;
constexpr int32_t kFrameRateParam = 12;
constexpr int32_t kIntegrationTimeParam = 13;
constexpr int32_t kSyncParam = 17;
constexpr int64_t kTemperatureLogSeconds = 90;
enum DecodeKind { kDistance = 1, kGray = 2 };
enum FrameFormat : uint16_t { kFormatGray = 0, kFormatDcs4 = 2, kFormatNone = 8 };
constexpr uint16_t kFormatCalibration = 171;
enum FastRouteType { kPhase16 = 0, kMetres = 2, kAmplitudeFloat = 3 };

int64_t wall_seconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

// ---- init and uninit ----------------------------------------------------------------------

bool allocate_state(tarvo_drv_t *drv) {
    auto *state = new (std::nothrow) EpcDriverState();
    if (state == nullptr)
        return false;
    try {
        state->work_metres.resize(kMaxFramePixels);
        state->work_phases.resize(kMaxFramePixels);
    } catch (const std::bad_alloc &) {
        delete state;
        return false;
    }
    drv->priv = state;
    return true;
}

void release_state(tarvo_drv_t *drv) {
    delete state_of(drv);
    drv->priv = nullptr;
}

bool read_param(tarvo_dev_t *dev, int32_t id, tarvo_param_item_t &item) {
    item = {};
    item.param_id = id;
    return dev != nullptr && tarvo::is_open(dev) && tarvo::param_batch_get(dev, &item, 1);
}

void remember_camera_settings(EpcDriverState &st, tarvo_dev_t *dev) {
    tarvo_param_item_t item;
    if (read_param(dev, kFrameRateParam, item)) {
        int32_t fps = 0;
        std::memcpy(&fps, item.param_val, sizeof fps);
        st.logged_frame_rate = fps;
    }
    if (read_param(dev, kIntegrationTimeParam, item))
        st.logged_integration_us = tarvo::bytes::get_le16(item.param_val);
}

bool epc_init(tarvo_drv_t *drv, tarvo_dev_t *dev) {
    drv->dev = dev;
    if (!allocate_state(drv)) {
        zr_log(4, "ERR", "[%s] no memory for the driver state\n", "epc_init");
        return false;
    }
    build_lens_map(*state_of(drv), "epc_init");
    char product[sizeof dev->product + 1] = {};
    std::memcpy(product, dev->product, sizeof dev->product);
    char revision[17] = {};
    if (std::sscanf(product, "%*16[^-]-%*16[^-]-%16[^-]", revision) != 1)
        return false;
    // Firmware revisions 2.0 and later (2.0, 2.01, 2.0.1) modulate from an external clock.
    tarvo::epc_driver::pipeline::set_ext_mod_enabled(std::strncmp(revision, "2.0", 3) == 0);
    zr_log(1, "DBG", "[%s] FW_VER:%d\n", "epc_init", dev->version[2] | dev->version[3] << 8);
    remember_camera_settings(*state_of(drv), dev);
    if (!epc_adapter_init(dev)) {
        zr_log(4, "ERR", "[%s] epc_adapter_init failed!\n", "epc_init");
        release_state(drv);
        return false;
    }
    return true;
}

void epc_uninit(tarvo_drv_t *drv) {
    // A second camera of the same family may have been bound since this one opened; the
    // pipeline keeps that one.
    if (g_zr_dev == nullptr || g_zr_dev == drv->dev)
        epc_adapter_uninit();
    release_state(drv);
    drv->dev = nullptr;
}

// ---- frame_get_info -----------------------------------------------------------------------

void monitor_temperature(const EpcDriverState &st, const zr_stream_frame_info_t &hdr) {
    constexpr const char *kTag = "epc_temperature_moniter";
    if (!st.filters.temp_monitor_on.load()) {
        zr_log(0, "TRC", "[%s] Temp monitor not enable\n", kTag);
        return;
    }
    const int64_t now = wall_seconds();
    const int64_t last = g_driver_clock.last_temperature_log.load();
    if (now - last < kTemperatureLogSeconds)
        return;
    zr_log(1, "DBG", "[%s] INTERV:%d, IBtemp:%.2f, Tsensor:%.2f, FPS:%d\n", kTag,
           static_cast<int>(now - last), hdr.temp_ib / 10.0, hdr.temp_chip / 10.0,
           st.logged_frame_rate.load());
    zr_log(1, "DBG", "[%s] intg_time:%d us\n", kTag, st.logged_integration_us.load());
    g_driver_clock.last_temperature_log = now;
}

bool epc_frame_get_info(tarvo_drv_t *drv, tarvo_frame_info_t *out,
                        const zr_stream_frame_info_t *hdr) {
    EpcDriverState *st = state_of(drv);
    if (out == nullptr || hdr == nullptr)
        return false;
    if (st != nullptr) {
        st->frame_valid = 1;
        st->header_temperatures = static_cast<uint16_t>(hdr->temp_chip) |
                                  uint32_t{static_cast<uint16_t>(hdr->temp_ib)} << 16;
        monitor_temperature(*st, *hdr);
    }
    std::memset(out, 0, sizeof *out);
    const uint32_t w = hdr->width != 0 ? hdr->width : kDefaultWidth;
    const uint32_t h = hdr->height != 0 ? hdr->height : kDefaultHeight;
    zr_log(0, "TRC", "[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", "epc_frame_get_info", hdr->frfmt,
           static_cast<int>(hdr->frlen), static_cast<int>(w), static_cast<int>(h));
    const uint64_t pixels = uint64_t{w} * h;
    if (hdr->frfmt != kFormatCalibration && hdr->frlen % pixels != 0)
        return false;
    tarvo::fill_frame_info(*out, *hdr, w, h, static_cast<uint8_t>(hdr->frlen / pixels));
    return true;
}

// ---- frame_decode -------------------------------------------------------------------------

// Calculation switches per frame format: pi delay, dual MGX, PN.
void set_format_switches(uint16_t format) {
    static constexpr uint8_t kSwitches[9][3] = {{0, 0, 0}, {1, 1, 0}, {1, 0, 0},
                                                {0, 1, 1}, {0, 1, 0}, {1, 0, 1},
                                                {1, 1, 1}, {0, 0, 1}, {0, 0, 0}};
    if (format >= 9)
        return;
    calculationEnablePiDelay(kSwitches[format][0]);
    calculationEnableDualMGX(kSwitches[format][1]);
    calculationEnablePN(kSwitches[format][2]);
}

// The pipeline learns the frame's geometry and temperatures from the decoding thread only.
void hand_over(const EpcDriverState &st, const tarvo_frame_info_t &info, const uint16_t *src,
               uint32_t src_bytes) {
    const uint32_t temps = st.header_temperatures.load();
    const int16_t pair[2] = {static_cast<int16_t>(temps & 0xFFFF),
                             static_cast<int16_t>(temps >> 16)};
    temperatureSetTemperatureByFrameHeader(pair);
    pruSetSize(static_cast<int>(info.width), static_cast<int>(info.height / 2));
    pru_image_record record{info, src};
    record.info.frame_size = src_bytes;
    pruSetImage(&record);
}

void send_integration_time(EpcDriverState &st, int time_us) {
    st.logged_integration_us = static_cast<uint16_t>(time_us);
    tarvo_param_item_t item{};
    item.param_id = kIntegrationTimeParam;
    // The camera takes the parameter's two bytes whatever the item's length says.
    item.param_val_len = 0;
    item.param_val[0] = static_cast<uint8_t>(time_us);
    item.param_val[1] = static_cast<uint8_t>(time_us >> 8);
    tarvo::epc::device_io().param_set(&item);
}

void auto_exposure(EpcDriverState &st, const uint16_t *src, uint32_t src_bytes) {
    const ExposureCounts counts = count_exposure(std::span(src, src_bytes / 2));
    const bool hdr = calculationIsHDR() != 0;
    const ExposureStep step = decide_exposure(counts, st.filters.ae_target.load(), hdr);
    const int current = configGetIntegrationTime3D();
    if (step.kind == ExposureStep::Kind::decrease) {
        const int next = decreased_integration_time(current, step.amount);
        configSetIntegrationTime3D(next);
        send_integration_time(st, next);
    } else if (step.kind == ExposureStep::Kind::increase) {
        const int next = current + step.amount;
        if (next <= kMaxAutoIntegrationUs) {
            send_integration_time(st, next);
            configSetIntegrationTime3D(next);
        }
    }
}

int refuse(EpcDriverState &st) {
    st.frame_valid = 0;
    return -1;
}

int wrong_length(EpcDriverState &st, uint32_t src_bytes, uint32_t dst_bytes) {
    zr_log(4, "ERR", "[%s] wrong data len: src=%d, dst=%d\n", "epc_frame_decode",
           static_cast<int>(src_bytes), static_cast<int>(dst_bytes));
    return refuse(st);
}

// Signal check: false when the frame is to be refused now (parameter 17 was just sent).
bool pass_signal_check(EpcDriverState &st, const uint16_t *src, uint32_t pixels) {
    const int64_t now = wall_seconds();
    g_driver_clock.last_signal_test = now;
    if (signal_consistent(src, pixels))
        return true;
    st.frame_valid = 0;
    // One nudge of the camera per second; frames in between are decoded, marked invalid.
    if (now <= g_driver_clock.last_sync_send.load())
        return true;
    tarvo_param_item_t item{};
    item.param_id = kSyncParam;
    item.param_val_len = 1;
    item.param_val[0] = st.filters.sync_flag.load();
    const uint16_t value = st.filters.sync_value.load();
    item.param_val[1] = static_cast<uint8_t>(value);
    item.param_val[2] = static_cast<uint8_t>(value >> 8);
    // The bound camera is this driver's device.
    tarvo::epc::device_io().param_set(&item);
    g_driver_clock.last_sync_send = now;
    return false;
}

// A gray frame: each pixel's 12-bit sample, lines put in image order as the sensor reads them.
void gray_samples(float *dst, const uint16_t *src, uint32_t width, uint32_t height) {
    for (uint32_t line = 0; line < height; ++line) {
        const int row =
            tarvo::epc::centre_out_row(static_cast<int>(line), static_cast<int>(height));
        const uint16_t *in = src + size_t{line} * width;
        float *out = dst + static_cast<size_t>(row) * width;
        for (uint32_t col = 0; col < width; ++col)
            out[col] = static_cast<float>(in[col] & 0x0FFF);
    }
}

int decode_distance(EpcDriverState &st, float *dst, const uint16_t *src, uint32_t width,
                    uint32_t height) {
    const int n = static_cast<int>(width * height);
    // Undistortion resamples from a complete image in the work buffer.
    const bool undistort = undistorts(st, width, height);
    float *metres = undistort ? st.work_metres.data() : dst;
    if (!st.filters.hdr_on.load()) {
        if (calcDefPiDelayGetDataSorted_opt(kMetres, metres, src, n) < 0)
            return refuse(st);
    } else {
        uint16_t *codes = st.work_phases.data();
        if (calcDefPiDelayGetDataSorted_opt(kPhase16, codes, src, n) < 0)
            return refuse(st);
        merge_hdr_rows(codes, static_cast<int>(width), static_cast<int>(height));
        phases_to_metres(codes, metres, static_cast<size_t>(n), configGetModulationFrequency());
    }
    if (undistort)
        undistort_image(st, dst, metres, width, height, kUnseenDistance);
    return 4 * n;
}

int decode_gray(EpcDriverState &st, float *dst, const uint16_t *src, uint32_t width,
                uint32_t height) {
    const int n = static_cast<int>(width * height);
    const bool undistort = undistorts(st, width, height);
    float *amplitude = undistort ? st.work_metres.data() : dst;
    if (calcDefPiDelayGetDataSorted_opt(kAmplitudeFloat, amplitude, src, n) < 0)
        return refuse(st);
    if (undistort)
        undistort_image(st, dst, amplitude, width, height, kUnseenGray);
    return 4 * n;
}

int epc_frame_decode(tarvo_drv_t *drv, void *dst, uint32_t dst_bytes, int kind, const uint16_t *src,
                     uint32_t src_bytes, const tarvo_frame_info_t *info) {
    EpcDriverState *st = state_of(drv);
    if (st == nullptr || dst == nullptr || src == nullptr || info == nullptr)
        return -1;
    src_bytes = std::min(src_bytes, info->frame_size);
    hand_over(*st, *info, src, src_bytes);
    set_format_switches(info->frame_format);
    if (st->filters.min_amp_on.load())
        tarvo::epc_driver::pipeline::set_min_amplitude(st->filters.min_amplitude.load());
    if (st->filters.ae_on.load() && st->filters.ae_target.load() != 0)
        auto_exposure(*st, src, src_bytes);

    const uint64_t n = uint64_t{info->width} * info->height;
    auto *out = static_cast<float *>(dst);
    switch (info->frame_format) {
        case kFormatGray:
            if (kind != kGray)
                return refuse(*st);
            if (uint64_t{dst_bytes} < 4 * n || uint64_t{src_bytes} < 2 * n || n > kMaxFramePixels)
                return wrong_length(*st, src_bytes, dst_bytes);
            gray_samples(out, src, info->width, info->height);
            return static_cast<int>(4 * n);
        case kFormatNone:
            return kind == kDistance ? refuse(*st) : -1;
        case kFormatCalibration:
            zr_log(2, "INF", "[%s] Calibration data frame,size:%d\n", "epc_frame_decode",
                   static_cast<int>(info->frame_size));
            return refuse(*st);
        case kFormatDcs4:
            break;
        default:
            return refuse(*st);
    }
    if (uint64_t{dst_bytes} < 4 * n || uint64_t{src_bytes} < 8 * n || n > kMaxFramePixels)
        return wrong_length(*st, src_bytes, dst_bytes);
    if (st->filters.sync_check_on.load() && !pass_signal_check(*st, src, static_cast<uint32_t>(n)))
        return -1;
    if (kind == kDistance)
        return decode_distance(*st, out, src, info->width, info->height);
    if (kind == kGray)
        return decode_gray(*st, out, src, info->width, info->height);
    return refuse(*st);
}

// ---- the remaining slots ------------------------------------------------------------------

int epc_spare_a(tarvo_drv_t *) {
    return 0;
}
int epc_config_reinit(tarvo_drv_t *, int, int value, int mode) {
    if (mode == 2)
        configInit(kDeviceAddress);
    return value;
}
int epc_calib_load(tarvo_drv_t *drv, int, int, int) {
    return tarvo::calib::calib_load(drv);
}
int epc_spare_b(tarvo_drv_t *) {
    return 1;
}

}  // namespace

extern "C" TARVO_API const tarvo_drv_ops_t g_tarvo_driver_op_epc = {
    epc_init,           epc_uninit,    epc_frame_get_info, epc_frame_decode,
    epc_lens_param_get, epc_spare_a,   epc_config_reinit,  epc_calib_load,
    epc_spare_b,        filter_enable, filter_disable,
};
