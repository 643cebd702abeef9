// The driver's filters as properties of tarvo.Camera.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "failure.h"

namespace tarvo_py {

void Device::enable_filter(int id, std::span<const uint8_t> arg) {
    const int r = tarvo_filter_enable(handle(), id, arg.empty() ? nullptr : arg.data(),
                                      static_cast<int>(arg.size()));
    if (r != 1)
        throw Failure("filter " + std::to_string(id) + " cannot be switched on");
}

void Device::disable_filter(int id) {
    if (tarvo_filter_disable(handle(), id) != 1)
        throw Failure("filter " + std::to_string(id) + " cannot be switched off");
}

namespace {

template <typename T>
std::vector<uint8_t> little_endian(T value) {
    std::vector<uint8_t> out(sizeof(T));
    for (size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    return out;
}

void switch_filter(Device &d, int id, bool on, const std::vector<uint8_t> &arg = {}) {
    py::gil_scoped_release release;
    if (on)
        d.enable_filter(id, arg);
    else
        d.disable_filter(id);
}

void set_auto_exposure(Device &d, std::optional<int> per_mille) {
    if (per_mille && (*per_mille < 0 || *per_mille > 1000))
        throw BadArgument("auto_exposure is a limit of 1 to 1000 per mille, or 0 / None for off");
    const bool on = per_mille && *per_mille > 0;
    switch_filter(d, TARVO_FILTER_AUTO_EXPOSURE, on,
                  on ? little_endian(static_cast<uint16_t>(*per_mille)) : std::vector<uint8_t>{});
    d.filters.auto_exposure = on ? per_mille : std::nullopt;
}

void set_min_amplitude(Device &d, std::optional<long long> amplitude) {
    if (amplitude && (*amplitude < 0 || *amplitude > INT32_MAX))
        throw BadArgument("min_amplitude is 0 or more, or None for off");
    switch_filter(
        d, TARVO_FILTER_MIN_AMPLITUDE, amplitude.has_value(),
        amplitude ? little_endian(static_cast<int32_t>(*amplitude)) : std::vector<uint8_t>{});
    d.filters.min_amplitude =
        amplitude ? std::optional<int>(static_cast<int>(*amplitude)) : std::nullopt;
}

template <bool FilterSettings::*Flag, int Id>
void bind_switch(py::class_<Device, std::shared_ptr<Device>> &cls, const char *name) {
    cls.def_property(
        name, [](const Device &d) { return d.filters.*Flag; },
        [](Device &d, bool on) {
            switch_filter(d, Id, on);
            d.filters.*Flag = on;
        });
}

}  // namespace

void bind_filters(py::class_<Device, std::shared_ptr<Device>> &cls) {
    cls.def_property(
        "auto_exposure", [](const Device &d) { return d.filters.auto_exposure; },
        &set_auto_exposure);
    cls.def_property(
        "min_amplitude", [](const Device &d) { return d.filters.min_amplitude; },
        &set_min_amplitude);
    bind_switch<&FilterSettings::undistort, TARVO_FILTER_UNDISTORT>(cls, "undistort");
    bind_switch<&FilterSettings::hdr, TARVO_FILTER_HDR>(cls, "hdr");
}

}  // namespace tarvo_py
