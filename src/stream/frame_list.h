// Frame nodes and the intrusive lists that hold them: one allocation per frame, the node's
// bookkeeping followed by the frame's bytes, so that handing frames between lists is a splice.
#pragma once

#include <tarvo/stream.h>

#include <cstddef>
#include <cstdint>

namespace tarvo::stream {

struct FrameNode {
    FrameNode *next;
    FrameNode *prev;
    zr_stream_frame_info_t info;
    uint32_t filled;    // bytes received so far
    uint32_t capacity;  // equal to info.frlen
    // Set when the last byte arrived: host clocks, and the parser's count of discarded frames
    // then (the frames lost before this one that its index may not show).
    uint64_t monotonic_ns = 0;
    uint64_t realtime_ns = 0;
    uint32_t discarded_before = 0;

    uint8_t *bytes() { return reinterpret_cast<uint8_t *>(this + 1); }
    const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(this + 1); }
    bool full() const { return filled == capacity; }

    static size_t alloc_size(uint32_t frlen) { return sizeof(FrameNode) + frlen; }
    // Null when memory is short.
    static FrameNode *allocate(const zr_stream_frame_info_t &info);
    static void release(FrameNode *node);
};

// Doubly linked list of nodes, oldest first. Owns its nodes.
class FrameList {
  public:
    FrameList() = default;
    ~FrameList() { clear(); }
    FrameList(const FrameList &) = delete;
    FrameList &operator=(const FrameList &) = delete;

    bool empty() const { return head_ == nullptr; }
    uint32_t size() const { return size_; }
    FrameNode *front() const { return head_; }
    FrameNode *back() const { return tail_; }

    void push_back(FrameNode *node);
    FrameNode *pop_front();
    FrameNode *pop_back();
    // Moves every node of `other` to the end of this list.
    void splice_back(FrameList &other);
    // Moves the first `count` nodes (at most all) to the end of `dst`; returns how many moved.
    uint32_t move_front_to(uint32_t count, FrameList &dst);
    void clear();

  private:
    FrameNode *head_ = nullptr;
    FrameNode *tail_ = nullptr;
    uint32_t size_ = 0;
};

}  // namespace tarvo::stream
