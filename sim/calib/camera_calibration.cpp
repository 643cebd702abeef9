#include "calib/camera_calibration.h"

#include <utility>

#include "scene.h"

namespace tarvo::vcam {

DrnuCalibrationInput factory_input(const SensorErrors &errors, int width, int height,
                                   double decode_offset_units) {
    DrnuCalibrationInput in;
    in.width = width;
    in.height = height;
    in.modulation_khz = 12000;
    in.step_mm = delay_step_m(0x80, in.temp_chip) * 1000.0;
    // 885000 / 1249 phase units: the default offset of the correction (range 1249 cm).
    in.box_distance_m = 885000 / 1249 * (149896229.0 / 12e6) / 30000.0;
    const double f = in.modulation_khz;
    in.raw_phase = [&errors, f, decode_offset_units](int p, double d) {
        return scene::phase_units(errors.measured(p, d, 0.0, f), f) - decode_offset_units;
    };
    return in;
}

void install_factory_calibration_for(Camera &camera, const SensorErrorConfig &errors, int width,
                                     int height, uint16_t chip_id) {
    const SensorErrors sensor(errors, width, height);
    install_factory_calibration(camera,
                                factory_package(factory_input(sensor, width, height), chip_id));
}

std::shared_ptr<CalibratableCamera> install_factory_calibrated_camera(
    const std::shared_ptr<Camera> &camera, const CalibratableConfig &config, scene::Scene truth) {
    auto calibratable = install_calibratable_camera(camera, config, std::move(truth));
    install_factory_calibration_for(*camera, config.errors, config.camera.width,
                                    config.camera.height);
    return calibratable;
}

}  // namespace tarvo::vcam
