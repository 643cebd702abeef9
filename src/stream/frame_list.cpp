#include "stream/frame_list.h"

#include <cstdlib>
#include <new>

namespace tarvo::stream {

FrameNode *FrameNode::allocate(const zr_stream_frame_info_t &info) {
    void *mem = std::malloc(alloc_size(info.frlen));
    if (mem == nullptr)
        return nullptr;
    return new (mem) FrameNode{nullptr, nullptr, info, 0, info.frlen};
}

void FrameNode::release(FrameNode *node) {
    std::free(node);
}

void FrameList::push_back(FrameNode *node) {
    node->next = nullptr;
    node->prev = tail_;
    if (tail_ != nullptr)
        tail_->next = node;
    else
        head_ = node;
    tail_ = node;
    ++size_;
}

FrameNode *FrameList::pop_front() {
    FrameNode *node = head_;
    if (node == nullptr)
        return nullptr;
    head_ = node->next;
    if (head_ != nullptr)
        head_->prev = nullptr;
    else
        tail_ = nullptr;
    node->next = nullptr;
    --size_;
    return node;
}

FrameNode *FrameList::pop_back() {
    FrameNode *node = tail_;
    if (node == nullptr)
        return nullptr;
    tail_ = node->prev;
    if (tail_ != nullptr)
        tail_->next = nullptr;
    else
        head_ = nullptr;
    node->prev = nullptr;
    --size_;
    return node;
}

void FrameList::splice_back(FrameList &other) {
    if (other.head_ == nullptr)
        return;
    if (tail_ != nullptr) {
        tail_->next = other.head_;
        other.head_->prev = tail_;
    } else {
        head_ = other.head_;
    }
    tail_ = other.tail_;
    size_ += other.size_;
    other.head_ = other.tail_ = nullptr;
    other.size_ = 0;
}

uint32_t FrameList::move_front_to(uint32_t count, FrameList &dst) {
    uint32_t moved = 0;
    while (moved < count && head_ != nullptr) {
        dst.push_back(pop_front());
        ++moved;
    }
    return moved;
}

void FrameList::clear() {
    while (FrameNode *node = pop_front())
        FrameNode::release(node);
}

}  // namespace tarvo::stream
