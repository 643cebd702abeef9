// Where the tool and the Python module keep what the user did not name: the log file in the
// user's state folder and fetched calibration data in the cache folder, never the working folder.
#pragma once

#include <string>

namespace tarvo::files {

// "$XDG_STATE_HOME/tarvo/" (an absolute variable only) or "~/.local/state/tarvo/", created;
// empty when neither can be made.
std::string state_folder();
// "$XDG_CACHE_HOME/tarvo/" or "~/.cache/tarvo/", the same way.
std::string cache_folder();
// Today's log file name, "tarvo_YYYYMMDD.log".
std::string dated_log_name();

}  // namespace tarvo::files
