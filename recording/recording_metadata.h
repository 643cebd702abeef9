// The metadata of a recording that describes its camera's state, for whoever reprocesses or
// replays its raw frames: the parameter values the camera answered with ("tarvo.parameters")
// and the image sensor's register file ("tarvo.registers").
//
// "tarvo.registers" holds one entry per register of the image sensor (register target 1),
// from register 0 on: the key is the register's address, the value what it held when the
// recording began, both as "0x" and two lower-case hex digits (wider values with more digits),
// e.g. "0x92" -> "0x30". "tarvo.parameters" holds one entry per parameter: the key is its number
// in decimal, the value its bytes in wire order as hex ("12" -> "1e000000").
//
// Defensive: every key and value is checked; a malformed entry gives one error line naming it.
// Depends on the MCAP reader only, so the virtual camera links it too.
//
// Thread context: pure functions.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mcap_reader.h"

namespace tarvo::recording {

inline constexpr const char *kRegistersMetadata = "tarvo.registers";
inline constexpr const char *kParametersMetadata = "tarvo.parameters";
// The host-side decode settings the recorder ran with: "min_amplitude" (decimal; 0 off),
// "hdr" and "undistort" ("on" or "off"); absent keys were the driver's defaults.
inline constexpr const char *kDecodingMetadata = "tarvo.decoding";
inline constexpr size_t kSensorRegisterCount = 256;  // the image sensor's register file
inline constexpr size_t kMaxParameterBytes = 18;     // a parameter's value

// The entries of "tarvo.registers" for `values` (registers 0, 1, ... in order).
std::vector<std::pair<std::string, std::string>> register_metadata(
    std::span<const uint32_t> values);

// The register file of `contents`: out[i] = register i. True with `out` empty when the
// recording has none; false with `error` when an entry is malformed, an address is out of
// range or a register between 0 and the highest recorded one is missing.
bool read_sensor_registers(const McapContents &contents, std::vector<uint32_t> &out,
                           std::string &error);

// The parameter values of `contents` by parameter number (empty when it has none); false with
// `error` when an entry is malformed.
bool read_parameters(const McapContents &contents, std::map<uint8_t, std::vector<uint8_t>> &out,
                     std::string &error);

}  // namespace tarvo::recording
