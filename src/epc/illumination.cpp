// The illumination switch. On this USB camera the firmware drives the illumination; the board
// line that a directly attached sensor board would switch does not exist here, so only the
// pipeline's record of the state changes.
#include <tarvo/epc_config.h>

namespace {

int g_illumination_enabled = 0;

}  // namespace

extern "C" {

int illuminationEnable(void) {
    g_illumination_enabled = 1;
    return 0;
}

int illuminationDisable(void) {
    g_illumination_enabled = 0;
    return 0;
}

int isIlluminationEnabled(void) {
    return g_illumination_enabled;
}

}  // extern "C"
