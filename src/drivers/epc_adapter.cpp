// Binding of a camera to the EPC pipeline: the pipeline reaches its camera through g_zr_dev
// and starts its configuration with the chip identity that parameter 7 reports.
#include <tarvo/cap.h>
#include <tarvo/dev.h>
#include <tarvo/drv.h>
#include <tarvo/epc_config.h>
#include <tarvo/epc_drv.h>
#include <tarvo/init.h>
#include <tarvo/log.h>

#include <cstdio>

#include "api/dev_ctx.h"
#include "api/path.h"
#include "drivers/epc_driver_state.h"
#include "drivers/epc_pipeline_calls.h"
#include "epc/calibration_state.h"
#include "epc/device_io.h"
#include "epc/optional_parts.h"
#include "ll/byte_order.h"

namespace {

namespace pipeline = tarvo::epc_driver::pipeline;

constexpr int kDeviceAddress = 32;
constexpr int32_t kChipInfoParam = 7;
constexpr int kEpc660PartType = 2;
constexpr uint32_t kStandaloneFrameBuffer = 6144000;
// Start-up settings of the pipeline for this camera.
constexpr int kDefaultOffsetPhase = -6600;
constexpr int kExtModFrequencyIndex = 0;
constexpr int kFrequencyIndex = 2;
constexpr int kMinAmplitude = 30;
constexpr int kHysteresis = 20;

// The adapter opened g_zr_dev itself (standalone use) and closes it again.
bool g_adapter_opened = false;

void start_pipeline() {
    calibrationSetDefaultOffsetPhase(kDefaultOffsetPhase);
    pipeline::enable_default_offset(true);
    pipeline::enable_abs(true, kDeviceAddress);
    pipeline::enable_adc_overflow(true);
    pipeline::set_modulation_frequency(
        tarvo::epc::parts::ext_mod_enabled() ? kExtModFrequencyIndex : kFrequencyIndex,
        kDeviceAddress);
    pipeline::set_min_amplitude(kMinAmplitude);
    pipeline::set_region(4, 323, 6, 125, kDeviceAddress);
    pipeline::set_hysteresis(kHysteresis);
}

// An offline handle reaches the pipeline through its own copies and its calibration folder
// instead of the bound device and the path prefix, until it is unbound.
bool g_routed_offline = false;

void unroute_pipeline() {
    if (!g_routed_offline)
        return;
    tarvo::epc::set_device_io(nullptr);
    tarvo::use_prefix_for_calibration();
    g_routed_offline = false;
}

void route_pipeline(tarvo_dev_t *dev) {
    const tarvo::OfflineCamera *camera = tarvo::offline_camera(dev);
    if (camera == nullptr) {
        unroute_pipeline();
        return;
    }
    tarvo::epc::set_device_io(&tarvo::offline_device_io());
    tarvo::set_calibration_folder(camera->calibration_dir());
    g_routed_offline = true;
}

bool bind(tarvo_dev_t *dev) {
    g_zr_dev = dev;
    route_pipeline(dev);
    configSetPartType(kEpc660PartType);
    tarvo_param_item_t item{};
    item.param_id = kChipInfoParam;
    if (!tarvo_param_batch_get(dev, &item, 1)) {
        std::puts("Get chip info failed");
        g_zr_dev = nullptr;
        unroute_pipeline();
        return false;
    }
    // Part version, chip id, wafer id.
    const uint16_t part_version = tarvo::bytes::get_le16(item.param_val);
    configSetPartVersion(part_version);
    configSetIcVersion(part_version);
    configSetWaferID(tarvo::bytes::get_le16(item.param_val + 4));
    configSetChipID(tarvo::bytes::get_le16(item.param_val + 2));
    configSetDeviceAddress(kDeviceAddress);
    configInit(kDeviceAddress);
    start_pipeline();
    return true;
}

bool open_standalone() {
    if (g_adapter_opened)
        epc_adapter_uninit();
    tarvo_init(nullptr);
    tarvo_log_cfg(1, 1, 5);
    tarvo_dev_t *dev = tarvo_dev_open(nullptr);
    // The driver binds the camera while opening it; one it could not bind is of no use here.
    if (dev != nullptr && g_zr_dev != dev)
        tarvo_dev_close(dev);
    if (dev == nullptr || g_zr_dev != dev) {
        tarvo_uninit();
        g_zr_dev = nullptr;
        return false;
    }
    tarvo_cap_set_frame_buffer(dev, nullptr, kStandaloneFrameBuffer);
    g_adapter_opened = true;
    return true;
}

tarvo::epc_driver::EpcDriverState *bound_state() {
    const tarvo_drv_t *drv = g_zr_dev != nullptr ? tarvo_dev_get_drv(g_zr_dev) : nullptr;
    if (drv == nullptr || drv->ops != &g_tarvo_driver_op_epc)
        return nullptr;
    return tarvo::epc_driver::state_of(drv);
}

}  // namespace

extern "C" {

TARVO_API bool epc_adapter_init(tarvo_dev_t *dev) {
    return dev != nullptr ? bind(dev) : open_standalone();
}

TARVO_API void epc_adapter_uninit(void) {
    if (g_adapter_opened) {
        g_adapter_opened = false;
        std::puts("close dev..");
        tarvo_dev_close(g_zr_dev);
        tarvo_uninit();
        std::puts("uninit done..");
    }
    g_zr_dev = nullptr;
    unroute_pipeline();
}

TARVO_API void epc_adapater_set_frame_valid(uint8_t valid) {
    if (auto *st = bound_state())
        st->frame_valid = valid;
}

TARVO_API uint8_t epc_adapater_get_frame_valid(void) {
    const auto *st = bound_state();
    return st != nullptr ? st->frame_valid.load() : 1;
}

}  // extern "C"
