// Frame source of the EPC pipeline: the image geometry every loop of the pipeline is sized
// from, and one frame of raw DCS samples, either handed over by the driver or fetched from the
// capture engine of the bound device.
#pragma once

#include <stdint.h>

#include <tarvo/frame.h>

extern "C" {

// The frame the driver hands over for decoding (info.frame_size bytes of samples at data);
// the pipeline reads it, never writes it.
struct pru_image_record {
    tarvo_frame_info_t info;
    const uint16_t *data;
};

int pruInit(void);
int pruSetSize(int width, int height);
int pruSetColReduction(int k);
int pruSetRowReduction(int k);
int pruGetColReduction(void);
int pruGetRowReduction(void);
int pruGetNCols(void);
int pruGetNRowsPerHalf(void);
int pruGetNumberOfHalves(void);
int pruGetNDCS(void);
int pruSetDCS(int n);
int pruSetMinAmplitude(int a);
int pruGetMinAmplitude(void);
int pruSetImage(const pru_image_record *record);
// One frame: *out designates its samples (columns x DCS count x rows per half x halves of
// them are readable); returns that sample count.
int pruGetImage(const uint16_t **out);
int pruRelease(void);

}  // extern "C"

namespace tarvo::epc {

int frame_source_width();
int frame_source_height();
int frame_source_set_halves(int halves);
// False when the last pruGetImage had no frame and handed out zeros.
bool frame_source_last_ok();

}  // namespace tarvo::epc
