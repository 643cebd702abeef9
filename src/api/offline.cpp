// Offline handles: the camera description they stand on, the pipeline's device table for them
// and the public calls of <tarvo/offline.h>.
#include <tarvo/drv.h>
#include <tarvo/log.h>
#include <tarvo/offline.h>

#include <algorithm>
#include <cstring>

#include "api/dev_ctx.h"
#include "drivers/epc_driver_state.h"
#include <tarvo/epc_config.h>

namespace {

constexpr const char *kOpenTag = "tarvo_offline_open";
constexpr int32_t kChipInfoParam = 7;
constexpr uint8_t kChipInfoBytes = 6;  // part version, chip id, wafer id
constexpr int kMaxParams = 256;
constexpr uint16_t kSensorRegisters = 256;
constexpr uint8_t kValueBytes = sizeof(tarvo_param_item_t::param_val);

bool refuse_camera(const char *why) {
    zr_log(4, "ERR", "[%s] %s\n", kOpenTag, why);
    return false;
}

bool usable_params(const tarvo_offline_camera_t &camera) {
    if (camera.param_count < 0 || camera.param_count > kMaxParams)
        return refuse_camera("parameter count out of range (0 to 256)");
    if (camera.params == nullptr && camera.param_count > 0)
        return refuse_camera("no parameter items for a count above 0");
    return true;
}

bool usable_registers(const tarvo_offline_camera_t &camera) {
    if (camera.sensor_registers == nullptr || camera.sensor_register_count == 0)
        return refuse_camera(
            "no sensor register file (target 1 from register 0): the pipeline reads the "
            "sensor's clock, mode and readout registers at start-up");
    if (camera.sensor_register_count > kSensorRegisters)
        return refuse_camera("sensor register file longer than the sensor's 256 registers");
    return true;
}

bool usable_product(const tarvo_offline_camera_t &camera) {
    if (camera.product == nullptr)
        return refuse_camera("no product string");
    tarvo_dev_t probe{};
    std::snprintf(probe.product, sizeof probe.product, "%s", camera.product);
    if (std::strlen(camera.product) >= sizeof probe.product || tarvo_drv_find(&probe) == nullptr) {
        zr_log(4, "ERR", "[%s] no driver for product \"%s\"\n", kOpenTag, camera.product);
        return false;
    }
    return true;
}

// The pipeline's device table while an offline handle is bound: the handle's own copies.
tarvo::OfflineCamera *bound_camera() {
    return tarvo::offline_camera(g_zr_dev);
}

bool copy_param_get(tarvo_param_item_t *item) {
    const tarvo::OfflineCamera *camera = bound_camera();
    return camera != nullptr && camera->param_get(item, 1);
}

bool copy_param_set(const tarvo_param_item_t *item) {
    tarvo::OfflineCamera *camera = bound_camera();
    if (camera == nullptr)
        return false;
    camera->param_set(*item);
    return true;
}

bool copy_reg_read(uint32_t reg, uint32_t *values, uint16_t count) {
    const tarvo::OfflineCamera *camera = bound_camera();
    return camera != nullptr && camera->reg_read(reg, values, count);
}

bool copy_reg_write(uint32_t reg, const uint32_t *values, uint16_t count) {
    tarvo::OfflineCamera *camera = bound_camera();
    return camera != nullptr && camera->reg_write(reg, values, count);
}

// Nothing to reset: the registers stay as the pipeline left them.
bool no_reset(unsigned) {
    return true;
}

int no_frame(uint8_t *, uint32_t, tarvo_frame_info_t *) {
    zr_log(4, "ERR", "[%s] an offline handle has no camera to grab a frame from\n", "grab_frame");
    return 0;
}

constexpr tarvo::epc::DeviceIo kOfflineIo = {copy_param_get, copy_param_set, copy_reg_read,
                                             copy_reg_write, no_reset,       no_frame};

}  // namespace

namespace tarvo {

const epc::DeviceIo &offline_device_io() {
    return kOfflineIo;
}

std::unique_ptr<OfflineCamera> OfflineCamera::from(const tarvo_offline_camera_t *camera) {
    if (camera == nullptr) {
        refuse_camera("no camera description");
        return nullptr;
    }
    if (!usable_product(*camera) || !usable_params(*camera) || !usable_registers(*camera))
        return nullptr;
    std::unique_ptr<OfflineCamera> out(new (std::nothrow) OfflineCamera());
    if (!out)
        return nullptr;
    out->product_ = camera->product;
    for (int i = 0; i < camera->param_count; ++i) {
        tarvo_param_item_t item = camera->params[i];
        item.param_val_len = std::min(item.param_val_len, kValueBytes);
        out->params_[static_cast<uint8_t>(item.param_id)] = item;
    }
    const auto chip = out->params_.find(kChipInfoParam);
    if (chip == out->params_.end() || chip->second.param_val_len < kChipInfoBytes) {
        refuse_camera("param 7 (chip information, 6 bytes) missing or short");
        return nullptr;
    }
    out->registers_.assign(camera->sensor_registers,
                           camera->sensor_registers + camera->sensor_register_count);
    if (camera->calibration_dir != nullptr)
        out->calibration_dir_ = camera->calibration_dir;
    return out;
}

bool OfflineCamera::param_value(int32_t id, tarvo_param_item_t &item) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = params_.find(static_cast<uint8_t>(id));
    if (it == params_.end())
        return false;
    item.param_val_len = it->second.param_val_len;
    std::memcpy(item.param_val, it->second.param_val, kValueBytes);
    return true;
}

bool OfflineCamera::param_get(tarvo_param_item_t *items, int count) const {
    std::vector<tarvo_param_item_t> answered(items, items + count);
    for (tarvo_param_item_t &item : answered) {
        if (!param_value(item.param_id, item)) {
            zr_log(4, "ERR", "[%s] param %d: not among the offline camera's parameters\n",
                   "_tarvo_param_batch_get", static_cast<int>(item.param_id));
            return false;
        }
    }
    std::copy(answered.begin(), answered.end(), items);
    return true;
}

void OfflineCamera::param_set(const tarvo_param_item_t &item) {
    std::lock_guard<std::mutex> lock(mu_);
    tarvo_param_item_t &kept = params_[static_cast<uint8_t>(item.param_id)];
    // The camera takes some values (the integration time) whatever length the item gives, so
    // the length a read reports never shrinks below what the camera answered.
    const uint8_t answered_len = kept.param_val_len;
    kept = item;
    kept.param_val_len = std::max(std::min(item.param_val_len, kValueBytes), answered_len);
}

bool OfflineCamera::holds_registers(uint32_t reg, uint16_t count, const char *func) const {
    if (uint64_t{reg} + count <= registers_.size())
        return true;
    zr_log(4, "ERR", "[%s] registers 0x%02x..+%u: not in the offline camera's register file\n",
           func, static_cast<unsigned>(reg), count);
    return false;
}

bool OfflineCamera::reg_read(uint32_t reg, uint32_t *values, uint16_t count) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (!holds_registers(reg, count, "tarvo_reg_batch_read"))
        return false;
    std::copy_n(registers_.begin() + reg, count, values);
    return true;
}

bool OfflineCamera::reg_write(uint32_t reg, const uint32_t *values, uint16_t count) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!holds_registers(reg, count, "tarvo_reg_batch_write"))
        return false;
    std::copy_n(values, count, registers_.begin() + reg);
    return true;
}

OfflineCamera *offline_camera(const tarvo_dev_t *dev) {
    if (!is_open(dev))
        return nullptr;
    return dev->ctx->offline.get();
}

bool refuse_offline(const tarvo_dev_ctx_t *ctx, const char *func) {
    if (ctx == nullptr || !ctx->offline)
        return false;
    zr_log(4, "ERR", "[%s] an offline handle has no camera behind it\n", func);
    return true;
}

}  // namespace tarvo

extern "C" {

TARVO_API tarvo_dev_t *tarvo_offline_open(const tarvo_offline_camera_t *camera) {
    return tarvo::open_offline(camera);
}

TARVO_API bool tarvo_offline_set_temperatures(tarvo_dev_t *dev, int16_t sensor,
                                              int16_t illumination) {
    tarvo::BusyGuard call(dev);
    if (!call || !call.ctx()->offline) {
        zr_log(4, "ERR", "[%s] not an open offline handle\n", __func__);
        return false;
    }
    const tarvo_drv_t *drv = call.ctx()->drv;
    tarvo::epc_driver::EpcDriverState *state = drv != nullptr && drv->ops == &g_tarvo_driver_op_epc
                                                   ? tarvo::epc_driver::state_of(drv)
                                                   : nullptr;
    if (state == nullptr) {
        zr_log(4, "ERR", "[%s] the handle's driver keeps no frame temperatures\n", __func__);
        return false;
    }
    state->header_temperatures =
        static_cast<uint16_t>(sensor) | uint32_t{static_cast<uint16_t>(illumination)} << 16;
    return true;
}

}  // extern "C"
