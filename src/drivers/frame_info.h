// What every driver copies from the stream header into a frame's description.
#pragma once

#include <tarvo/frame.h>
#include <tarvo/stream.h>

#include <cstdint>
#include <cstring>

namespace tarvo {

// Size, format and index from the stream, the geometry given; reserved fields zero.
inline void fill_frame_info(tarvo_frame_info_t &out, const zr_stream_frame_info_t &in,
                            uint32_t width, uint32_t height, uint8_t pixel_size) {
    std::memset(&out, 0, sizeof out);
    out.frame_size = in.frlen;
    out.frame_format = in.frfmt;
    out.frame_idx = in.fridx;
    out.width = width;
    out.height = height;
    out.pixel_size = pixel_size;
}

}  // namespace tarvo
