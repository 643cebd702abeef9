// Binary data read and write against a camera whose every answer comes from the input: data
// information records, acknowledgements, payload pieces and status replies. A read that fails
// must leave no file behind; a write must end, whatever the camera claims.
//
// Input: byte 0 direction (bit 0: write) and data type, bytes 1-2 the version to write, then the
// camera's script.
#include <tarvo/log.h>
#include <tarvo/transfer.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scripted_camera.h"
#include "transfer/action_protocol.h"
#include "private_dir.h"

namespace {

namespace fs = std::filesystem;

fs::path &work_dir() {
    static fs::path dir;
    return dir;
}

fs::path image_path() {
    return work_dir() / "image.bin";
}
fs::path read_target() {
    return work_dir() / "read" / "calib.bin";
}

// Three chunks, the last one short.
void write_image() {
    std::ofstream out(image_path(), std::ios::binary);
    for (int i = 0; i < 2 * AL_DATA_CHUNK_SIZE + 100; ++i)
        out.put(static_cast<char>(i * 7));
}

void check_read_outcome(int result) {
    const fs::path dir = read_target().parent_path();
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        (void)entry;
        ++files;
    }
    // Success leaves exactly the target; failure leaves nothing, not even a partial file.
    if (files != (result == 1 ? 1u : 0u))
        std::abort();
    if (result == 1 && fs::file_size(read_target()) > AL_DATA_MAX_IMAGE_SIZE)
        std::abort();
    fs::remove(read_target());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    tarvo::transfer::timing().sleep = [](std::chrono::milliseconds) {};
    tarvo::transfer::timing().erase_limit = std::chrono::milliseconds(1);
    work_dir() = tarvo::fuzz::private_dir("transfer");
    fs::create_directories(read_target().parent_path());
    write_image();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    tarvo::fuzz::script().load(std::span<const uint8_t>(data + 3, size - 3));
    tarvo_ll_dev_t ll{};
    ll.ops = tarvo::fuzz::scripted_ops();
    const uint8_t type = static_cast<uint8_t>(data[0] >> 1);
    if (data[0] & 1) {
        const auto version = static_cast<uint16_t>(data[1] | data[2] << 8);
        (void)tarvo_bin_data_write(&ll, type, version, 0, image_path().c_str());
    } else {
        check_read_outcome(tarvo_bin_data_read(&ll, type, read_target().c_str()));
    }
    return 0;
}
