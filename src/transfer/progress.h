// The process's progress callback of image transfers; see tarvo_transfer_set_progress_cb.
#pragma once

#include <cstdint>

namespace tarvo::transfer {

// Calls the registered progress callback, if any, on the calling thread.
void report_progress(uint32_t done, uint32_t total);

}  // namespace tarvo::transfer
