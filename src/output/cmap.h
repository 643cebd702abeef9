// The library's default colour map (millimetres), shared by the float-image colouring and the
// coloured point cloud, and the conversion of metres to the map's millimetres.
#pragma once

#include <tarvo/cmap.h>

#include <cstdint>
#include <mutex>
#include <optional>

namespace tarvo {

// Created by tarvo_init (again when called again), released by tarvo_uninit.
void create_default_cmap();
void release_default_cmap();

// The default map's record and the lock every use of it holds: the range never changes and the
// table is never released in the middle of an image.
std::mutex &default_cmap_lock();
zr_cmap_t &default_cmap_locked();  // only with default_cmap_lock() held

// Runs f(const zr_cmap_t &) on the default map, under its lock.
template <typename F>
auto with_default_cmap(F &&f) {
    const std::lock_guard lock(default_cmap_lock());
    return f(static_cast<const zr_cmap_t &>(default_cmap_locked()));
}

// Sets the default map's range as zr_cmap_set_range does, then runs f on it, as one step.
template <typename F>
auto with_default_cmap_range(int a, int b, F &&f) {
    const std::lock_guard lock(default_cmap_lock());
    zr_cmap_set_range(&default_cmap_locked(), a, b);
    return f(static_cast<const zr_cmap_t &>(default_cmap_locked()));
}

// trunc(metres x 1000) in single precision, or nothing for a value that is not a number or does
// not fit an int.
std::optional<int32_t> to_millimetres(float metres);

// Colour of a distance in metres on a map in millimetres; black for values with no millimetre
// count.
inline uint32_t metres_color(const zr_cmap_t &map, float metres) {
    const std::optional<int32_t> mm = to_millimetres(metres);
    return mm ? zr_cmap_get_color(&map, *mm) : 0u;
}

}  // namespace tarvo
