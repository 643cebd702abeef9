// Writing an image into the camera's flash: announce it, let the camera erase, send the chunks,
// then give the camera time to store the image (or restart on new firmware).
#include <tarvo/transfer.h>

#include <tarvo/log.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "transfer/action_protocol.h"
#include "transfer/dev_call.h"
#include "transfer/image_file.h"
#include "transfer/progress.h"

namespace {

using namespace tarvo::transfer;
using std::chrono::milliseconds;

constexpr const char *kTag = "tarvo_bin_data_write";
constexpr milliseconds kStoreWait{7000};
constexpr milliseconds kRestartWait{20000};
constexpr unsigned kResetTarget = 0;

int upgrade_failed() {
    zr_log(4, "ERR", "[%s] data upgrade failed!\n", kTag);
    return -1;
}

// Reads the whole image file into `image`; false after the lines that say why.
bool load_image(const char *file_name, std::vector<uint8_t> &image) {
    FilePtr f = open_image(file_name, kTag);
    if (!f) {
        zr_log(2, "INF", "[%s] File open failed\n", kTag);
        return false;
    }
    const Sizing sized = size_image(f.get(), file_name, kTag, image);
    if (sized == Sizing::empty)
        upgrade_failed();
    if (sized != Sizing::ready)
        return false;
    const size_t got = read_image(f.get(), image);
    zr_log(2, "INF", "[%s] File read ok,%d\n", kTag, static_cast<int>(got));
    if (got < image.size()) {
        zr_log(2, "INF", "[%s] Firmware image file loading failed.\n", kTag);
        return false;
    }
    zr_log(2, "INF", "[%s] Firmware image file loaded.\n", kTag);
    return true;
}

// The acknowledgement of action 4: 1 with `ack` filled, 0 when the request phase failed, -1 when
// the answer phase failed.
int read_ack(tarvo_ll_dev_t *dev, Ack &ack) {
    std::array<uint8_t, AL_DATA_ACK_SIZE> wire{};
    const int r = al_data_read_action_info(dev, kActionAck, wire.data());
    if (r == 1)
        ack = decode_ack(wire);
    return r;
}

// The camera erases before it takes data; "erasing" acknowledgements come until it is done, but
// a camera that never finishes must not keep the caller forever.
bool wait_for_erase(tarvo_ll_dev_t *dev, Ack &ack) {
    const milliseconds limit = timing().erase_limit;
    zr_log(1, "DBG", "[%s] flash erase may take up to %lld ms\n", kTag,
           static_cast<long long>(limit.count()));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (read_ack(dev, ack) != 1) {
            zr_log(4, "ERR", "[%s] DATA ACK failed\n", kTag);
            return false;
        }
        if (ack.status != kAckErasing)
            return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            zr_log(4, "ERR", "[%s] Flash erase not finished after %lld ms, giving up\n", kTag,
                   static_cast<long long>(limit.count()));
            return false;
        }
    }
}

bool send_chunks(tarvo_ll_dev_t *dev, std::span<const uint8_t> image) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint32_t count = static_cast<uint32_t>((image.size() + kChunkSize - 1) / kChunkSize);
    uint32_t k = 0;
    while (k < count) {
        const size_t offset = size_t{k} * kChunkSize;
        const std::span<const uint8_t> chunk =
            image.subspan(offset, std::min<size_t>(kChunkSize, size - offset));
        const auto header = encode_chunk_header(chunk);
        if (al_data_send_action_info(dev, kActionChunk, header.data(), chunk.data()) != 1) {
            zr_log(2, "INF", "[%s] Data transfer failed D.\n", kTag);
            return false;
        }
        Ack ack;
        if (read_ack(dev, ack) != 1) {
            zr_log(2, "INF", "[%s] Data transfer failed C.\n", kTag);
            return false;
        }
        // Only ever forward by one: a chunk is never sent twice, and a camera that skips ahead
        // would store an image with a hole in it.
        if (ack.next == k) {
            zr_log(2, "INF", "[%s] Data transfer failed A.indx%d, %d\n", kTag, static_cast<int>(k),
                   static_cast<int>(k));
            return false;
        }
        if (ack.next != k + 1) {
            zr_log(2, "INF", "[%s] Data transfer failed B.\n", kTag);
            zr_log(4, "ERR", "[%s] camera expects chunk %u after chunk %u\n", kTag,
                   static_cast<unsigned>(ack.next), static_cast<unsigned>(k));
            return false;
        }
        k = ack.next;
        report_progress(static_cast<uint32_t>(std::min<size_t>(size_t{k} * kChunkSize, size)),
                        size);
    }
    zr_log(2, "INF", "[%s] Data transfer finished.\n", kTag);
    return true;
}

// Announce, erase, send. False on any failure or out-of-turn answer; the caller reports it.
bool transfer(tarvo_ll_dev_t *dev, uint8_t type, uint16_t version, std::span<const uint8_t> image) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    zr_log(2, "INF", "[%s] send action info\n", kTag);
    const auto info = encode_transfer_info(type, version, size);
    if (al_data_send_action_info(dev, kActionTransferInfo, info.data(), nullptr) != 1)
        return false;
    Ack ack;
    if (read_ack(dev, ack) != 1)
        return false;
    zr_log(2, "INF", "[%s] read ack: next=%d, status=%d\n", kTag, static_cast<int>(ack.next),
           ack.status);
    if (ack.next != 0 || ack.status != kAckInfoAccepted) {
        zr_log(4, "ERR", "[%s] Wrong version(Target:%d,Now:%d)\n", kTag, static_cast<int>(ack.next),
               version);
        return false;
    }
    zr_log(2, "INF", "[%s] INFO ack ok\n", kTag);
    zr_log(2, "INF", "[%s] Wait flash erase.....\n", kTag);
    const auto erase = encode_erase_request(type, size);
    if (al_data_send_action_info(dev, kActionErase, erase.data(), nullptr) != 1)
        return false;
    if (!wait_for_erase(dev, ack))
        return false;
    zr_log(2, "INF", "[%s] Download.....\n", kTag);
    if (ack.next != 0 || ack.status != kAckReady) {
        zr_log(4, "ERR", "[%s] camera not ready after erase: next=%u, status=%u\n", kTag,
               static_cast<unsigned>(ack.next), ack.status);
        return false;
    }
    return send_chunks(dev, image);
}

void warn_do_not_reset() {
    zr_log(3, "WRN", "[%s] ----------------------------------------------------------\n", kTag);
    zr_log(3, "WRN", "[%s] !!! DO NOT RESET or POWER OFF the board until return !!!!\n", kTag);
    zr_log(3, "WRN", "[%s] ----------------------------------------------------------\n", kTag);
}

// After a completed transfer: new firmware (types 0, 1) needs a restart, stored data (types 2,
// 3) needs the camera to finish writing its flash before it is used again.
void finish(tarvo_ll_dev_t *dev, uint8_t type) {
    if (type == 2 || type == 3) {
        warn_do_not_reset();
        timing().sleep(kStoreWait);
    } else if (type == 0 || type == 1) {
        tarvo_ll_dev_reset(dev, kResetTarget);
        zr_log(3, "WRN", "[%s]  * Wait board to reset...\n", kTag);
        warn_do_not_reset();
        timing().sleep(kRestartWait);
    }
}

int bin_data_write(tarvo_ll_dev_t *dev, uint8_t type, uint16_t version, const char *file_name) {
    if (dev == nullptr || file_name == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params: dev=%p, file=%p\n", kTag, static_cast<void *>(dev),
               static_cast<const void *>(file_name));
        return -1;
    }
    zr_log(2, "INF", "[%s] name:%s, type:%hu, version:%hu\n", kTag, file_name,
           static_cast<unsigned short>(type), version);
    std::vector<uint8_t> image;
    if (!load_image(file_name, image))
        return -1;

    zr_log(1, "DBG", "[%s] Get info\n", kTag);
    // The camera keeps a version per image type; only the stored image of this type counts.
    auto wire = encode_info_request(type);
    if (al_get_data_info(dev, kActionInfo, wire.data(), AL_DATA_INFO_SIZE) != 1) {
        // Without the camera's answer the version rule cannot be kept.
        zr_log(4, "ERR", "[%s] Get info failed, the stored version is unknown\n", kTag);
        return upgrade_failed();
    }
    const DataInfo stored = decode_info(wire);
    zr_log(2, "INF", "[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", kTag, stored.version,
           static_cast<unsigned short>(stored.type), static_cast<unsigned>(stored.addr),
           static_cast<int>(stored.size));
    if (stored.version >= version) {
        zr_log(4, "ERR", "[%s] Wrong version(Target:%d,Now:%d)\n", kTag, stored.version, version);
        return -1;
    }
    if (!transfer(dev, type, version, image))
        return upgrade_failed();
    image = {};  // the camera has it all; do not hold it through the wait
    finish(dev, type);
    return 1;
}

}  // namespace

extern "C" {

TARVO_API int tarvo_bin_data_write(tarvo_ll_dev_t *dev, uint8_t type, uint16_t version,
                                   int /*reserved*/, const char *file_name) {
    return bin_data_write(dev, type, version, file_name);
}

TARVO_API int tarvo_ll_firmware_upgrade(tarvo_ll_dev_t *dev, unsigned type, uint16_t version,
                                        const char *file_name) {
    return tarvo_bin_data_write(dev, static_cast<uint8_t>(type), version, 0, file_name);
}

TARVO_API int tarvo_data_download(tarvo_dev_t *dev, const char *file_name, uint8_t type,
                                  uint16_t version, int reserved) {
    return on_device_ll(dev, __func__, [&](tarvo_ll_dev_t *ll) {
        return tarvo_bin_data_write(ll, type, version, reserved, file_name);
    });
}

TARVO_API int tarvo_firmware_upgrade(tarvo_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *file_name) {
    return on_device_ll(dev, __func__, [&](tarvo_ll_dev_t *ll) {
        return tarvo_bin_data_write(ll, type, version, 0, file_name);
    });
}

TARVO_API int al_data_build_file_buffer(const char *path, int *size) {
    static const char *const kBufTag = "al_data_build_file_buffer";
    if (path == nullptr || size == nullptr) {
        zr_log(4, "ERR", "[%s] Wrong params: path=%p, size=%p\n", kBufTag,
               static_cast<const void *>(path), static_cast<void *>(size));
        return -1;
    }
    zr_log(2, "INF", "[%s] Loading data image file:%s\n", kBufTag, path);
    const auto failed = [&] {
        *size = 0;
        zr_log(2, "INF", "[%s] Data image file loading failed.\n", kBufTag);
        return -1;
    };
    FilePtr f = open_image(path, kBufTag);
    if (!f) {
        *size = 0;
        return -1;
    }
    std::vector<uint8_t> bytes;
    if (size_image(f.get(), path, kBufTag, bytes) != Sizing::ready)
        return failed();
    const size_t got = read_image(f.get(), bytes);
    zr_log(2, "INF", "[%s] File read ok,%d,%x\n", kBufTag, static_cast<int>(got),
           got > 0 ? bytes[0] : 0u);
    if (got < bytes.size())
        return failed();
    *size = static_cast<int>(bytes.size());
    zr_log(2, "INF", "[%s] Data image file loaded.\n", kBufTag);
    return 1;
}

}  // extern "C"
