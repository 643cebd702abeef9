// Frame source of the EPC pipeline: the image geometry every loop of the pipeline is sized
// from, and one frame of raw DCS samples, either handed over by the driver or fetched from the
// capture engine of the bound device. The pru* functions are declared in <tarvo/epc_config.h>.
#pragma once

#include <stdint.h>

#include <tarvo/epc_config.h>

namespace tarvo::epc {

// Bytes of the capture buffer: 328 x 252 pixels of up to 16 sample words each.
constexpr uint32_t kCaptureBytes = 2644992;

// The exponent k of a reduction factor 2^k as pruGet*Reduction gives it: what pruSet*Reduction
// and apiSetRowReduction take.
int reduction_exponent(int reduction);

int frame_source_width();
int frame_source_height();
int frame_source_set_halves(int halves);
// False when the last pruGetImage had no frame and handed out zeros.
bool frame_source_last_ok();

}  // namespace tarvo::epc
