// Point clouds as PLY files: binary little-endian, x y z in metres as float, then the colour as
// red, green and blue bytes, the form common point-cloud tools read.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace tarvo::tool {

// The whole PLY file of the points of tarvo_frame_get_pcl_xyzd with colour (x, y, z, colour
// word as float): header and vertices.
std::string ply_bytes(std::span<const float> xyzc);

// Writes the points of tarvo_frame_get_pcl_xyzd with colour (x, y, z, colour word as float) to
// `path`, through a temporary file in the same directory that replaces `path` only once it is
// complete. On failure returns false with the reason in `error`.
bool write_ply(const std::string &path, std::span<const float> xyzc, std::string &error);

}  // namespace tarvo::tool
