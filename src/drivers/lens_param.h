// The process-wide lens parameters: read and replaced as whole records, so a reader on one thread
// never sees half of a load running on another.
#pragma once

#include <tarvo/lens.h>

#include <optional>
#include <string>

namespace tarvo {

// The built-in parameters of the camera's lens, for 320 x 240.
zr_lens_param_t default_lens_params();

zr_lens_param_t lens_params();
void set_lens_params(const zr_lens_param_t &lens);

// Reads a lens parameter file into the process-wide record (see _zr_update_len_param).
bool load_lens_params(const std::string &path);

// `lens` for images of width x height: principal point and focal lengths divided by the whole
// factors img_w / width and img_h / height; nothing (logged with `tag`) when the size is zero or
// less or the factors are not whole.
std::optional<zr_lens_param_t> scale_lens_params(const zr_lens_param_t &lens, int width, int height,
                                                 const char *tag);

}  // namespace tarvo
