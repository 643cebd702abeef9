// A camera that leaves the bus while a command captures from it (pulled cable, reset, hub power)
// and comes back on the same port: tarvo capture and tarvo view wait for it and carry on.
#pragma once

#include <tarvo/tarvo.h>

#include <CLI/CLI.hpp>

#include <climits>
#include <functional>
#include <string>

namespace tarvo::tool {

// True when no camera sits at the handle's place any more: unplugged, or back under a new
// address after re-enumerating. Takes up to a second while the camera is still there.
bool camera_left(const tarvo_dev_t *dev);

// The --reconnect-wait value that waits until the command is stopped.
inline constexpr unsigned kWaitUntilStopped = UINT_MAX;

// Adds --reconnect-wait SECONDS to `cmd`; `default_text` says what the default does.
void add_reconnect_option(CLI::App *cmd, unsigned &seconds, const std::string &default_text);

struct ReconnectWait {
    unsigned seconds = 30;  // how long the camera may take to return; kWaitUntilStopped: no limit
    std::function<bool()> stopping;  // polled while waiting: true gives up at once; null: never
};

// After the camera left: closes the handle, waits for a camera at its port, opens it and calls
// `restart` to start capturing again (and to set it up as it was). "tarvo: camera left; ..." and
// "tarvo: camera back, capture resumed" go to standard error. False when the camera did not
// return in time, the wait was stopped or it would not open and restart; the handle is closed
// then.
bool resume_after_unplug(tarvo_dev_t *dev, const ReconnectWait &wait,
                         const std::function<bool(tarvo_dev_t *)> &restart);

}  // namespace tarvo::tool
