// The instruction-set tiers of the line kernels, as calc_kernel.cpp chooses between them.
#pragma once

#include "epc/calc_kernel.h"

namespace tarvo::epc {

// Fused line kernels of one tier: each does whole vectors from the line's first column on and
// returns how many columns it did; the portable kernels finish the line.
struct FusedKernels {
    int (*phases_u16)(const LinePlanes &in, const LineHysteresis &hyst, uint16_t *out);
    int (*phases_metres)(const LinePlanes &in, const LineHysteresis &hyst, float metre_factor,
                         float *out);
    int (*drnu_u16)(const LinePlanes &in, const LineHysteresis &hyst, const DrnuRow &row,
                    uint16_t *out);
    int (*drnu_metres)(const LinePlanes &in, const LineHysteresis &hyst, const DrnuRow &row,
                       float metre_factor, float *out);
};

#if defined(__x86_64__) || defined(__i386__)
extern const FusedKernels kFusedAvx2;
extern const FusedKernels kFusedAvx512;
#endif

}  // namespace tarvo::epc
