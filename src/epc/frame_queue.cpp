// A four-slot ring of raw frames; when full, the newest frame replaces the oldest.
#include <tarvo/epc_calc.h>
#include <tarvo/log.h>

#include <cstring>

namespace {

constexpr int kSlots = 4;
constexpr int kSlotBytes = 661248;

struct FrameQueue {
    uint8_t slots[kSlots][kSlotBytes];
    int head = 0;   // oldest frame
    int count = 0;  // frames queued
};

FrameQueue g_queue;

}  // namespace

extern "C" {

int succ(int i) {
    return ((i % kSlots) + kSlots + 1) % kSlots;
}

void cleanQueue_intern(void) {
    g_queue.head = 0;
    g_queue.count = 0;
}

int queueInit(void) {
    cleanQueue_intern();
    return 0;
}

int queueError(void) {
    return 0;
}

int isQueueEmpty(void) {
    return g_queue.count == 0;
}

int enqueue(const uint8_t *image, int len) {
    if (image == nullptr || len < 0)
        return -1;
    if (len > kSlotBytes) {
        zr_log(3, "WRN", "[%s] frame of %d bytes cut to %d\n", __func__, len, kSlotBytes);
        len = kSlotBytes;
    }
    int result = 1;
    if (g_queue.count == kSlots) {
        g_queue.head = succ(g_queue.head);
        --g_queue.count;
        result = 0;
    }
    const int slot = (g_queue.head + g_queue.count) % kSlots;
    std::memcpy(g_queue.slots[slot], image, static_cast<size_t>(len));
    ++g_queue.count;
    return result;
}

uint8_t *dequeue(uint8_t **out) {
    uint8_t *frame = nullptr;
    if (g_queue.count > 0) {
        frame = g_queue.slots[g_queue.head];
        g_queue.head = succ(g_queue.head);
        --g_queue.count;
    }
    if (out != nullptr)
        *out = frame;
    return frame;
}

}  // extern "C"
