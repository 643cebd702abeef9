// What an offline handle has instead of a camera: the parameters and the sensor register file
// the camera answered with, and the folder of its calibration files. Reads come from here;
// writes by the processing pipeline (automatic exposure, the sensor configuration) land here.
//
// Thread context: thread-safe; the decoding thread writes while another may read.
#pragma once

#include <tarvo/dev.h>
#include <tarvo/offline.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "epc/device_io.h"

namespace tarvo {

class OfflineCamera {
  public:
    // Checks and copies `camera`; null after a log line when it is not usable.
    static std::unique_ptr<OfflineCamera> from(const tarvo_offline_camera_t *camera);

    const std::string &product() const { return product_; }
    // The calibration folder; nullopt when the camera was described without one.
    const std::optional<std::string> &calibration_dir() const { return calibration_dir_; }

    // Every item's value and length, or false (items untouched) when one is not known.
    bool param_get(tarvo_param_item_t *items, int count) const;
    // The value one parameter holds; false when it is not known.
    bool param_value(int32_t id, tarvo_param_item_t &item) const;
    void param_set(const tarvo_param_item_t &item);
    // Registers reg .. reg + count - 1 of the sensor; false when one lies outside the file.
    bool reg_read(uint32_t reg, uint32_t *values, uint16_t count) const;
    bool reg_write(uint32_t reg, const uint32_t *values, uint16_t count);

  private:
    // False, after a log line naming `func`, when the file lacks one of the registers.
    bool holds_registers(uint32_t reg, uint16_t count, const char *func) const;

    mutable std::mutex mu_;
    std::string product_;
    std::map<uint8_t, tarvo_param_item_t> params_;  // by the number that travels
    std::vector<uint32_t> registers_;
    std::optional<std::string> calibration_dir_;
};

// The EPC pipeline's device table for the bound offline handle: parameter and register reads
// from its copies, the pipeline's writes into them, resets that do nothing, no frames.
const epc::DeviceIo &offline_device_io();

}  // namespace tarvo
