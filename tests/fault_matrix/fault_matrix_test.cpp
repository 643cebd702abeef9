// Every device operation against every way the camera misbehaves. Each cell brings a fresh
// camera to the operation's starting state, turns the fault on, runs the operation and turns the
// fault off again. The operation must return (its result may be a failure), no partial file may
// be left behind, and the camera must then open, capture and close as if nothing had happened.
// Crashes and leaks show through the sanitisers of the sanitised tree.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frames/camera_frames.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "vcam.h"
#include "vcam_flash.h"

namespace {

namespace fs = std::filesystem;
namespace vcam = tarvo::vcam;
using tarvo::test::LogCapture;
using tarvo::test::TempDir;
using vcam::Fault;
using vcam::StreamStep;

constexpr uint32_t kFrameBytes = 320 * 240 * 8;
constexpr uint8_t kDataType = 2;
constexpr const char *kUploadName = "upload.bin";
constexpr const char *kImageName = "image.bin";

std::vector<uint8_t> pattern(size_t n, uint8_t salt) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + salt);
    return bytes;
}

// One camera on the bus with a flash and a frame stream, and a handle for it.
struct Rig {
    Rig() {
        vcam::Bus::get().reset();
        vcam::CameraConfig cfg;
        cfg.product = "TV320-T0-1.0";  // a driver without a processing pipeline behind it
        cam = vcam::Bus::get().add_camera(cfg);
        flash = std::make_shared<vcam::Flash>();
        flash->store(kDataType, 3, stored);
        cam->set_command_extension(vcam::kTypeAction, flash);
        clean_stream();
        dir.enter();
        std::ofstream(kImageName, std::ios::binary)
            .write(reinterpret_cast<const char *>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    }
    ~Rig() { close(); }

    void clean_stream() { cam->set_stream_source(vcam::make_camera_stream()); }
    bool open() {
        return tarvo_dev_open(&dev) != nullptr &&
               tarvo_cap_set_frame_buffer(&dev, nullptr, 4 * TARVO_CAP_FRAME_UNIT);
    }
    bool start() { return open() && tarvo_cap_start(&dev); }
    void close() {
        if (dev.ctx != nullptr)
            tarvo_dev_close(&dev);
        dev = tarvo_dev_t{};
    }

    std::shared_ptr<vcam::Camera> cam;
    std::shared_ptr<vcam::Flash> flash;
    tarvo_dev_t dev{};
    TempDir dir;
    const std::vector<uint8_t> stored = pattern(1000, 7);  // two and a bit read pieces
    const std::vector<uint8_t> image = pattern(2100, 1);   // three chunks, the last short
};

struct Operation {
    const char *name;
    std::function<bool(Rig &)> prepare;  // the state the operation starts from
    std::function<bool(Rig &)> run;      // true when the operation reports success
    bool sends_commands;                 // needs the camera's command channel
};

bool nothing(Rig &) {
    return true;
}

// True when every fetch delivered a frame.
bool fetch_frames(Rig &r) {
    std::vector<uint8_t> buf(kFrameBytes);
    int frames = 0;
    for (int i = 0; i < 3; ++i) {
        tarvo_frame_info_t info{};
        frames += tarvo_cap_get_frames(&r.dev, 1, buf.data(), kFrameBytes, &info) == 1 ? 1 : 0;
    }
    return frames == 3;
}

bool open(Rig &r) {
    return r.open();
}
bool start(Rig &r) {
    return r.start();
}

const std::vector<Operation> &operations() {
    static const std::vector<Operation> ops = {
        {"list", nothing,
         [](Rig &) {
             tarvo_dev_t list[4] = {};
             return tarvo_dev_list(list, 4) == 1;
         },
         false},
        {"open", nothing, [](Rig &r) { return tarvo_dev_open(&r.dev) != nullptr; }, true},
        {"param get", open,
         [](Rig &r) {
             tarvo_param_item_t items[5] = {};
             for (int i = 0; i < 5; ++i)
                 items[i].param_id = 2 + i;
             return tarvo_param_batch_get(&r.dev, items, 5);
         },
         true},
        {"param set", open,
         [](Rig &r) {
             tarvo_param_item_t item{};
             item.param_id = 13;
             item.param_val_len = 2;
             item.param_val[0] = 100;
             return tarvo_param_batch_set(&r.dev, &item, 1);
         },
         true},
        {"register read", open,
         [](Rig &r) {
             uint32_t values[40] = {};
             return tarvo_reg_batch_read(&r.dev, 1, 0, values, 40);
         },
         true},
        {"register write", open,
         [](Rig &r) {
             const uint32_t values[20] = {1, 2, 3};
             return tarvo_reg_batch_write(&r.dev, 1, 0, values, 20);
         },
         true},
        {"capture start", open, [](Rig &r) { return tarvo_cap_start(&r.dev); }, true},
        {"streaming", start, fetch_frames, false},
        // Stop answers true even when the camera did not confirm; whether capture ended shows
        // in tarvo_cap_is_ongoing.
        {"capture stop", start,
         [](Rig &r) { return tarvo_cap_stop(&r.dev) && !tarvo_cap_is_ongoing(&r.dev); }, true},
        {"close", start,
         [](Rig &r) {
             r.close();
             return true;
         },
         false},
        {"data write", open,
         [](Rig &r) { return tarvo_data_download(&r.dev, kImageName, kDataType, 9, 0) == 1; },
         true},
        {"data read", open,
         [](Rig &r) { return tarvo_data_upload(&r.dev, kDataType, kUploadName) == 1; }, true},
    };
    return ops;
}

// What a fault breaks; it decides the result an operation must report.
enum Hits : unsigned {
    kNothing = 0,   // commands get through in the end: every operation succeeds
    kCommands = 1,  // the command channel: operations that use it fail
    kStream = 2,    // the frame stream: fetching may or may not get frames
    kBus = 4,       // the camera is gone: every operation that needs it fails
    kAnything = 8,  // the camera comes back at some moment: any result is fine
};

// A fault, turned on before the operation; `during` runs beside the operation.
struct FaultCase {
    const char *name;
    std::function<void(Rig &)> inject;
    std::function<void(Rig &)> during;
    unsigned hits;
};

// Every vendor command in both directions.
void on_all_commands(Rig &r, const Fault &f) {
    r.cam->add_fault(f);
}

std::shared_ptr<vcam::StreamSource> frames_with(StreamStep bad) {
    // Frames with the misbehaviour between them, over and over.
    auto frames = vcam::make_camera_stream();
    struct Mixed final : vcam::StreamSource {
        std::shared_ptr<vcam::StreamSource> inner;
        StreamStep bad;
        int n = 0;
        void on_start(const vcam::StreamContext &ctx) override { inner->on_start(ctx); }
        bool next(StreamStep &step) override {
            if (++n % 3 == 0) {
                step = bad;
                return true;
            }
            return inner->next(step);
        }
    };
    auto mixed = std::make_shared<Mixed>();
    mixed->inner = std::move(frames);
    mixed->bad = std::move(bad);
    return mixed;
}

const std::vector<FaultCase> &faults() {
    static const std::vector<FaultCase> cases = {
        {"stall",
         [](Rig &r) {
             on_all_commands(r, Fault::stall(-1, -1));
             r.cam->set_stream_source(frames_with(StreamStep::stall_step()));
         },
         nullptr, kCommands | kStream},
        {"silence",
         [](Rig &r) {
             on_all_commands(r, Fault::silent(-1, -1));
             r.cam->set_stream_source(vcam::make_script_source(
                 {StreamStep::silence(std::chrono::milliseconds(500))}, true));
         },
         nullptr, kCommands | kStream},
        {"busy a while", [](Rig &r) { on_all_commands(r, Fault::busy(-1, -1, 4)); }, nullptr,
         kNothing},
        {"busy for ever", [](Rig &r) { on_all_commands(r, Fault::busy(-1, -1, 1 << 30)); }, nullptr,
         kCommands},
        {"failed status", [](Rig &r) { on_all_commands(r, Fault::fail(-1, -1, "no")); }, nullptr,
         kCommands},
        {"wrong echo", [](Rig &r) { on_all_commands(r, Fault::wrong_echo(-1, -1, 0xC2, 9)); },
         nullptr, kCommands},
        {"short reply", [](Rig &r) { on_all_commands(r, Fault::short_reply(-1, -1)); }, nullptr,
         kCommands},
        {"long reply", [](Rig &r) { on_all_commands(r, Fault::long_reply(-1, -1)); }, nullptr,
         kCommands},
        {"damaged stream",
         [](Rig &r) {
             r.cam->set_stream_source(vcam::make_damaging_source(vcam::make_camera_stream(), 5000));
         },
         nullptr, kStream},
        {"stream errors",
         [](Rig &r) { r.cam->set_stream_source(frames_with(StreamStep::error_step(EPROTO))); },
         nullptr, kStream},
        {"unplug", [](Rig &r) { r.cam->unplug(); }, nullptr, kBus},
        {"unplug and replug", [](Rig &r) { r.cam->unplug(); },
         [](Rig &r) {
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             r.cam->replug();
         },
         kAnything},
    };
    return cases;
}

// The camera works again: a new handle opens it, frames arrive, stop and close succeed.
void expect_recovered(Rig &r) {
    r.cam->clear_faults();
    r.clean_stream();
    if (!r.cam->plugged())
        r.cam->replug();
    tarvo_dev_t dev{};
    ASSERT_NE(tarvo_dev_open(&dev), nullptr);
    ASSERT_TRUE(tarvo_cap_set_frame_buffer(&dev, nullptr, 4 * TARVO_CAP_FRAME_UNIT));
    ASSERT_TRUE(tarvo_cap_start(&dev));
    std::vector<uint8_t> buf(kFrameBytes);
    tarvo_frame_info_t info{};
    int got = 0;
    for (int i = 0; i < 5 && got != 1; ++i)
        got = tarvo_cap_get_frames(&dev, 1, buf.data(), kFrameBytes, &info);
    EXPECT_EQ(got, 1);
    EXPECT_TRUE(tarvo_cap_stop(&dev));
    tarvo_dev_close(&dev);
}

// What a data read leaves: nothing, or the complete stored data; never a partial file.
void expect_no_partial_file(const Rig &r) {
    for (const auto &entry : fs::directory_iterator(r.dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name == kImageName)
            continue;
        ASSERT_EQ(name, kUploadName) << "left behind";
        EXPECT_EQ(tarvo::test::read_file(entry.path()),
                  std::string(r.stored.begin(), r.stored.end()));
    }
}

// The result the operation must report under the fault, or nullopt when either is right.
std::optional<bool> expected_result(const Operation &op, const FaultCase &fault) {
    const bool streaming = std::string(op.name) == "streaming";
    if (fault.hits & kAnything)
        return std::nullopt;
    if (fault.hits & kBus) {
        if (op.sends_commands || std::string(op.name) == "list")
            return false;
        return std::nullopt;  // frames fetched before the camera left still count
    }
    if ((fault.hits & kCommands) && op.sends_commands)
        return false;
    if ((fault.hits & kStream) && streaming)
        return std::nullopt;
    return true;
}

TEST(FaultMatrix, EveryOperationSurvivesEveryFault) {
    LogCapture log(5);  // quiet: failures are expected in most cells
    std::string table = "faults:";
    for (size_t i = 0; i < faults().size(); ++i)
        table += " " + std::to_string(i + 1) + " " + faults()[i].name + ",";
    table += "\n";
    for (const Operation &op : operations()) {
        std::string row = op.name;
        row.resize(16, ' ');
        for (const FaultCase &fault : faults()) {
            SCOPED_TRACE(std::string(op.name) + " with " + fault.name);
            Rig rig;
            ASSERT_TRUE(op.prepare(rig));
            fault.inject(rig);
            std::thread beside;
            if (fault.during)
                beside = std::thread(fault.during, std::ref(rig));
            const bool ok = op.run(rig);
            if (beside.joinable())
                beside.join();
            row += ok ? " ok " : " -- ";
            if (const auto want = expected_result(op, fault)) {
                EXPECT_EQ(ok, *want) << "the result does not tell what happened";
            }
            rig.close();
            expect_no_partial_file(rig);
            expect_recovered(rig);
        }
        table += row + "\n";
    }
    // Results per operation (rows) and fault (columns, in table order): ok or failed (--).
    std::printf("%s", table.c_str());
}

}  // namespace
