#include "stream/stream_parser.h"

#include <tarvo/log.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "api/wall_clock.h"

using tarvo::stream::FrameList;
using tarvo::stream::FrameNode;
using tarvo::stream::kHeaderSize;
using tarvo::stream::kSync0;
using tarvo::stream::kSync1;

namespace {

constexpr const char *kFeed = "zr_stream_feed_input";
constexpr const char *kSync = "_sync_stream_hdr";
constexpr const char *kDiscard = "_discard_cur_frame";
constexpr const char *kRefresh = "_fr_list_refresh";
constexpr const char *kAddData = "_fr_node_add_data";

// Counters other than frames_ready have one writer, the feeding thread; frames_ready is written
// only under the list lock. A load and a store suffice, no read-modify-write is needed.
void add_to(std::atomic<uint32_t> &counter, uint32_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

uint32_t get(const std::atomic<uint32_t> &counter) {
    return counter.load(std::memory_order_relaxed);
}

// Lays frames end to end into the caller's buffer; the first visited frame describes itself.
class FrameCopier {
  public:
    FrameCopier(uint8_t *dst, int dst_len, zr_stream_frame_info_t *info_out)
        : dst_(dst), space_(dst_len), info_out_(info_out) {}

    void visit(const FrameNode &node) {
        if (first_ && info_out_ != nullptr)
            *info_out_ = node.info;
        first_ = false;
        if (dst_ == nullptr || space_ <= 0)
            return;
        const size_t n = std::min<size_t>(static_cast<size_t>(space_), node.filled);
        std::memcpy(dst_, node.bytes(), n);
        dst_ += n;
        space_ -= static_cast<int>(n);
    }

  private:
    uint8_t *dst_;
    int space_;
    zr_stream_frame_info_t *info_out_;
    bool first_ = true;
};

uint64_t clock_ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

zr_stream::zr_stream(uint32_t max) : max_frames(max) {
    clear_header();
    const tarvo::WallTime now = tarvo::wall_clock();
    counters_.start_sec.store(static_cast<uint32_t>(now.sec), std::memory_order_relaxed);
    counters_.start_usec.store(static_cast<uint32_t>(now.usec), std::memory_order_relaxed);
}

void zr_stream::clear_header() {
    std::memset(hdr_raw_, 0, sizeof hdr_raw_);
    hdr_raw_[2] = 0xFF;  // sidx 0xFFFF: no packet seen
    hdr_raw_[3] = 0xFF;
    hdr_ = tarvo::stream::decode_header(hdr_raw_);
    hdr_have_ = 0;
}

bool zr_stream::feed(const uint8_t *data, size_t len) {
    zr_log(0, "TRC", "[%s] %d raw bytes\n", kFeed, static_cast<int>(len));
    while (len != 0) {
        size_t used;
        if (hdr_have_ == kHeaderSize) {
            if (!skipping_ && !packet_done_) {
                used = take_payload(data, len);
            } else {
                // The packet is over (or is being skipped): the next header is due.
                remember_packet();
                if (packet_done_) {
                    hdr_have_ = 0;
                    packet_done_ = false;
                }
                used = search(data, len);
            }
        } else if (hdr_have_ != 0 && !packet_done_) {
            used = complete_header(data, len);
        } else {
            // Nothing to continue from: any header will do.
            prev_sidx_ = -1;
            prev_fridx_ = -1;
            step_ = 1;
            if (packet_done_) {
                hdr_have_ = 0;
                packet_done_ = false;
            }
            used = search(data, len);
        }
        data += used;
        len -= used;
    }
    return get(counters_.frames_ready) != 0;
}

void zr_stream::remember_packet() {
    prev_sidx_ = hdr_.sidx;
    prev_fridx_ = hdr_.fridx;
    step_ = hdr_.frame_step();
}

void zr_stream::end_packet() {
    packet_done_ = true;
    payload_rx_ = 0;
    sum_.reset();
}

void zr_stream::adopt_header(const uint8_t *raw) {
    if (raw != hdr_raw_)
        std::memcpy(hdr_raw_, raw, kHeaderSize);
    hdr_ = tarvo::stream::decode_header(hdr_raw_);
    hdr_have_ = kHeaderSize;
    packet_done_ = false;
    payload_rx_ = 0;
    sum_.reset();
    frames_in_packet_ = 0;
}

void zr_stream::store_partial(const uint8_t *data, size_t len) {
    std::memcpy(hdr_raw_, data, len);
    hdr_have_ = static_cast<uint8_t>(len);
    zr_log(0, "TRC", "[%s] partial stream hdr found: %d bytes, need more bytes.\n", kSync,
           static_cast<int>(len));
}

size_t zr_stream::search(const uint8_t *data, size_t len) {
    size_t i = 0;
    while (len - i >= 2) {
        const void *hit = std::memchr(data + i, kSync0, len - i - 1);
        if (hit == nullptr)
            break;
        i = static_cast<size_t>(static_cast<const uint8_t *>(hit) - data);
        if (data[i + 1] != kSync1) {
            ++i;
            continue;
        }
        if (len - i < kHeaderSize) {
            add_to(counters_.bytes_discarded, static_cast<uint32_t>(i));
            store_partial(data + i, len - i);
            return len;
        }
        if (tarvo::stream::header_valid(data + i)) {
            adopt_header(data + i);
            zr_log(0, "TRC", "[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n", kSync,
                   hdr_.sidx, static_cast<int>(hdr_.len), static_cast<int>(hdr_.frlen), hdr_.fridx,
                   hdr_.frfmt);
            on_header_found(i + kHeaderSize);
            return i + kHeaderSize;
        }
        ++i;
    }
    if (data[len - 1] == kSync0) {
        // The first byte of a header may end a chunk.
        add_to(counters_.bytes_discarded, static_cast<uint32_t>(len - 1));
        store_partial(data + len - 1, 1);
        return len;
    }
    add_to(counters_.bytes_discarded, static_cast<uint32_t>(len));
    if (skipping_) {
        zr_log(1, "DBG", "[%s] not find hdr: skip %d bytes\n", kSync, static_cast<int>(len));
    } else {
        zr_log(1, "DBG", "[%s] discard frame: stream hdr verify failed\n", kSync);
        skipping_ = true;
        discard_current_frame();
    }
    return len;
}

size_t zr_stream::complete_header(const uint8_t *data, size_t len) {
    // A lone 0xFB kept from the previous chunk proves false at once when 0x98 does not follow.
    if (hdr_have_ == 1 && data[0] != kSync1) {
        hdr_have_ = 0;
        return search(data, len);
    }
    const size_t kept = hdr_have_;
    const size_t take = std::min<size_t>(kHeaderSize - hdr_have_, len);
    std::memcpy(hdr_raw_ + hdr_have_, data, take);
    hdr_have_ = static_cast<uint8_t>(hdr_have_ + take);
    if (hdr_have_ < kHeaderSize) {
        zr_log(0, "TRC", "[%s] partial stream hdr found: %d bytes, need more bytes.\n", kSync,
               hdr_have_);
        return take;
    }
    if (tarvo::stream::header_valid(hdr_raw_)) {
        adopt_header(hdr_raw_);
        zr_log(0, "TRC", "[%s] HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n", kSync,
               hdr_.sidx, static_cast<int>(hdr_.len), static_cast<int>(hdr_.frlen), hdr_.fridx,
               hdr_.frfmt);
        on_header_found(take);
        return take;
    }
    // Not a header after all. The previous packet and frame indices are kept, so that the
    // header found next is still checked for continuity with the last good packet.
    return rescan_partial(data, len, kept);
}

// A header may begin inside the bytes kept from earlier chunks, after the false sync pair that
// made us keep them; look there before searching the new chunk, so that where the transport
// cut the stream does not decide which headers are found.
size_t zr_stream::rescan_partial(const uint8_t *data, size_t len, size_t kept) {
    uint8_t window[2 * kHeaderSize];
    const size_t old_len = kept - 1;  // hdr_raw_[1..kept) came from earlier chunks
    std::memcpy(window, hdr_raw_ + 1, old_len);
    const size_t new_len = std::min(len, kHeaderSize);
    std::memcpy(window + old_len, data, new_len);
    const size_t window_len = old_len + new_len;
    for (size_t q = 0; q < old_len; ++q) {
        if (window[q] != kSync0 || window[q + 1] != kSync1)
            continue;
        if (window_len - q < kHeaderSize) {
            // All of the chunk is in the window (new_len < 36): keep collecting.
            add_to(counters_.bytes_discarded, static_cast<uint32_t>(q + 1));
            store_partial(window + q, window_len - q);
            return len;
        }
        if (tarvo::stream::header_valid(window + q)) {
            add_to(counters_.bytes_discarded, static_cast<uint32_t>(q + 1));
            adopt_header(window + q);
            zr_log(0, "TRC", "[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n", kSync,
                   hdr_.sidx, static_cast<int>(hdr_.len), static_cast<int>(hdr_.frlen), hdr_.fridx,
                   hdr_.frfmt);
            const size_t consumed = q + kHeaderSize - old_len;
            on_header_found(consumed);
            return consumed;
        }
    }
    hdr_have_ = 0;
    return search(data, len);
}

void zr_stream::on_header_found(size_t consumed) {
    if (consumed > kHeaderSize) {
        const size_t skipped = consumed - kHeaderSize;
        zr_log(0, "TRC", "[%s] sync hdr: skip %d bytes\n", kSync, static_cast<int>(skipped));
        add_to(counters_.bytes_discarded, static_cast<uint32_t>(skipped));
    }
    if (skipping_) {
        if (!hdr_.frame_start())
            return;  // the next pass searches through this packet's payload
        skipping_ = false;
        prev_sidx_ = -1;
        check_frame_bound();
        return;
    }
    if (hdr_.frame_start()) {
        check_frame_bound();
        return;
    }
    if (prev_fridx_ != -1 && prev_fridx_ != hdr_.fridx) {
        zr_log(1, "DBG", "[%s] discard frame: frame idx not consist (prev=%d, cur=%d)\n", kSync,
               prev_fridx_, hdr_.fridx);
        discard_current_frame();
        prev_sidx_ = -1;
    }
    check_stream_index();
}

void zr_stream::check_frame_bound() {
    if (!assembly_.empty()) {
        zr_log(1, "DBG", "[%s] discard frame: frame bound met, prev not complete\n", kSync);
        discard_current_frame();
        prev_sidx_ = -1;
    } else if (get(counters_.frames_done) != 0 && prev_fridx_ != -1) {
        const int expected = (prev_fridx_ + step_) & 0xFFFF;
        if (expected != hdr_.fridx) {
            zr_log(1, "DBG", "[%s] missing frame: jumpping frame idx (prev=%d, cur=%d)\n", kSync,
                   expected, hdr_.fridx);
        }
    }
    check_stream_index();
}

void zr_stream::check_stream_index() {
    if (prev_sidx_ == -1 || hdr_.sidx == ((prev_sidx_ + 1) & 0xFFFF) || hdr_.frame_start())
        return;
    zr_log(1, "DBG", "[%s] discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n", kSync,
           prev_sidx_, hdr_.sidx);
    skipping_ = true;
    discard_current_frame();
}

size_t zr_stream::take_payload(const uint8_t *data, size_t len) {
    const size_t n = std::min<size_t>(len, hdr_.len - payload_rx_);
    payload_rx_ += static_cast<uint32_t>(n);
    const bool complete = payload_rx_ == hdr_.len;
    const bool checked = hdr_.has_data_sum();
    if (checked)
        sum_.add(data, n);
    zr_log(0, "TRC", "[%s] Add %d bytes to frlist\n", kFeed, static_cast<int>(n));
    if (!append(data, n)) {
        // The rest of this packet has no frame to go to; it is skipped up to the next frame
        // start. Frames of a checked packet can no longer be verified.
        skipping_ = true;
        if (checked)
            discard_packet_frames();
    }
    if (complete) {
        const bool match = !checked || sum_.value() == hdr_.data_sum;
        if (checked)
            zr_log(0, "TRC", "[%s] check data checksum: sidx=%d\n", kFeed, hdr_.sidx);
        end_packet();
        if (!match) {
            // The packet's bytes are appended before the sum is known, so that every frame
            // they were part of is counted as discarded, also one that came in a single chunk.
            zr_log(1, "DBG", "[%s] discard frame: verify data checksum failed: sidx=%d\n", kFeed,
                   hdr_.sidx);
            discard_packet_frames();
            skipping_ = true;
            return n;
        }
    }
    // Frames of a checked packet wait in the assembly list until the packet's sum matched.
    if ((!checked || complete) && !assembly_.empty() && assembly_.front()->full())
        hand_over();
    return n;
}

bool zr_stream::append(const uint8_t *data, size_t len) {
    if (len == 0)
        return true;
    if (!assembly_.empty() && !assembly_.back()->full()) {
        FrameNode *node = assembly_.back();
        const size_t n = std::min<size_t>(len, node->capacity - node->filled);
        std::memcpy(node->bytes() + node->filled, data, n);
        node->filled += static_cast<uint32_t>(n);
        data += n;
        len -= n;
        if (node->full())
            complete(node);
    }
    while (len != 0) {
        if (hdr_.frlen == 0) {
            zr_log(1, "DBG", "[%s] no frame length: drop %d bytes\n", kAddData,
                   static_cast<int>(len));
            add_to(counters_.bytes_discarded, static_cast<uint32_t>(len));
            return false;
        }
        FrameNode *node = FrameNode::allocate(hdr_.frame_info(frames_in_packet_));
        if (node == nullptr) {
            zr_log(4, "ERR", "[%s] malloc failed: %d bytes\n", kAddData,
                   static_cast<int>(FrameNode::alloc_size(hdr_.frlen)));
            add_to(counters_.bytes_discarded, static_cast<uint32_t>(len));
            return false;
        }
        assembly_.push_back(node);
        const size_t n = std::min<size_t>(len, node->capacity);
        std::memcpy(node->bytes(), data, n);
        node->filled = static_cast<uint32_t>(n);
        data += n;
        len -= n;
        if (node->full())
            complete(node);
    }
    return true;
}

void zr_stream::complete(FrameNode *node) {
    node->monotonic_ns = clock_ns(CLOCK_MONOTONIC);
    node->realtime_ns = clock_ns(CLOCK_REALTIME);
    node->discarded_before = get(counters_.frames_discarded);
    add_to(counters_.frames_done, 1);
    ++frames_in_packet_;
}

void zr_stream::discard_current_frame() {
    FrameNode *node = assembly_.back();
    if (node == nullptr || node->full())
        return;
    add_to(counters_.bytes_discarded, node->filled);
    add_to(counters_.frames_discarded, 1);
    zr_log(1, "DBG", "[%s] discard frame: idx = %d\n", kDiscard, node->info.fridx);
    FrameNode::release(assembly_.pop_back());
}

// Every frame still in the assembly list received bytes of the packet that failed: frames
// completed earlier in that packet are held back until its sum is checked, so they go too.
void zr_stream::discard_packet_frames() {
    while (FrameNode *node = assembly_.pop_back()) {
        add_to(counters_.bytes_discarded, node->filled);
        add_to(counters_.frames_discarded, 1);
        zr_log(1, "DBG", "[%s] discard frame: idx = %d\n", kDiscard, node->info.fridx);
        FrameNode::release(node);
    }
}

void zr_stream::hand_over() {
    FrameList dropped;
    uint32_t excess = 0;
    uint32_t dropped_total = 0;
    {
        std::unique_lock lock(lock_);
        uint32_t moved = assembly_.size();
        ready_.splice_back(assembly_);
        if (!ready_.back()->full()) {
            assembly_.push_back(ready_.pop_back());
            --moved;
        }
        add_to(counters_.frames_queued, moved);
        add_to(counters_.frames_ready, moved);
        const uint32_t ready = get(counters_.frames_ready);
        const uint32_t max = max_frames.load(std::memory_order_relaxed);
        if (ready > max) {
            // Newer frames win: a consumer that falls behind sees the latest ones.
            excess = ready_.move_front_to(ready - max, dropped);
            counters_.frames_ready.store(ready - excess, std::memory_order_relaxed);
            add_to(counters_.frames_dropped, excess);
            dropped_total = get(counters_.frames_dropped);
            uint32_t bytes = 0;
            for (const FrameNode *node = dropped.front(); node != nullptr; node = node->next)
                bytes += node->info.frlen;
            add_to(counters_.bytes_discarded, bytes);
        }
    }
    if (excess == 0)
        return;
    zr_log(1, "DBG", "[%s] discard frames: frame buffer is full (%d/%d)\n", kRefresh,
           static_cast<int>(excess), static_cast<int>(dropped_total));
    for (const FrameNode *node = dropped.front(); node != nullptr; node = node->next)
        zr_log(1, "DBG", "[%s] discard frame: idx = %d\n", kRefresh, node->info.fridx);
}

unsigned zr_stream::fetch(uint8_t *dst, int dst_len, unsigned count,
                          zr_stream_frame_info_t *info_out, bool peek,
                          tarvo::stream::FrameStamp *stamp_out) {
    if (count == 0)
        return 0;
    FrameCopier copier(dst, dst_len, info_out);
    if (peek) {
        std::shared_lock lock(lock_);
        count = std::min<unsigned>(count, ready_.size());
        if (dst == nullptr && info_out == nullptr)
            return count;
        const FrameNode *node = ready_.front();
        for (unsigned i = 0; i < count; ++i, node = node->next)
            copier.visit(*node);
        return count;
    }
    // Taken frames are unlinked under the lock and copied after it, so the feeding thread
    // never waits for a copy.
    FrameList taken;
    {
        std::unique_lock lock(lock_);
        count = ready_.move_front_to(count, taken);
        counters_.frames_ready.store(get(counters_.frames_ready) - count,
                                     std::memory_order_relaxed);
        // Drops take the oldest frames, so every drop so far came before the taken ones.
        if (stamp_out != nullptr && count > 0) {
            const FrameNode *first = taken.front();
            *stamp_out = {first->monotonic_ns, first->realtime_ns, first->discarded_before,
                          get(counters_.frames_dropped)};
        }
    }
    for (const FrameNode *node = taken.front(); node != nullptr; node = node->next)
        copier.visit(*node);
    return count;
}

void zr_stream::get_state(zr_stream_state_t *out) const {
    std::shared_lock lock(lock_);
    *out = zr_stream_state_t{};
    out->frames_done = get(counters_.frames_done);
    out->frames_queued = get(counters_.frames_queued);
    out->frames_discarded = get(counters_.frames_discarded);
    out->frames_dropped = get(counters_.frames_dropped);
    out->frames_ready = get(counters_.frames_ready);
    out->bytes_discarded = get(counters_.bytes_discarded);
    out->start_sec = get(counters_.start_sec);
    out->start_usec = get(counters_.start_usec);
}

void zr_stream::reset() {
    {
        std::unique_lock lock(lock_);
        ready_.clear();
        for (std::atomic<uint32_t> *c :
             {&counters_.frames_done, &counters_.frames_queued, &counters_.frames_discarded,
              &counters_.frames_dropped, &counters_.frames_ready, &counters_.bytes_discarded})
            c->store(0, std::memory_order_relaxed);
        const tarvo::WallTime now = tarvo::wall_clock();
        counters_.start_sec.store(static_cast<uint32_t>(now.sec), std::memory_order_relaxed);
        counters_.start_usec.store(static_cast<uint32_t>(now.usec), std::memory_order_relaxed);
    }
    assembly_.clear();
    clear_header();
    packet_done_ = false;
    payload_rx_ = 0;
    sum_.reset();
    frames_in_packet_ = 0;
    prev_sidx_ = -1;
    prev_fridx_ = -1;
    step_ = 1;
    // skipping_ stays: a parser reset while skipping waits for a frame-start header.
}

unsigned tarvo::stream::fetch_stamped(zr_stream_t *s, uint8_t *dst, int dst_len,
                                      zr_stream_frame_info_t *info_out, FrameStamp *stamp_out) {
    return s->fetch(dst, dst_len, 1, info_out, false, stamp_out);
}

// ---- The exported interface: argument checks around the parser. ----

static_assert(sizeof(zr_stream_cfg_t) == 4);
static_assert(sizeof(zr_stream_state_t) == 40);
static_assert(sizeof(zr_stream_frame_info_t) == 20);

extern "C" {

TARVO_API zr_stream_t *zr_stream_create(const zr_stream_cfg_t *cfg) {
    if (cfg == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return nullptr;
    }
    return new (std::nothrow) zr_stream(cfg->max_frames);
}

TARVO_API void zr_stream_destroy(zr_stream_t *s) {
    delete s;
}

TARVO_API bool zr_stream_set_cfg(zr_stream_t *s, const zr_stream_cfg_t *cfg) {
    if (s == nullptr || cfg == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return false;
    }
    s->max_frames.store(cfg->max_frames, std::memory_order_relaxed);
    return true;
}

TARVO_API bool zr_stream_get_cfg(zr_stream_t *s, zr_stream_cfg_t *cfg_out) {
    if (s == nullptr || cfg_out == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return false;
    }
    cfg_out->max_frames = s->max_frames.load(std::memory_order_relaxed);
    return true;
}

TARVO_API void zr_stream_reset(zr_stream_t *s) {
    if (s == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return;
    }
    s->reset();
}

TARVO_API bool zr_stream_feed_input(zr_stream_t *s, const uint8_t *data, int len) {
    if (s == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return false;
    }
    if (len < 0 || (data == nullptr && len != 0)) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return s->feed(nullptr, 0);
    }
    return s->feed(data, static_cast<size_t>(len));
}

TARVO_API unsigned zr_stream_fetch_frames(zr_stream_t *s, uint8_t *dst, int dst_len, unsigned count,
                                          zr_stream_frame_info_t *info_out, bool peek) {
    if (s == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return 0;
    }
    return s->fetch(dst, dst_len, count, info_out, peek);
}

TARVO_API zr_stream_state_t *zr_stream_get_state(zr_stream_t *s, zr_stream_state_t *state_out) {
    if (s == nullptr || state_out == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return nullptr;
    }
    s->get_state(state_out);
    return state_out;
}

TARVO_API void _fr_node_add_data(zr_stream_t *s, const uint8_t *data, int len) {
    if (s == nullptr || len < 0 || (data == nullptr && len != 0)) {
        zr_log(4, "ERR", "[%s] Wrong params\n", __func__);
        return;
    }
    s->add_data(data, static_cast<size_t>(len));
}

}  // extern "C"
