// Reading data stored in the camera's flash into a file, piece by piece.
#include <tarvo/transfer.h>

#include <tarvo/log.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "files/safe_file.h"
#include "transfer/action_protocol.h"
#include "transfer/dev_call.h"
#include "transfer/progress.h"

namespace {

using namespace tarvo::transfer;

constexpr const char *kTag = "tarvo_bin_data_read";
constexpr const char *kDefaultFile = "calib.bin";
constexpr unsigned kPayloadTimeoutMs = 1000;

// The output file under construction: a read that fails half-way must not leave a truncated
// calibration file behind, nor destroy the one that was there (files::OutputFile).
class PartFile {
  public:
    explicit PartFile(std::string target) : out_(std::move(target)) {}

    bool create() {
        if (out_.open())
            return true;
        zr_log(4, "ERR", "[%s] %s\n", kTag, out_.error().c_str());
        return false;
    }
    bool append(const uint8_t *data, size_t len) {
        if (out_.write(data, len))
            return true;
        zr_log(4, "ERR", "[%s] %s\n", kTag, out_.error().c_str());
        return false;
    }
    bool commit() {
        if (out_.commit())
            return true;
        zr_log(4, "ERR", "[%s] %s\n", kTag, out_.error().c_str());
        return false;
    }

  private:
    tarvo::files::OutputFile out_;
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
