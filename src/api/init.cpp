#include <tarvo/init.h>
#include <tarvo/ll.h>
#include <tarvo/log.h>

#include <cstdio>

#include "api/path.h"
#include "api/wall_clock.h"
#include "output/cmap.h"

namespace {

constexpr const char *kUnknownName = "**UNKNOWN**";
constexpr int kFirstCode = -10;

// Indexed by code + 10.
constexpr const char *kErrorNames[14] = {
    "TARVO_ERR_CAP_UNKNOWN",       /* -10 */
    kUnknownName,                  /* -9 */
    "TARVO_ERR_CAP_ERROR",         /* -8 */
    "TARVO_ERR_CAP_STALL",         /* -7 */
    kUnknownName,                  /* -6 */
    "TARVO_ERR_CAP_TIMEOUT",       /* -5 */
    kUnknownName,                  /* -4 */
    kUnknownName,                  /* -3: a cancelled transfer, never reported by name */
    kUnknownName,                  /* -2 */
    kUnknownName,                  /* -1 */
    "OK",                          /* 0 */
    kUnknownName,                  /* 1 */
    kUnknownName,                  /* 2 */
    "TARVO_ERR_CAP_FRAME_DISCARD", /* 3 */
};

// "tarvo_YYYYMMDD.log" for today, so each calendar day has its own log file.
void daily_log_name(char (&name)[64]) {
    const std::tm today = tarvo::read_local_time().fields;
    std::snprintf(name, sizeof name, "tarvo_%04u%02u%02u.log",
                  static_cast<unsigned>(today.tm_year + 1900),
                  static_cast<unsigned>(today.tm_mon + 1), static_cast<unsigned>(today.tm_mday));
}

// Results of a device open, ours: outside the capture codes' table.
const char *device_error_name(int code) {
    switch (code) {
        case TARVO_ERR_DEV_IN_USE:
            return "TARVO_ERR_DEV_IN_USE";
        case TARVO_ERR_DEV_ALREADY_OPEN:
            return "TARVO_ERR_DEV_ALREADY_OPEN";
        case TARVO_ERR_DEV_PIPELINE_BOUND:
            return "TARVO_ERR_DEV_PIPELINE_BOUND";
        case TARVO_ERR_DEV_OPEN_FAILED:
            return "TARVO_ERR_DEV_OPEN_FAILED";
        default:
            return nullptr;
    }
}

}  // namespace

extern "C" {

TARVO_API void tarvo_init(const char *log_fname) {
    zr_log_enable(0, 3, nullptr);
    tarvo::reset_path_prefix();
    char name[64];
    if (log_fname == nullptr) {
        daily_log_name(name);
        log_fname = name;
    }
    zr_log_enable(1, 1, log_fname);
    zr_log(2, "INF", "[%s]  --- %s %s(compile at %s %s) log start -----\n", "tarvo_init", "TARVO",
           TARVO_VERSION_STRING, __DATE__, __TIME__);
    tarvo_ll_init();
    tarvo::create_default_cmap();
}

TARVO_API void tarvo_uninit(void) {
    zr_log(1, "DBG", "[%s] ----- AL log END ----\n\n", "tarvo_uninit");
    zr_log_disable();
    tarvo_ll_uninit();
    tarvo::release_default_cmap();
}

TARVO_API const char *tarvo_error_name(int code) {
    if (const char *name = device_error_name(code))
        return name;
    constexpr int kCount = static_cast<int>(sizeof kErrorNames / sizeof kErrorNames[0]);
    if (code < kFirstCode || code >= kFirstCode + kCount)
        return kUnknownName;
    return kErrorNames[code - kFirstCode];
}

TARVO_API void tarvo_log_cfg(int console_level, int file_level, int usb_level) {
    zr_log_enable(0, static_cast<unsigned>(console_level), nullptr);
    zr_log_enable(1, static_cast<unsigned>(file_level), nullptr);
    tarvo_ll_set_debug(static_cast<unsigned>(usb_level));
}

}  // extern "C"
