// The factory calibration of a camera with the sensor's error models: the distances its pixels
// measure at every delay step, as the factory run of the DRNU calibration records them.
#pragma once

#include "calib/factory_calibration.h"
#include "errors/calibratable_camera.h"
#include "errors/sensor_errors.h"

namespace tarvo::vcam {

// Calibration of a width x height sensor with `errors` at the modulation frequency the driver
// selects (12 MHz), its delay line at register 0xE9 = 0x80 and 40.0 degrees, and the target at
// the distance the default phase offset stands for; the sensor's phases run
// `decode_offset_units` behind the distance (the scene model's decode offset). `errors` must
// outlive the input.
DrnuCalibrationInput factory_input(const SensorErrors &errors, int width, int height,
                                   double decode_offset_units = 0.0);

// Gives `camera` the factory calibration package of chip `chip_id` for a width x height sensor
// with `errors` (factory_input without a decode offset), as it comes from the factory.
void install_factory_calibration_for(Camera &camera, const SensorErrorConfig &errors, int width,
                                     int height, uint16_t chip_id = 1);

// A calibratable camera (install_calibratable_camera) with the factory calibration of its own
// sensor errors (install_factory_calibration_for, chip 1), as a camera comes from the factory.
std::shared_ptr<CalibratableCamera> install_factory_calibrated_camera(
    const std::shared_ptr<Camera> &camera, const CalibratableConfig &config, scene::Scene truth);

}  // namespace tarvo::vcam
