#include "frame_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "failure.h"

namespace tarvo_py {

namespace {

using Decode = int (*)(tarvo_dev_t *, float *, int, const uint8_t *, uint32_t,
                       tarvo_frame_info_t *);

// The pixels that give a point (see tarvo/pcl.h).
bool gives_point(float d) {
    return d > 0.0f && d < 60.0f;
}

bool same_lens(const std::optional<zr_lens_param_t> &a, const std::optional<zr_lens_param_t> &b) {
    if (!a || !b)
        return !a && !b;
    return std::memcmp(&*a, &*b, sizeof(zr_lens_param_t)) == 0;
}

// The result, decoding it first when the frame has none; a kept error is raised again.
template <typename T, typename DecodeFn>
const std::shared_ptr<const T> &kept_or_decoded(Kept<T> &kept, DecodeFn decode) {
    if (!kept.value) {
        if (!kept.error.empty())
            throw Failure(kept.error);
        kept.value = decode();
    }
    return kept.value;
}

// Decodes the result unless it is there, keeping the reason when it cannot be decoded.
template <typename Fn>
void keep_failure(std::string &error, Fn fn) {
    try {
        fn();
    } catch (const Failure &e) {
        error = e.what();
    } catch (const std::bad_alloc &) {
        error = "there was no memory to decode the frame when its camera closed";
    }
}

}  // namespace

size_t pixels_of(const Frame &f) {
    return size_t{f.raw.info.width} * f.raw.info.height;
}

std::shared_ptr<Frame> FrameDecoder::adopt(RawFrame raw) {
    auto frame = std::make_shared<Frame>();
    frame->decoder = shared_from_this();
    frame->raw = std::move(raw);
    std::lock_guard lock(mutex_);
    if (device_ == nullptr) {
        // Fetched while the camera closed: nothing can decode it any more.
        frame->distance.error = frame->gray.error = frame->cloud.error =
            "the camera closed before this frame could be decoded";
        return frame;
    }
    prune();
    frames_.push_back(frame);
    return frame;
}

void FrameDecoder::prune() {
    if (frames_.size() < prune_at_)
        return;
    std::erase_if(frames_, [](const std::weak_ptr<Frame> &w) { return w.expired(); });
    prune_at_ = std::max<size_t>(64, 2 * frames_.size());
}

tarvo_dev_t *FrameDecoder::open_handle(const Frame &f, const char *what) {
    const size_t n = pixels_of(f);
    if (n == 0 || n > static_cast<size_t>(INT32_MAX))
        throw Failure(std::string("the frame has no image to decode into ") + what);
    if (device_ == nullptr || !device_->is_open()) {
        throw Failure(std::string("the frame's camera closed before its ") + what +
                      " were decoded");
    }
    return device_->handle();
}

namespace {

// Decodes into a new image through the camera's driver.
std::shared_ptr<const FloatImage> decode_image(tarvo_dev_t *dev, const Frame &f, Decode decode,
                                               const char *what) {
    const size_t n = pixels_of(f);
    auto image = std::make_shared<FloatImage>(n);
    tarvo_frame_info_t info = f.raw.info;
    const int got =
        decode(dev, image->data(), static_cast<int>(n), f.raw.data.get(), info.frame_size, &info);
    if (got != static_cast<int>(n)) {
        throw Failure("a frame of format " + std::to_string(info.frame_format) +
                      " cannot be decoded into " + what);
    }
    return image;
}

}  // namespace

std::optional<zr_lens_param_t> FrameDecoder::current_lens(const Frame &f) {
    try {
        return device_->lens(static_cast<int>(f.raw.info.width),
                             static_cast<int>(f.raw.info.height));
    } catch (const Failure &) {
        return std::nullopt;  // a driver without lens parameters gives no points either
    }
}

std::shared_ptr<const FloatImage> FrameDecoder::decode_distance(Frame &f) {
    tarvo_dev_t *dev = open_handle(f, "distances");
    return decode_image(dev, f, &tarvo_frame_get_distance, "distances");
}

const std::shared_ptr<const FloatImage> &FrameDecoder::distance_locked(Frame &f) {
    return kept_or_decoded(f.distance, [&] {
        auto image = decode_distance(f);
        // Undistortion changes both the image and the lens its points need.
        f.distance_lens = current_lens(f);
        return image;
    });
}

const std::shared_ptr<const FloatImage> &FrameDecoder::gray_locked(Frame &f) {
    return kept_or_decoded(f.gray, [&] {
        return decode_image(open_handle(f, "gray values"), f, &tarvo_frame_get_gray, "gray values");
    });
}

const std::shared_ptr<const CloudData> &FrameDecoder::cloud_locked(Frame &f) {
    return kept_or_decoded(f.cloud, [&] {
        tarvo_dev_t *dev = open_handle(f, "points");
        auto cloud = std::make_shared<CloudData>();
        // The kept distances, unless the driver's lens changed since (undistortion switched):
        // then the points come from distances decoded for the lens in use now.
        const bool fresh = f.distance.value == nullptr;
        cloud->distance = fresh || same_lens(f.distance_lens, current_lens(f)) ? distance_locked(f)
                                                                               : decode_distance(f);
        const FloatImage &d = *cloud->distance;
        const size_t n = d.size();
        cloud->points.resize(n * kCloudStride);
        const int count = tarvo_frame_get_pcl_xyzd(
            dev, cloud->points.data(), static_cast<int>(cloud->points.size()), d.data(),
            static_cast<int>(n), static_cast<int>(f.raw.info.width),
            static_cast<int>(f.raw.info.height), true, nullptr);
        if (count <= 0 && std::any_of(d.begin(), d.end(), gives_point))
            throw Failure("the camera's driver gives no point cloud");
        cloud->count = count > 0 ? static_cast<size_t>(count) : 0;
        cloud->points.resize(cloud->count * kCloudStride);
        cloud->points.shrink_to_fit();
        return std::shared_ptr<const CloudData>(std::move(cloud));
    });
}

std::shared_ptr<const FloatImage> FrameDecoder::distance(Frame &f) {
    std::lock_guard lock(mutex_);
    return distance_locked(f);
}

std::shared_ptr<const FloatImage> FrameDecoder::gray(Frame &f) {
    std::lock_guard lock(mutex_);
    return gray_locked(f);
}

std::shared_ptr<const CloudData> FrameDecoder::cloud(Frame &f) {
    std::lock_guard lock(mutex_);
    return cloud_locked(f);
}

void FrameDecoder::decode_all(Frame &f) {
    keep_failure(f.distance.error, [&] { distance_locked(f); });
    keep_failure(f.gray.error, [&] { gray_locked(f); });
    keep_failure(f.cloud.error, [&] { cloud_locked(f); });
}

void FrameDecoder::retire(bool decode_frames) {
    std::lock_guard lock(mutex_);
    if (device_ == nullptr)
        return;
    if (decode_frames && device_->is_open()) {
        // Automatic exposure would send the closing camera a new integration time from each
        // frame decoded here, waiting on a camera that may have stopped answering; switching
        // it off only flips the driver's flag.
        (void)tarvo_filter_disable(device_->handle(), TARVO_FILTER_AUTO_EXPOSURE);
        for (const std::weak_ptr<Frame> &w : frames_) {
            if (std::shared_ptr<Frame> f = w.lock())
                decode_all(*f);
        }
    }
    frames_.clear();
    device_ = nullptr;
}

}  // namespace tarvo_py
