// The pipeline settings the EPC driver makes at start-up and per frame, through the
// processing façade when it is linked into the library, else through the configuration,
// read-out and pixel-test steps that the façade itself combines.
#pragma once

namespace tarvo::epc_driver::pipeline {

// External modulation flag of the pipeline.
void set_ext_mod_enabled(bool on);
// Default phase offset in use (on) or not.
void enable_default_offset(bool on);
void enable_abs(bool on, int addr);
void enable_adc_overflow(bool on);
// Modulation frequency by table index; false for an index outside the table.
bool set_modulation_frequency(int index, int addr);
// Minimum amplitude of the frame source and the hysteresis thresholds that follow it.
void set_min_amplitude(int amplitude);
void set_hysteresis(int width);
// Read-out region (columns x0..x1, rows y0..y1 of one half) and the frame geometry it gives.
void set_region(int x0, int x1, int y0, int y1, int addr);

}  // namespace tarvo::epc_driver::pipeline
