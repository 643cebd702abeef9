// Progress reports of image transfers, for applications that show a progress bar.
#include "transfer/progress.h"

#include <tarvo/transfer.h>

#include <mutex>

namespace tarvo::transfer {
namespace {

struct Registration {
    tarvo_transfer_progress_cb_t cb = nullptr;
    void *user = nullptr;
};

std::mutex g_mutex;
Registration g_registration;  // guarded by g_mutex

}  // namespace

void report_progress(uint32_t done, uint32_t total) {
    Registration r;
    {
        std::lock_guard lock(g_mutex);
        r = g_registration;
    }
    // Outside the lock: the callback may register another one.
    if (r.cb != nullptr)
        r.cb(done, total, r.user);
}

}  // namespace tarvo::transfer

extern "C" TARVO_API void tarvo_transfer_set_progress_cb(tarvo_transfer_progress_cb_t cb,
                                                         void *user) {
    std::lock_guard lock(tarvo::transfer::g_mutex);
    tarvo::transfer::g_registration = {cb, user};
}
