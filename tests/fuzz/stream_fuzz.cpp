// The frame stream parser on arbitrary camera bytes, fed in chunks of varying size, with frames
// taken into buffers of exactly the frame's size (or shorter) while the stream goes on.
//
// Each frame taken is then described and decoded by the sensor drivers.
//
// Input: byte 0 ready-list bound, byte 1 mode bits, byte 2 chunking seed, then the stream.
// Mode bit 0 repairs every header candidate (sync 0xFB 0x98) with small lengths and a correct
// checksum, so the fuzzer reaches assembly and continuity instead of dying at the checksum.
#include <tarvo/drv.h>
#include <tarvo/log.h>
#include <tarvo/stream.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "stream/stream_header.h"

namespace {

using tarvo::stream::kHeaderSize;

constexpr uint64_t kMaxDecodedPixels = 328 * 252 * 4;

void repair_headers(std::vector<uint8_t> &bytes) {
    for (size_t i = 0; i + kHeaderSize <= bytes.size(); ++i) {
        uint8_t *h = &bytes[i];
        if (h[0] != tarvo::stream::kSync0 || h[1] != tarvo::stream::kSync1)
            continue;
        h[5] &= 0x0F;  // payload below 4 KiB
        h[6] = h[7] = 0;
        h[9] &= 0x0F;  // frame below 4 KiB
        h[10] = h[11] = 0;
        h[15] &= 0x03;  // frame format within its 10 bits
        const uint16_t sum = tarvo::stream::fletcher16(h, 34);
        h[34] = static_cast<uint8_t>(sum);
        h[35] = static_cast<uint8_t>(sum >> 8);
    }
}

// What the sensor drivers make of a frame whose header fields came from the camera: its
// description, and for the driver that decodes without a processing pipeline the images.
void describe_and_decode(const zr_stream_frame_info_t &in, const uint8_t *frame, size_t size) {
    tarvo_drv_t drv{};
    for (const tarvo_drv_ops_t *ops : {&g_tarvo_driver_op_epc, &g_tarvo_driver_op_ti}) {
        tarvo_frame_info_t info{};
        if (!ops->frame_get_info(&drv, &info, &in) || ops != &g_tarvo_driver_op_ti)
            continue;
        const uint64_t pixels = uint64_t{info.width} * info.height;
        if (pixels == 0 || pixels > kMaxDecodedPixels)
            continue;
        std::unique_ptr<float[]> image(new float[pixels]);
        for (int kind : {1, 2}) {
            (void)ops->frame_decode(&drv, image.get(), static_cast<uint32_t>(pixels * 4), kind,
                                    reinterpret_cast<const uint16_t *>(frame),
                                    static_cast<uint32_t>(size), &info);
        }
    }
}

// Takes one frame the way the capture engine does: peek for the length, then take it into a
// buffer of that size (or a shorter one, which must truncate).
void take_one(zr_stream_t *s, bool short_buffer) {
    zr_stream_frame_info_t info{};
    if (zr_stream_fetch_frames(s, nullptr, 0, 1, &info, true) != 1)
        return;
    const size_t size = short_buffer ? info.frlen / 2 : info.frlen;
    // An exact-size buffer; the aligned allocation of operator new suits the 16-bit view.
    std::unique_ptr<uint8_t[]> dst(new uint8_t[std::max<size_t>(size, 1)]);
    if (zr_stream_fetch_frames(s, dst.get(), static_cast<int>(size), 1, &info, false) != 1)
        std::abort();
    describe_and_decode(info, dst.get(), size);
}

void check_state(zr_stream_t *s, uint32_t max_frames) {
    zr_stream_state_t st{};
    if (zr_stream_get_state(s, &st) != &st)
        std::abort();
    if (st.frames_ready > max_frames || st.frames_queued > st.frames_done)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    const uint32_t max_frames = 1 + data[0] % 8;
    const uint8_t mode = data[1];
    uint32_t seed = data[2] | 1u;
    std::vector<uint8_t> stream(data + 3, data + size);
    if (mode & 1)
        repair_headers(stream);

    zr_stream_cfg_t cfg{max_frames};
    zr_stream_t *s = zr_stream_create(&cfg);
    size_t at = 0;
    while (at < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(stream.size() - at, 1 + (seed >> 16) % 700);
        // Every chunk in its own exact-size buffer, as a bulk transfer would hand it over.
        std::unique_ptr<uint8_t[]> chunk(new uint8_t[n]);
        std::copy_n(stream.data() + at, n, chunk.get());
        const bool ready = zr_stream_feed_input(s, chunk.get(), static_cast<int>(n));
        at += n;
        if (ready && (seed & 0x300) != 0)
            take_one(s, (mode & 2) != 0 && (seed & 0x400) != 0);
        check_state(s, max_frames);
    }
    if (mode & 4) {
        zr_stream_reset(s);
        check_state(s, max_frames);
    }
    while (zr_stream_fetch_frames(s, nullptr, 0, 1, nullptr, false) == 1) {
    }
    zr_stream_destroy(s);
    return 0;
}
