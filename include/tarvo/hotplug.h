/* Hot-plug notices: cameras arriving on and leaving the bus.
 *
 * An addition of this library: applications that keep running while cameras come and go (a
 * camera unplugged during capture, one that re-enumerates after a reset) learn of it here and
 * can open the camera again once it is back.
 *
 * The library watches the bus on a thread of its own, started by the first callback set and
 * ended when the callback is cleared. Notices use libusb's hot-plug events where the platform
 * delivers them, and otherwise compare listings of the bus taken every 250 ms. */
#ifndef TARVO_HOTPLUG_H
#define TARVO_HOTPLUG_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* Events of a hot-plug callback. */
#define TARVO_HOTPLUG_ARRIVED 1 /* a camera appeared on the bus */
#define TARVO_HOTPLUG_LEFT 2    /* a camera left the bus */

/* Hot-plug callback. `dev` describes the camera as tarvo_dev_list would: location fields
 * filled (bus, port, address, speed, located = 1), no context. The record is read-only and valid
 * only inside the callback; copy it (it is a plain record) to open the camera later. For a
 * camera that left, the location is where it was. `arg` is the pointer given with the callback.
 *
 * Called on the library's hot-plug thread, one notice at a time, in the order the bus changed.
 * The callback may open and close cameras (a camera that arrived can be opened right away), but
 * must not call tarvo_dev_set_hotplug_callback. */
typedef void (*tarvo_hotplug_cb_t)(const tarvo_dev_t *dev, int event, void *arg);

/* Sets the callback (and its argument) for hot-plug notices, replacing any earlier one; null
 * stops the notices. The first callback starts the watching thread; cameras already present
 * are not announced (tarvo_dev_list finds them). Clearing the callback waits for a notice being
 * delivered to end and for the thread to finish: when it returns, the old callback is not
 * running and will not be called again.
 * Returns true on success; false (logged) when the watching thread cannot be set up or when
 * called from inside a hot-plug callback. Thread-safe. */
TARVO_API bool tarvo_dev_set_hotplug_callback(tarvo_hotplug_cb_t cb, void *arg);

TARVO_END_DECLS

#endif /* TARVO_HOTPLUG_H */
