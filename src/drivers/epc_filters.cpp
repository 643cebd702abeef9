// The EPC driver's filter switches: flags and values in the driver state that the frame decode
// reads for every frame, and for some ids a change of the chip configuration.
#include <tarvo/epc_calc.h>
#include <tarvo/epc_config.h>
#include <tarvo/lens.h>
#include <tarvo/log.h>

#include <cstdint>
#include <cstring>
#include <optional>

#include "drivers/epc_lens.h"

namespace tarvo::epc_driver {

namespace {

constexpr int kDeviceAddress = 32;
constexpr uint8_t kConfigModeReinit = 2;

enum FilterId {
    kUndistort = 0,
    kConfigMode = 1,
    kMinAmplitude = 4,
    kAutoExposure = 5,
    kSignalCheck = 6,
    kTempMonitor = 7,
    kHdr = 8,
};

// The little-endian argument of a filter; nothing (logged) when it is missing or shorter than
// the filter reads.
template <typename T>
std::optional<T> argument(const void *arg, int arg_size, int filter_id) {
    if (arg == nullptr || arg_size < static_cast<int>(sizeof(T))) {
        zr_log(4, "ERR", "[%s] filter %d needs a %d-byte argument, got %d bytes at %p\n",
               "epc_filter_enable", filter_id, static_cast<int>(sizeof(T)),
               arg == nullptr ? 0 : arg_size, arg);
        return std::nullopt;
    }
    const auto *bytes = static_cast<const uint8_t *>(arg);
    uint32_t raw = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        raw |= uint32_t{bytes[i]} << (8 * i);
    return static_cast<T>(raw);
}

EpcDriverState *state_or_log(tarvo_drv_t *drv, const char *tag) {
    EpcDriverState *st = state_of(drv);
    if (st == nullptr)
        zr_log(4, "ERR", "[%s] driver not initialised\n", tag);
    return st;
}

// Filter 0: reload the lens file and rebuild the map; true when a map stands.
bool enable_undistortion(tarvo_drv_t *drv, EpcDriverState &st) {
    st.filters.undistort_on = 1;
    if (drv->dev != nullptr)
        _zr_update_len_param(drv->dev);
    return build_lens_map(st, "epc_filter_enable");
}

}  // namespace

bool filter_enable(tarvo_drv_t *drv, int filter_id, const void *arg, int arg_size) {
    EpcDriverState *st = state_or_log(drv, "epc_filter_enable");
    if (st == nullptr)
        return false;
    FilterSwitches &f = st->filters;
    switch (filter_id) {
        case kUndistort:
            return enable_undistortion(drv, *st);
        case kConfigMode: {
            const auto mode = argument<uint8_t>(arg, arg_size, filter_id);
            if (!mode)
                return false;
            f.config_mode = *mode;
            f.config_mode_on = 1;
            if (*mode == kConfigModeReinit)
                configInit(kDeviceAddress);
            return true;
        }
        case kMinAmplitude: {
            const auto amplitude = argument<int32_t>(arg, arg_size, filter_id);
            if (!amplitude)
                return false;
            f.min_amplitude = *amplitude;
            f.min_amp_on = 1;
            return true;
        }
        case kAutoExposure: {
            const auto target = argument<uint16_t>(arg, arg_size, filter_id);
            if (!target)
                return false;
            f.ae_target = *target;
            f.ae_on = 1;
            return true;
        }
        case kSignalCheck: {
            const auto value = argument<uint16_t>(arg, arg_size, filter_id);
            if (!value)
                return false;
            f.sync_value = *value;
            f.sync_flag = (*value & 0xFF) != 0 ? 1 : 0;
            f.sync_check_on = 1;
            return true;
        }
        case kTempMonitor: {
            const auto limit = argument<int16_t>(arg, arg_size, filter_id);
            if (!limit)
                return false;
            f.temp_limit = *limit;
            f.temp_monitor_on = 1;
            return true;
        }
        case kHdr:
            f.hdr_on = 1;
            configEnableHDR(1, kDeviceAddress);
            return true;
        default:  // ids 2, 3 and unknown ones have no effect
            return true;
    }
}

bool filter_disable(tarvo_drv_t *drv, int filter_id) {
    EpcDriverState *st = state_or_log(drv, "epc_filter_disable");
    if (st == nullptr)
        return false;
    FilterSwitches &f = st->filters;
    switch (filter_id) {
        case kUndistort:
            f.undistort_on = 0;  // the map stays built
            return true;
        case kConfigMode:
            f.config_mode_on = 0;
            return true;
        case kMinAmplitude:
            f.min_amp_on = 0;  // the pipeline keeps the last value set
            return true;
        case kAutoExposure:
            f.ae_on = 0;
            f.ae_target = 0;
            return true;
        case kSignalCheck:
            f.sync_check_on = 0;
            return true;
        case kTempMonitor:
            f.temp_monitor_on = 0;
            return true;
        case kHdr:
            f.hdr_on = 0;
            configEnableHDR(0, kDeviceAddress);
            calculationSetEnableDRNU(2);
            calculationSetEnableTemperature(1);
            return true;
        default:
            return true;
    }
}

}  // namespace tarvo::epc_driver
