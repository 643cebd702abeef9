// Steps of the configuration start-up that belong to other parts of the pipeline: DRNU and
// grayscale calibration tables, the external-modulation flag, the chip parameter dump and the
// boot readers, reached from the configuration module through these few calls.
#pragma once

namespace tarvo::epc::parts {

// External modulation as the EPC driver set it.
bool ext_mod_enabled();

// Grayscale gain and offset tables of the current chip: 0, or -1 when they could not be loaded.
int load_grayscale_tables();
// DRNU parameters of the current frequency mode (defaults when there is no file).
void load_drnu_lut();
// DRNU distance images into `bank`: 0, or -1 when there are none.
int load_drnu_distance_images(int bank);

// DRNU calibration parameters.
void set_drnu_diff_temp(int value);
void set_drnu_calibrate_delay(int value);
void set_drnu_average(int value);
// Extents of the bad-pixel search.
void set_calibration_max(int columns, int rows);

// The chip parameter dump at the end of configInit.
void print_chip_param();

// Sensor power cycle, identity read-back into the configuration, normal mode and release of the
// enable line, as a restart between time-of-flight and FLIM parts runs them.
void boot_reset();
void boot_read_identity(int addr);
void boot_normal_mode(int addr);
void boot_close_enable();

}  // namespace tarvo::epc::parts
