// The camera's bulk endpoint: a producer thread per camera completes the host's pending bulk
// transfers from the stream source while the camera captures.
#include "camera_impl.h"

#include <cerrno>
#include <cstring>
#include <random>

namespace tarvo::vcam {

StreamStep StreamStep::data(std::vector<uint8_t> bytes) {
    return data(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)));
}

StreamStep StreamStep::data(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    StreamStep s;
    s.kind = Kind::data;
    s.bytes = std::move(bytes);
    return s;
}

StreamStep StreamStep::zero_length() {
    return data(std::shared_ptr<const std::vector<uint8_t>>());
}

StreamStep StreamStep::silence(std::chrono::microseconds duration) {
    StreamStep s;
    s.kind = Kind::pause;
    s.pause = duration;
    return s;
}

StreamStep StreamStep::stall_step() {
    StreamStep s;
    s.kind = Kind::stall;
    return s;
}

StreamStep StreamStep::error_step(int error) {
    StreamStep s;
    s.kind = Kind::error;
    s.error = error;
    return s;
}

namespace {

class BytesSource final : public StreamSource {
  public:
    BytesSource(std::vector<uint8_t> bytes, size_t chunk)
        : bytes_(std::move(bytes)), chunk_(chunk) {}
    void on_start(const StreamContext &) override { offset_ = 0; }
    bool next(StreamStep &step) override {
        if (offset_ >= bytes_.size()) {
            return false;
        }
        const size_t left = bytes_.size() - offset_;
        const size_t n = chunk_ ? std::min(chunk_, left) : left;
        const auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(offset_);
        step =
            StreamStep::data(std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(n)));
        offset_ += n;
        return true;
    }

  private:
    const std::vector<uint8_t> bytes_;
    const size_t chunk_;
    size_t offset_ = 0;
};

class ScriptSource final : public StreamSource {
  public:
    ScriptSource(std::vector<StreamStep> steps, bool repeat)
        : steps_(std::move(steps)), repeat_(repeat) {}
    void on_start(const StreamContext &) override { index_ = 0; }
    bool next(StreamStep &step) override {
        if (index_ >= steps_.size()) {
            if (!repeat_ || steps_.empty()) {
                return false;
            }
            index_ = 0;
        }
        step = steps_[index_++];
        return true;
    }

  private:
    const std::vector<StreamStep> steps_;
    const bool repeat_;
    size_t index_ = 0;
};

class FrameSource final : public StreamSource {
  public:
    explicit FrameSource(std::shared_ptr<FrameGenerator> gen) : gen_(std::move(gen)) {}
    void on_start(const StreamContext &ctx) override {
        const uint32_t rate = ctx.frame_rate ? ctx.frame_rate : 30;
        period_ = std::chrono::microseconds(1000000 / rate);
        due_ = std::chrono::steady_clock::now();
        seq_ = 0;
        if (gen_) {
            gen_->on_start(ctx);
        }
    }
    bool next(StreamStep &step) override {
        if (!gen_) {
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now < due_) {
            step = StreamStep::silence(
                std::chrono::duration_cast<std::chrono::microseconds>(due_ - now));
            return true;
        }
        auto frame = gen_->frame(seq_++);
        if (!frame) {
            return false;
        }
        step = StreamStep::data(std::move(frame));
        // A host that falls behind gets the next frame one period from now, not a burst.
        due_ = std::max(due_ + period_, now);
        return true;
    }

  private:
    std::shared_ptr<FrameGenerator> gen_;
    std::chrono::microseconds period_{33333};
    std::chrono::steady_clock::time_point due_;
    uint32_t seq_ = 0;
};

class DamagingSource final : public StreamSource {
  public:
    DamagingSource(std::shared_ptr<StreamSource> inner, uint32_t one_in, uint32_t seed)
        : inner_(std::move(inner)), one_in_(std::max<uint32_t>(one_in, 1)), rng_(seed) {}
    void on_start(const StreamContext &ctx) override { inner_->on_start(ctx); }
    bool next(StreamStep &step) override {
        if (!inner_->next(step))
            return false;
        if (step.kind != StreamStep::Kind::data || !step.bytes || step.bytes->empty())
            return true;
        // The inner source may share its bytes (a cached frame): damage a copy.
        auto damaged = std::make_shared<std::vector<uint8_t>>(*step.bytes);
        for (auto &byte : *damaged) {
            if (rng_() % one_in_ == 0)
                byte = static_cast<uint8_t>(rng_());
        }
        step.bytes = std::move(damaged);
        return true;
    }

  private:
    std::shared_ptr<StreamSource> inner_;
    const uint32_t one_in_;
    std::minstd_rand rng_;
};

}  // namespace

std::shared_ptr<StreamSource> make_damaging_source(std::shared_ptr<StreamSource> inner,
                                                   uint32_t one_in, uint32_t seed) {
    return std::make_shared<DamagingSource>(std::move(inner), one_in, seed);
}

std::shared_ptr<StreamSource> make_bytes_source(std::vector<uint8_t> bytes, size_t chunk) {
    return std::make_shared<BytesSource>(std::move(bytes), chunk);
}

std::shared_ptr<StreamSource> make_script_source(std::vector<StreamStep> steps, bool repeat) {
    return std::make_shared<ScriptSource>(std::move(steps), repeat);
}

std::shared_ptr<StreamSource> make_frame_source(std::shared_ptr<FrameGenerator> generator) {
    return std::make_shared<FrameSource>(std::move(generator));
}

}  // namespace tarvo::vcam

namespace tarvo::vcam::detail {

void CameraImpl::producer() {
    std::unique_lock lk(mu_);
    uint64_t started_gen = 0;
    const StreamSource *started_source = nullptr;
    while (!shut_down_) {
        auto source = active_source_locked();
        if (!streaming_ || !source || source_idle_ || !node_ || node_->pending.empty()) {
            cv_.wait(lk);
            continue;
        }
        const uint64_t gen = stream_gen_;
        if (started_gen != gen || started_source != source.get()) {
            if (started_gen == gen)
                step_.reset();  // a mode change handed the stream to the other source
            started_source = source.get();
            const StreamContext ctx = stream_ctx_;
            lk.unlock();
            source->on_start(ctx);
            lk.lock();
            started_gen = gen;
            continue;
        }
        if (!step_) {
            StreamStep step;
            lk.unlock();
            const bool more = source->next(step);
            lk.lock();
            if (gen != stream_gen_) {
                continue;
            }
            if (!more) {
                source_idle_ = true;
                continue;
            }
            step_ = std::move(step);
            step_offset_ = 0;
            continue;
        }

        Node *node = node_.get();
        switch (step_->kind) {
            case StreamStep::Kind::pause: {
                // Host transfers stay pending meanwhile; libusb's own time-outs cancel them.
                const auto deadline = std::chrono::steady_clock::now() + step_->pause;
                cv_.wait_until(lk, deadline, [&] { return shut_down_ || stream_gen_ != gen; });
                if (stream_gen_ == gen) {
                    step_.reset();
                }
                break;
            }
            case StreamStep::Kind::stall:
            case StreamStep::Kind::error: {
                UrbPtr u = std::move(node->pending.front());
                node->pending.pop_front();
                const bool stall = step_->kind == StreamStep::Kind::stall;
                node->complete(std::move(u), stall ? -EPIPE : -std::abs(step_->error), 0);
                ++(stall ? stats_.stalls : stats_.errors);
                step_.reset();
                break;
            }
            case StreamStep::Kind::data: {
                UrbPtr u = std::move(node->pending.front());
                node->pending.pop_front();
                // Taken off the queue, a cancel now finds nothing and the host waits for the reap,
                // as with a real controller that has the transfer in hand.
                node->producing = u.get();
                auto bytes = step_->bytes;
                const size_t total = bytes ? bytes->size() : 0;
                const size_t offset = step_offset_;
                const size_t n = std::min(total - offset, u->length());
                lk.unlock();
                if (n) {
                    std::memcpy(u->buffer(), bytes->data() + offset, n);
                }
                lk.lock();
                node->producing = nullptr;
                if (u->orphaned) {
                    u.reset();
                } else if (node->gone) {
                    node->complete(std::move(u), -ENODEV, 0);
                } else {
                    node->complete(std::move(u), 0, n);
                    ++stats_.completed;
                    stats_.bytes += n;
                    if (n == 0) {
                        ++stats_.zero_length;
                    }
                }
                if (stream_gen_ == gen && step_) {
                    step_offset_ = offset + n;
                    if (step_offset_ >= total) {
                        step_.reset();
                    }
                }
                break;
            }
        }
    }
}

void CameraImpl::set_stream_source(std::shared_ptr<StreamSource> source) {
    std::lock_guard lk(mu_);
    source_ = std::move(source);
    ++stream_gen_;
    step_.reset();
    source_idle_ = false;
    cv_.notify_all();
}

void CameraImpl::set_upload_source(std::shared_ptr<StreamSource> source) {
    std::lock_guard lk(mu_);
    upload_source_ = std::move(source);
    source_idle_ = false;
    cv_.notify_all();
}

std::shared_ptr<StreamSource> CameraImpl::active_source_locked() const {
    auto mode = params_.find(kParamMode);
    const bool upload =
        mode != params_.end() && !mode->second.empty() && mode->second[0] == kModeDataUpload;
    return upload && upload_source_ ? upload_source_ : source_;
}

void CameraImpl::kick_stream() {
    std::lock_guard lk(mu_);
    source_idle_ = false;
    cv_.notify_all();
}

bool CameraImpl::streaming() const {
    std::lock_guard lk(mu_);
    return streaming_;
}

uint32_t CameraImpl::start_arg() const {
    std::lock_guard lk(mu_);
    return start_arg_;
}

StreamStats CameraImpl::stream_stats() const {
    std::lock_guard lk(mu_);
    return stats_;
}

size_t CameraImpl::pending_bulk() const {
    std::lock_guard lk(mu_);
    return node_ ? node_->pending.size() : 0;
}

}  // namespace tarvo::vcam::detail
