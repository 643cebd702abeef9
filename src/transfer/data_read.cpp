// Reading data stored in the camera's flash into a file, piece by piece.
#include <tarvo/transfer.h>

#include <tarvo/log.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "transfer/action_protocol.h"
#include "transfer/dev_call.h"
#include "transfer/progress.h"

namespace {

using namespace tarvo::transfer;

constexpr const char *kTag = "tarvo_bin_data_read";
constexpr const char *kDefaultFile = "calib.bin";
constexpr unsigned kPayloadTimeoutMs = 1000;
constexpr int kTempNameAttempts = 100;

// The output file under construction. The data goes to a temporary file beside the target, which
// takes the target's name only once complete: a read that fails half-way must not leave a
// truncated calibration file behind, nor destroy the one that was there.
class PartFile {
  public:
    explicit PartFile(std::string target) : target_(std::move(target)) {}
    ~PartFile() { discard(); }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    bool create() {
        static std::atomic<unsigned> serial{0};
        for (int i = 0; i < kTempNameAttempts; ++i) {
            char suffix[48];
            std::snprintf(suffix, sizeof suffix, ".%ld-%u.part", static_cast<long>(getpid()),
                          serial++);
            temp_ = target_ + suffix;
            // 0666 under the process's umask, like the target would get from fopen.
            fd_ = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0)
                return true;
            if (errno != EEXIST)
                break;
        }
        zr_log(4, "ERR", "[%s] cannot create %s: %s\n", kTag, temp_.c_str(), std::strerror(errno));
        temp_.clear();
        return false;
    }

    bool append(const uint8_t *data, size_t len) {
        while (len > 0) {
            const ssize_t n = write(fd_, data, len);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                zr_log(4, "ERR", "[%s] write to %s failed: %s\n", kTag, temp_.c_str(),
                       std::strerror(errno));
                return false;
            }
            data += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    }

    // Gives the finished data the target's name.
    bool commit() {
        const int fd = fd_;
        fd_ = -1;
        // On the disk before it takes the name, so a power cut cannot leave an empty target.
        const bool synced = fsync(fd) == 0;
        if (close(fd) != 0 || !synced) {
            zr_log(4, "ERR", "[%s] write to %s failed: %s\n", kTag, temp_.c_str(),
                   std::strerror(errno));
            return false;
        }
        if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
            zr_log(4, "ERR", "[%s] cannot replace %s: %s\n", kTag, target_.c_str(),
                   std::strerror(errno));
            return false;
        }
        temp_.clear();
        return true;
    }

  private:
    void discard() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        if (!temp_.empty())
            unlink(temp_.c_str());
        temp_.clear();
    }

    std::string target_;
    std::string temp_;
    int fd_ = -1;
};

int bin_data_read(tarvo_ll_dev_t *dev, uint8_t type, const char *path) {
    if (dev == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params: dev=%p\n", kTag, static_cast<void *>(dev));
        return -1;
    }
    zr_log(1, "DBG", "[%s] Get info\n", kTag);
    auto wire = encode_info_request(type);
    // Without an answer there is no size; an empty file would pass for stored data.
    if (al_get_data_info(dev, kActionInfo, wire.data(), AL_DATA_INFO_SIZE) != 1) {
        zr_log(4, "ERR", "[%s] Get info failed\n", kTag);
        return -1;
    }
    const DataInfo info = decode_info(wire);
    zr_log(2, "INF", "[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", kTag, info.version,
           static_cast<unsigned short>(info.type), static_cast<unsigned>(info.addr),
           static_cast<int>(info.size));
    if (info.size == AL_DATA_SIZE_NONE) {
        zr_log(4, "ERR", "[%s] No valid data to read, please check\n", kTag);
        return -1;
    }
    if (info.size > AL_DATA_MAX_IMAGE_SIZE) {
        zr_log(4, "ERR", "[%s] Stored size %u is beyond %u bytes, not reading it\n", kTag,
               static_cast<unsigned>(info.size), AL_DATA_MAX_IMAGE_SIZE);
        return -1;
    }

    PartFile out(path != nullptr ? path : kDefaultFile);
    if (!out.create()) {
        zr_log(4, "ERR", "[%s] File open failed\n", kTag);
        return -1;
    }
    std::array<uint8_t, AL_DATA_PIECE_SIZE> piece{};
    uint32_t done = 0;
    while (done < info.size) {
        const auto n =
            static_cast<uint16_t>(std::min<uint32_t>(AL_DATA_PIECE_SIZE, info.size - done));
        if (al_get_data_payload(dev, piece.data(), n) != 1) {
            zr_log(4, "ERR", "[%s] Data read failed at byte %u of %u\n", kTag,
                   static_cast<unsigned>(done), static_cast<unsigned>(info.size));
            return -1;
        }
        if (!out.append(piece.data(), n))
            return -1;
        done += n;
        report_progress(done, info.size);
    }
    return out.commit() ? 1 : -1;
}

}  // namespace

extern "C" {

TARVO_API int tarvo_bin_data_read(tarvo_ll_dev_t *dev, uint8_t type, const char *path) {
    return bin_data_read(dev, type, path);
}

TARVO_API int tarvo_data_upload(tarvo_dev_t *dev, uint8_t type, const char *path) {
    return on_device_ll(dev, __func__,
                        [&](tarvo_ll_dev_t *ll) { return tarvo_bin_data_read(ll, type, path); });
}

TARVO_API int al_get_data_payload(tarvo_ll_dev_t *dev, uint8_t *buf, uint16_t length) {
    static const char *const kPayTag = "al_get_data_payload";
    if (buf == nullptr || length == 0 || length > AL_DATA_PIECE_SIZE) {
        zr_log(4, "ERR", "[%s] Wrong params: buf=%p, length=%u\n", kPayTag,
               static_cast<void *>(buf), length);
        return 0;
    }
    // The buffer still holds the previous piece; the request's reserved bytes go out as 0.
    std::memset(buf, 0, kPayloadRequestSize);
    put_le16(buf + 4, length);
    if (!action_phase(dev, kHostToDevice, kActionPayload, buf,
                      static_cast<int>(kPayloadRequestSize), kPayloadTimeoutMs)) {
        zr_log(4, "ERR", "[%s] write phase failed\n", kPayTag);
        return 0;
    }
    if (!action_phase(dev, kDeviceToHost, kActionPayload, buf, length, kPayloadTimeoutMs)) {
        zr_log(4, "ERR", "[%s] read phase failed\n", kPayTag);
        return 0;
    }
    return 1;
}

}  // extern "C"
