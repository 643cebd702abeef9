#include "api/wall_clock.h"

#include <chrono>

namespace tarvo {

LocalStamp read_local_time() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    LocalStamp stamp{};
    stamp.epoch_seconds = secs;
    localtime_r(&secs, &stamp.fields);
    stamp.millisecond = static_cast<unsigned>(ms % 1000);
    return stamp;
}

WallTime wall_clock() {
    const LocalStamp stamp = read_local_time();
    return WallTime{static_cast<int32_t>(stamp.epoch_seconds),
                    static_cast<int32_t>(stamp.millisecond * 1000)};
}

}  // namespace tarvo
