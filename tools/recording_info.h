// tarvo info FILE.mcap: what a recording holds.
#pragma once

#include <string>

namespace tarvo::tool {

// Prints the recording's camera, channels, frame count, duration, gaps and attachments (one
// JSON object with `json`); kDone, or kFailed after one line on standard error.
int show_recording(const std::string &path, bool json);

}  // namespace tarvo::tool
