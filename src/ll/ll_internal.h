// Steps of the low-level layer that the device layer needs beyond the transport table.
#pragma once

#include <tarvo/ll.h>

namespace tarvo::ll {

// The record is about to be closed: commands in flight on it give up at once and later ones are
// refused, so that every thread still inside a call leaves before the record goes.
void begin_close(tarvo_ll_dev_t *dev);

// Whether the calling thread's last open failed because another open file holds the camera's
// interface (the system refused the configuration or the claim with EBUSY). The record's bus and
// port then name the camera that is in use.
bool last_open_found_in_use();

}  // namespace tarvo::ll
