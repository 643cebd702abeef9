// The library's wall clock: local calendar time with millisecond resolution, as the camera
// time stamps and capture time-outs use it. Deliberately not named gettimeofday: exporting
// that name would interpose the C library's function for the whole process.
#pragma once

#include <cstdint>
#include <ctime>

namespace tarvo {

struct WallTime {
    int32_t sec;   // seconds since the epoch, through mktime of the local calendar fields
    int32_t usec;  // always a multiple of 1000
};

struct LocalStamp {
    std::tm fields;  // local calendar fields of the reading
    unsigned millisecond;
};

// One reading of the local calendar time with its milliseconds.
LocalStamp read_local_time();

// Seconds through mktime of the local calendar fields, milliseconds times 1000.
WallTime wall_clock();

// Milliseconds on the wall clock, for time-out arithmetic.
inline int64_t wall_clock_ms() {
    WallTime t = wall_clock();
    return int64_t{t.sec} * 1000 + t.usec / 1000;
}

}  // namespace tarvo
