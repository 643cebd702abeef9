// Joining the path prefix with file names. The prefix keeps the form the application gave
// (default ".\"), so every join goes through here: on this platform "\" is a directory
// separator too, and the default prefix must mean the current directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

// `path` with every "\" turned into "/".
std::string to_posix_separators(std::string_view path);

// prefix + name with exactly one "/" between them (none added after an empty prefix).
std::string path_join(std::string_view prefix, std::string_view name);

// Sets the prefix back to its start-up value ".\\".
void reset_path_prefix();

// The library's prefix joined with `name`.
std::string prefixed_path(std::string_view name);

// Where the EPC pipeline reads the bound camera's calibration files: under the path prefix,
// unless an offline handle is bound, whose own folder (or none: nullopt) counts instead.
// Set by the binding, on the opening thread, before the pipeline reads any file.
void set_calibration_folder(std::optional<std::string> folder);
void use_prefix_for_calibration();
// `name` in that place; nullopt when the bound offline handle has no calibration folder.
std::optional<std::string> calibration_path(std::string_view name);

}  // namespace tarvo
