// The starting point of the gray tests: every grayscale and FLIM correction switched off, no
// FLIM tables available, and grayscale tables that change nothing.
#pragma once

#include <tarvo/epc_gray.h>

#include "epc/gray_correction.h"

namespace tarvo::test {

inline void switch_gray_corrections_off() {
    setCorrectGrayscaleOffset(0);
    setCorrectGrayscaleGain(0);
    calculationCorrectFlimOffset(0);
    calculationCorrectFlimGain(0);
    calculateSetFlimCorrectionAvailable(0);
    epc::reset_grayscale_tables();
}

}  // namespace tarvo::test
