// The library's wall clock: local calendar time with millisecond resolution, as the camera
// time stamps and capture time-outs use it. Deliberately not named gettimeofday: exporting
// that name would interpose the C library's function for the whole process.
#pragma once

#include <cstdint>
#include <ctime>

namespace tarvo {

struct WallTime {
    int32_t sec;   // seconds since the epoch
    int32_t usec;  // always a multiple of 1000
};

struct LocalStamp {
    std::time_t epoch_seconds;  // the reading, whole seconds since the epoch
    std::tm fields;             // its local calendar fields
    unsigned millisecond;
};

// One reading of the local calendar time with its milliseconds.
LocalStamp read_local_time();

// Seconds since the epoch of one reading, milliseconds times 1000. The seconds are those the
// local calendar fields stand for; they are taken from the reading rather than converted back
// with mktime, which would make the clock jump by an hour in the repeated hour when daylight
// saving ends, and re-reads the time-zone settings on every call (a file check per log line,
// and shared C-library state that threads fight over).
WallTime wall_clock();

// Milliseconds on the wall clock, for time-out arithmetic.
inline int64_t wall_clock_ms() {
    WallTime t = wall_clock();
    return int64_t{t.sec} * 1000 + t.usec / 1000;
}

}  // namespace tarvo
