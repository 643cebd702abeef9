// DRNU calibration files and the one place where distance images change order.
//
// In memory a bank of distance images is pixel-major (the values of pixel p are at
// p x distances + step), the order the distance correction reads. Files hold the images one
// after the other (step-major). Acquisition, step search and table derivation reach a bank only
// through bank_value / set_bank_value; saving and loading convert.
#pragma once

#include <stdint.h>

#include <cstdio>
#include <functional>
#include <string>

#include "epc/calibration_state.h"

namespace tarvo::epc {

// Bank of the frequency mode: 1 for mode 2, 0 otherwise.
int bank_of_mode(int mode);
int active_bank();
// Current number of distances, bounded by the tables.
int drnu_distances();
// Calibration image pixels (width x height), 0 when the size is unset or too large.
int drnu_pixels();

inline uint16_t bank_value(int bank, int step, int pixel, int distances) {
    return distImagesDRNU[bank][static_cast<long>(pixel) * distances + step];
}
inline void set_bank_value(int bank, int step, int pixel, int distances, uint16_t v) {
    distImagesDRNU[bank][static_cast<long>(pixel) * distances + step] = v;
}
// Per-pixel minimum and maximum of `bank` over its `distances` images.
void update_bank_extremes(int bank, int pixels, int distances);

// File names (the current frequency's suffix unless a frequency mode is given).
enum class DrnuFile { text_params, binary_params, temperatures, ib_temperatures, images };
std::string drnu_file_name(DrnuFile file, int mode);
std::string drnu_file_name(DrnuFile file);
std::string bad_pixel_file_name();

// Writes `name` through a temporary file that replaces it only when `write` succeeded and every
// byte reached the file. False (nothing replaced) otherwise, with an error line under `tag`.
bool write_file_atomically(const std::string &name, const char *tag,
                           const std::function<bool(FILE *)> &write);

// Builds "calib_and_param_%03i.bin" from the binary parameter file and the distance image
// file of the current frequency mode. 0, or -1.
int construct_calib_param_package();

// Stored parameters of both frequency-mode slots.
struct DrnuParams {
    int offset = 8364;
    int temp_cal = 361;
    int temp_cal_ib = 341;
    double step_mm = 298.2;
};
DrnuParams &stored_params(int slot);

}  // namespace tarvo::epc
