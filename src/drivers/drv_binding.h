// Which open device a driver serves. The EPC-family drivers share one processing pipeline and
// its process-wide state (the pipeline's device, the driver record's state), so one EPC camera
// is bound at a time; the TI driver keeps no state and serves any number of cameras.
#pragma once

#include <tarvo/drv.h>

namespace tarvo {

// Reserves `drv` for `dev` before the driver's init runs. False, with nothing changed, when the
// driver's state serves another open device.
bool drv_reserve(const tarvo_drv_t *drv, const tarvo_dev_t *dev);

// Ends the reservation of `dev`, after the driver's uninit has run.
void drv_release(const tarvo_drv_t *drv, const tarvo_dev_t *dev);

}  // namespace tarvo
