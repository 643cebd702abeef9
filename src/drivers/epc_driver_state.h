// The EPC driver's private state, one per open EPC camera (the driver record's priv), and the
// driver's process-wide time stamps.
//
// frame_get_info runs on the thread that delivers frames, frame_decode on the application
// thread that converts them, the filter switches on yet another: every flag and value that more
// than one of them touches is atomic. The work buffers belong to frame_decode alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include <tarvo/drv.h>

#include "output/undistort.h"

namespace tarvo::epc_driver {

// The largest frame the pipeline's static arrays hold: 328 columns x 252 rows.
inline constexpr uint32_t kMaxFramePixels = 328 * 252;

// Filter switches and the values they carry, as the frame decode reads them.
struct FilterSwitches {
    std::atomic<int32_t> config_mode{2};
    std::atomic<int32_t> min_amplitude{0};
    std::atomic<uint16_t> ae_target{0};  // per mille of samples out of range
    std::atomic<uint16_t> sync_value{0};
    std::atomic<int16_t> temp_limit{75};  // illumination board, degrees C
    std::atomic<uint8_t> config_mode_on{0};
    std::atomic<uint8_t> undistort_on{0};
    std::atomic<uint8_t> unused_2_on{0};  // filter ids 2 and 3 have no effect
    std::atomic<uint8_t> unused_3_on{0};
    std::atomic<uint8_t> min_amp_on{1};
    std::atomic<uint8_t> ae_on{0};
    std::atomic<uint8_t> sync_check_on{0};
    std::atomic<uint8_t> sync_flag{0};
    std::atomic<uint8_t> temp_monitor_on{1};
    std::atomic<uint8_t> hdr_on{0};
};

// One set of DRNU calibration file names.
struct CalibrationFiles {
    char distance_images[256] = {};
    char parameters[268] = {};
};

struct EpcDriverState {
    // Built from the library's lens parameters at init and whenever undistortion is switched
    // on; decodes on other threads keep the map they started with.
    SharedLensMap lens_map;
    FilterSwitches filters;
    // 1 while the newest frame is good; applications read and write it too.
    std::atomic<uint8_t> frame_valid{1};
    // Temperatures of the newest frame header (tenths of a degree): sensor in the low half,
    // illumination board in the high half. Handed to the pipeline by the decode, so that only
    // the decoding thread touches the pipeline.
    std::atomic<uint32_t> header_temperatures{0};
    // Frame rate (parameter 12) and integration time (parameter 13) for the temperature log,
    // read at open and followed by automatic exposure: the log never holds up a delivery with
    // commands to the camera.
    std::atomic<int32_t> logged_frame_rate{0};
    std::atomic<uint16_t> logged_integration_us{0};
    // Set 0 with external modulation, set 1 without; filled by calib_load.
    CalibrationFiles calibration_files[2];
    // Work buffers of frame_decode, sized for the largest frame at open: no allocation per frame.
    std::vector<float> work_metres;
    std::vector<uint16_t> work_phases;
};

// Seconds of the wall clock at the last temperature log, signal-check test and parameter-17
// send; 0 until the first.
struct DriverClock {
    std::atomic<int64_t> last_temperature_log{0};
    std::atomic<int64_t> last_signal_test{0};
    std::atomic<int64_t> last_sync_send{0};
};
extern DriverClock g_driver_clock;

inline EpcDriverState *state_of(const tarvo_drv_t *drv) {
    return drv != nullptr ? static_cast<EpcDriverState *>(drv->priv) : nullptr;
}

}  // namespace tarvo::epc_driver
