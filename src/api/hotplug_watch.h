// Internals of the hot-plug watcher that tests reach.
#pragma once

namespace tarvo {

// Whether the next watching thread uses libusb's hot-plug events (the default) where the
// platform has them, or polls the bus as it does where it has none.
void hotplug_use_events(bool use);

}  // namespace tarvo
