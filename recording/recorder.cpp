#include "recorder.h"

#include <tarvo/epc_config.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "recording_metadata.h"
#include "ros_cdr.h"

#ifndef TARVO_RECORDING_VERSION
#define TARVO_RECORDING_VERSION "unknown"
#endif

namespace tarvo::recording {
namespace {

constexpr uint64_t kChunkMaxAgeNs = 500'000'000;  // half the promised second
constexpr auto kWriterTick = std::chrono::milliseconds(100);
constexpr size_t kMaxQueuedFrames = 90;  // the capture thread waits beyond this
constexpr uint64_t kMaxAttachmentBytes = 64u << 20;
// The parameters a replayed camera answers with: identification, product, information and
// version blocks, chip information, frame rate, integration time, temperatures.
constexpr int kSavedParams[] = {2, 3, 5, 6, 7, 12, 13, 15};
constexpr uint8_t kSensorRegisterTarget = 1;

void put_le(std::vector<uint8_t> &out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string fmt(const char *format, double v) {
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

bool read_param(tarvo_dev_t *dev, int id, tarvo_param_item_t &item) {
    item = tarvo_param_item_t{};
    item.param_id = id;
    item.param_val_len = 4;
    return tarvo_param_batch_get(dev, &item, 1);
}

uint32_t param_le(const tarvo_param_item_t &item, unsigned offset, unsigned bytes) {
    uint32_t v = 0;
    for (unsigned i = 0; i < bytes && offset + i < item.param_val_len; ++i)
        v |= uint32_t{item.param_val[offset + i]} << (8 * i);
    return v;
}

// The camera's own files under the library's path prefix: the calibration files named by its
// wafer and chip id, and the lens parameters.
std::vector<std::filesystem::path> calibration_files(const tarvo_dev_t *dev, unsigned wafer,
                                                     unsigned chip) {
    char tag[32];
    std::snprintf(tag, sizeof tag, "_W%03u_C%03u", wafer, chip);
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    const std::filesystem::path dir = dev->path != nullptr && *dev->path != 0 ? dev->path : ".";
    for (const auto &entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file(ec) &&
            (name.find(tag) != std::string::npos || name == "lens_param.txt"))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The DRNU calibration files of either table bank, by name.
bool is_drnu_file(const std::string &name) {
    char images[CALIBRATION_NAME_SIZE];
    char parameters[CALIBRATION_NAME_SIZE];
    for (int mode2 : {0, 1}) {
        calibrationGetDistanceImagesName(images, mode2);
        calibrationGetParamName(parameters, mode2);
        if (name == images || name == parameters)
            return true;
    }
    return false;
}

// The files a decode of the raw frames needs to give what the live decode gave. DRNU files go
// only with a live decode that corrects with them: a camera opened before its folder held them
// (its package's upload timed out, say, while another process unpacked the same chip's files
// there) decodes uncorrected, and so must the recording.
std::vector<std::filesystem::path> files_of_the_decode(std::vector<std::filesystem::path> files) {
    if (calculationGetEnableDRNU() != 0)
        return files;
    std::erase_if(files, [](const std::filesystem::path &file) {
        if (!is_drnu_file(file.filename().string()))
            return false;
        zr_log(3, "WRN", "[%s] %s left out: the camera decodes without DRNU correction\n",
               "Recorder::write_description", file.filename().c_str());
        return true;
    });
    return files;
}

bool read_file(const std::filesystem::path &path, std::vector<uint8_t> &out) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxAttachmentBytes)
        return false;
    std::ifstream in(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

uint64_t now_realtime_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

std::vector<uint8_t> raw_message_header(const tarvo_frame_info_t &info,
                                        const tarvo_frame_time_t &time) {
    static_assert(sizeof(tarvo_frame_info_t) == 20);
    std::vector<uint8_t> head;
    head.reserve(kRawHeaderSize);
    put_le(head, info.frame_size, 4);
    put_le(head, info.frame_format, 2);
    put_le(head, info.frame_idx, 2);
    put_le(head, info.width, 4);
    put_le(head, info.height, 4);
    put_le(head, info.pixel_size, 1);
    put_le(head, info.reserved0, 1);
    put_le(head, info.reserved1, 2);
    put_le(head, time.sequence, 8);
    put_le(head, time.lost_before, 4);
    put_le(head, time.monotonic_ns, 8);
    put_le(head, static_cast<uint16_t>(time.sensor_temperature), 2);
    put_le(head, static_cast<uint16_t>(time.illumination_temperature), 2);
    return head;
}

Recorder::Recorder() = default;

Recorder::~Recorder() {
    std::string ignored;
    if (thread_.joinable())
        finish(ignored);
}

bool Recorder::open(tarvo_dev_t *dev, const std::string &path, const RecordOptions &options,
                    std::string &error) {
    dev_ = dev;
    path_ = path;
    options_ = options;
    McapWriter::Options wo;
    wo.profile = "ros2";
    wo.library = std::string("libtarvo ") + TARVO_RECORDING_VERSION;
    wo.chunk_bytes = options.chunk_bytes;
    if (!writer_.open(path, wo, error))
        return false;
    if (!write_description(error))
        return false;
    raw_channel_ = writer_.add_channel(0, kRawTopic, "tarvo-raw", {{kRawLayoutKey, kRawLayout}});
    if (options.depth) {
        depth_channel_ = writer_.add_channel(
            writer_.add_schema("sensor_msgs/msg/Image", "ros2msg", kImageSchema), kDepthTopic,
            "cdr", {});
        info_channel_ = writer_.add_channel(
            writer_.add_schema("sensor_msgs/msg/CameraInfo", "ros2msg", kCameraInfoSchema),
            kCameraInfoTopic, "cdr", {});
    }
    if (options.points) {
        points_channel_ = writer_.add_channel(
            writer_.add_schema("sensor_msgs/msg/PointCloud2", "ros2msg", kPointCloud2Schema),
            kPointsTopic, "cdr", {});
    }
    writer_.flush();
    if (writer_.failed()) {
        error = "cannot write " + path;
        return false;
    }
    thread_ = std::thread([this] { writer_loop(); });
    return true;
}

// The tarvo.camera metadata, the parameters a replay needs and the calibration files.
bool Recorder::write_description(std::string &error) {
    tarvo_param_item_t chip{}, rate{}, integration{};
    read_param(dev_, 7, chip);
    read_param(dev_, 12, rate);
    read_param(dev_, 13, integration);
    const unsigned wafer_id = param_le(chip, 4, 2);
    const unsigned chip_id = param_le(chip, 2, 2);
    zr_lens_param_t lens{};
    const bool have_lens = ros::lens_for_image(dev_, 320, 240, lens);
    const unsigned firmware = static_cast<unsigned>(dev_->version[2] | (dev_->version[3] << 8));
    StringMap camera = {
        {"product", dev_->product},
        {"ident", dev_->ident},
        {"firmware", std::to_string(firmware)},
        {"chip_id", std::to_string(chip_id)},
        {"wafer_id", std::to_string(wafer_id)},
        {"part_version", std::to_string(param_le(chip, 0, 2))},
        {"frame_rate", std::to_string(param_le(rate, 0, 4))},
        {"integration_time_us", std::to_string(param_le(integration, 0, 2))},
        {"modulation_frequency_khz", std::to_string(configGetModulationFrequency())},
        {"bus", std::to_string(dev_->bus)},
        {"port", std::to_string(dev_->port)},
        {"width", std::to_string(have_lens ? lens.img_w : 0)},
        {"height", std::to_string(have_lens ? lens.img_h : 0)},
        {"library_version", TARVO_RECORDING_VERSION},
    };
    if (have_lens) {
        camera.insert(camera.end(), {{"lens_cx", fmt("%.9g", lens.Cx)},
                                     {"lens_cy", fmt("%.9g", lens.Cy)},
                                     {"lens_fx", fmt("%.9g", lens.Fx)},
                                     {"lens_fy", fmt("%.9g", lens.Fy)},
                                     {"lens_k1", fmt("%.9g", lens.dcoeff[0])},
                                     {"lens_k2", fmt("%.9g", lens.dcoeff[1])},
                                     {"lens_p1", fmt("%.9g", lens.dcoeff[2])},
                                     {"lens_p2", fmt("%.9g", lens.dcoeff[3])},
                                     {"lens_k3", fmt("%.9g", lens.dcoeff[4])}});
    }
    writer_.add_metadata("tarvo.camera", camera);

    StringMap params;
    for (int id : kSavedParams) {
        tarvo_param_item_t item{};
        if (read_param(dev_, id, item))
            params.emplace_back(std::to_string(id), hex(item.param_val, item.param_val_len));
    }
    writer_.add_metadata(kParametersMetadata, params);
    writer_.add_metadata(kDecodingMetadata, options_.decoding);
    write_registers();

    const uint64_t now = now_realtime_ns();
    for (const auto &file : files_of_the_decode(calibration_files(dev_, wafer_id, chip_id))) {
        std::vector<uint8_t> bytes;
        if (!read_file(file, bytes)) {
            error = "cannot read the calibration file " + file.string();
            return false;
        }
        writer_.add_attachment(file.filename().string(), "application/octet-stream", now, bytes);
    }
    if (writer_.failed()) {
        error = "cannot write " + path_;
        return false;
    }
    return true;
}

// The image sensor's register file as the camera holds it now (after its set-up), which a
// decode of the raw frames without the camera starts from. A camera that cannot answer is
// recorded without it.
void Recorder::write_registers() {
    std::vector<uint32_t> registers(kSensorRegisterCount);
    if (!tarvo_reg_batch_read(dev_, kSensorRegisterTarget, 0, registers.data(),
                              static_cast<uint16_t>(registers.size()))) {
        zr_log(3, "WRN", "[%s] the sensor's registers could not be read; recording without them\n",
               "Recorder::write_registers");
        return;
    }
    writer_.add_metadata(kRegistersMetadata, register_metadata(registers));
}

bool Recorder::convert(const uint8_t *raw, const tarvo_frame_info_t &info,
                       const tarvo_frame_time_t &time, std::vector<Message> &out,
                       std::string &error) {
    const auto seq = static_cast<uint32_t>(time.sequence);
    Message raw_msg{raw_channel_, seq, time.realtime_ns, raw_message_header(info, time), {}};
    raw_msg.data.assign(raw, raw + info.frame_size);
    out.push_back(std::move(raw_msg));
    if (!options_.depth && !options_.points)
        return true;
    if (!ros::decode_frame(dev_, raw, info.frame_size, info, decoded_)) {
        error = "frame " + std::to_string(info.frame_idx) + " could not be decoded";
        return false;
    }
    const ros::Header header{ros::time_from_ns(time.realtime_ns), kFrameId};
    if (!converter_.convert(dev_, decoded_, header, options_.points, content_)) {
        error = "frame " + std::to_string(info.frame_idx) + " has no lens model for its size";
        return false;
    }
    const auto add = [&](uint16_t channel, const auto &msg) {
        CdrWriter cdr;
        serialize(msg, cdr);
        out.push_back({channel, seq, time.realtime_ns, {}, std::move(cdr.bytes())});
    };
    if (options_.depth) {
        add(depth_channel_, content_.depth);
        add(info_channel_, content_.camera_info);
    }
    if (options_.points)
        add(points_channel_, content_.points);
    return true;
}

bool Recorder::add_frame(const uint8_t *raw, const tarvo_frame_info_t &info,
                         const tarvo_frame_time_t &time, std::string &error) {
    std::vector<Message> messages;
    if (!convert(raw, info, time, messages, error))
        return false;
    std::unique_lock lock(mutex_);
    cond_.wait(lock, [this] { return queue_.size() < kMaxQueuedFrames || writer_failed_; });
    if (writer_failed_) {
        error = "cannot write " + path_;
        return false;
    }
    queue_.push_back(std::move(messages));
    ++summary_.frames;
    summary_.lost += time.lost_before;
    cond_.notify_all();
    return true;
}

// Under mutex_, on the thread that writes (the writer thread, or after it ended).
void Recorder::note_stats() {
    const McapWriter::Stats &s = writer_.stats();
    summary_.message_bytes = s.message_bytes;
    summary_.file_bytes = s.file_bytes;
    summary_.compression_ratio = s.chunk_bytes > 0 ? static_cast<double>(s.chunk_plain_bytes) /
                                                         static_cast<double>(s.chunk_bytes)
                                                   : 0.0;
}

void Recorder::writer_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cond_.wait_for(lock, kWriterTick, [this] { return !queue_.empty() || closing_; });
        while (!queue_.empty()) {
            std::vector<Message> messages = std::move(queue_.front());
            queue_.pop_front();
            cond_.notify_all();
            lock.unlock();
            for (const Message &m : messages) {
                writer_.add_message(m.channel, m.sequence, m.log_time, m.log_time, m.head.data(),
                                    m.head.size(), m.data.data(), m.data.size());
            }
            lock.lock();
            note_stats();
        }
        lock.unlock();
        if (writer_.chunk_older_than(monotonic_now_ns(), kChunkMaxAgeNs))
            writer_.flush();
        lock.lock();
        note_stats();
        if (writer_.failed() && !writer_failed_) {
            writer_failed_ = true;
            cond_.notify_all();
        }
        if (closing_ && queue_.empty())
            return;
    }
}

bool Recorder::finish(std::string &error) {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            cond_.notify_all();
        }
        thread_.join();
    }
    const bool ok = writer_.close(error);
    std::lock_guard lock(mutex_);
    note_stats();
    return ok;
}

RecordSummary Recorder::summary() const {
    std::lock_guard lock(mutex_);
    return summary_;
}

}  // namespace tarvo::recording
