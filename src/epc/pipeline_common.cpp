#include "epc/pipeline_common.h"

#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include "epc/frame_source.h"

namespace tarvo::epc {

bool current_geometry(Geometry &g, const char *func) {
    g.cols = pruGetNCols();
    g.halves = pruGetNumberOfHalves();
    g.rows = pruGetNRowsPerHalf() * g.halves;
    if (g.cols <= 0 || g.rows <= 0 || g.cols > kMaxCols || g.rows > kMaxRows) {
        zr_log(4, "ERR", "[%s] image of %d x %d pixels does not fit %d x %d\n", func, g.cols,
               g.rows, kMaxCols, kMaxRows);
        g.pixels = 0;
        return false;
    }
    g.pixels = g.cols * g.rows;
    return true;
}

bool distance_geometry(Geometry &g, const char *func) {
    if (!current_geometry(g, func))
        return false;
    if (calculationIsDualMGX()) {
        // Each pair of lines per half gives one row per half; an odd line left over gives none.
        g.rows = g.rows / (2 * g.halves) * g.halves;
        g.pixels = g.cols * g.rows;
    }
    return true;
}

int calibration_index(int row, int col) {
    const int width = calibrateGetWidth();
    const int r = row + readOutGetTopLeftY() - 6;
    const int c = col + readOutGetTopLeftX() - 4;
    if (r < 0 || c < 0 || c >= width)
        return -1;
    const long index = static_cast<long>(r) * width + c;
    return index < kMaxPixels ? static_cast<int>(index) : -1;
}

}  // namespace tarvo::epc
