// The frame stream parser behind the zr_stream_* functions.
#pragma once

#include <tarvo/stream.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>

#include "stream/frame_list.h"
#include "stream/stream_header.h"

namespace tarvo::stream {

// When and after which losses a frame arrived, as the parser saw it.
struct FrameStamp {
    uint64_t monotonic_ns;      // CLOCK_MONOTONIC when the frame's last byte was fed
    uint64_t realtime_ns;       // CLOCK_REALTIME at the same instant
    uint32_t discarded_before;  // frames discarded since the last reset, when it completed
    uint32_t dropped_before;    // frames dropped from the ready list before it was taken
};

// Takes the oldest ready frame as zr_stream_fetch_frames(s, dst, dst_len, 1, info_out, false)
// does, and its stamp into *stamp_out. Returns 1, or 0 when none is ready.
unsigned fetch_stamped(zr_stream_t *s, uint8_t *dst, int dst_len, zr_stream_frame_info_t *info_out,
                       FrameStamp *stamp_out);

}  // namespace tarvo::stream

// Phases, as the feed drives them: searching (no header bytes), collecting a partial header
// (1 to 35 bytes), in payload (36 bytes, packet not done), packet done (36 bytes, done flag set:
// the next header is due). Skipping is orthogonal: entered when continuity is lost, left only
// at a valid header that starts a frame.
struct zr_stream {
    explicit zr_stream(uint32_t max_frames);
    zr_stream(const zr_stream &) = delete;
    zr_stream &operator=(const zr_stream &) = delete;

    // Feeding thread.
    bool feed(const uint8_t *data, size_t len);
    void add_data(const uint8_t *data, size_t len) { (void)append(data, len); }
    void reset();

    // Any thread.
    unsigned fetch(uint8_t *dst, int dst_len, unsigned count, zr_stream_frame_info_t *info_out,
                   bool peek, tarvo::stream::FrameStamp *stamp_out = nullptr);
    void get_state(zr_stream_state_t *out) const;

    std::atomic<uint32_t> max_frames;

  private:
    size_t search(const uint8_t *data, size_t len);
    size_t complete_header(const uint8_t *data, size_t len);
    size_t rescan_partial(const uint8_t *data, size_t len, size_t kept);
    size_t take_payload(const uint8_t *data, size_t len);
    void adopt_header(const uint8_t *raw);
    void store_partial(const uint8_t *data, size_t len);
    void on_header_found(size_t consumed);
    void check_frame_bound();
    void check_stream_index();
    void remember_packet();
    void end_packet();
    bool append(const uint8_t *data, size_t len);
    void complete(tarvo::stream::FrameNode *node);
    void discard_current_frame();
    void discard_packet_frames();
    void hand_over();
    void clear_header();

    // Ready list, oldest first, and frames_ready (in counters_): guarded by lock_. The feeding
    // thread writes under it only to splice and to drop; frames are freed outside it.
    mutable std::shared_mutex lock_;
    tarvo::stream::FrameList ready_;

    // Everything below up to counters_ belongs to the feeding thread.
    uint8_t hdr_raw_[tarvo::stream::kHeaderSize];  // current header, as received
    tarvo::stream::StreamHeader hdr_;              // decoded once hdr_have_ reaches 36
    bool skipping_ = false;
    bool packet_done_ = false;
    uint8_t hdr_have_ = 0;  // header bytes collected; 36 = complete
    uint32_t payload_rx_ = 0;
    tarvo::stream::PayloadSum sum_;
    uint16_t frames_in_packet_ = 0;  // frames completed within the current packet
    int prev_sidx_ = -1;
    int prev_fridx_ = -1;
    uint16_t step_ = 1;                  // frame-index step from the previous packet to the next
    tarvo::stream::FrameList assembly_;  // frames being filled, oldest first

    // Written by the feeding thread (frames_ready also by fetchers, under lock_), read by any.
    struct Counters {
        std::atomic<uint32_t> frames_done{0};
        std::atomic<uint32_t> frames_queued{0};
        std::atomic<uint32_t> frames_discarded{0};
        std::atomic<uint32_t> frames_dropped{0};
        std::atomic<uint32_t> frames_ready{0};
        std::atomic<uint32_t> bytes_discarded{0};
        std::atomic<uint32_t> start_sec{0};
        std::atomic<uint32_t> start_usec{0};
    } counters_;
};
