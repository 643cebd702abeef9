// Every device operation against every way the camera misbehaves. Each cell brings a fresh
// camera to the operation's starting state, turns the fault on, runs the operation and turns the
// fault off again. The operation must return (its result may be a failure), no partial file may
// be left behind, and the camera must then open, capture and close as if nothing had happened.
// Crashes and leaks show through the sanitisers of the sanitised tree.
//
// The calibration fetch runs on an EPC camera holding a factory calibration package: its open
// switches to data-upload mode, captures the package frame, unpacks it and splits the per-chip
// file. Its fault turns on when the camera enters data-upload mode, so that it meets the fetch
// rather than the open before it, and stream faults hit the upload. Afterwards the two
// calibration files are there complete or not at all, and the recovered camera's open fetches
// them.
#include <tarvo/tarvo.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "frames/camera_frames.h"
#ifdef TARVO_MATRIX_CALIBRATION
#include "calib/factory_calibration.h"
#include "sensor/epc_sensor.h"
#endif
#include "support/capture_device.h"
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

using tarvo::test::kFrameBytes;
constexpr uint8_t kDataType = 2;
constexpr const char *kUploadName = "upload.bin";
constexpr const char *kImageName = "image.bin";
// A package frame leaves the camera in device-side transfers of this size, so that stream faults
// fall between its pieces.
constexpr size_t kPackagePiece = 64 * 1024;

std::vector<uint8_t> pattern(size_t n, uint8_t salt) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + salt);
    return bytes;
}

// The factory calibration an EPC camera of the matrix holds: the per-chip file (the DRNU
// parameter file followed by the distance images) and the package it travels in.
struct FactoryCalibration {
    std::vector<uint8_t> chip_file;
    std::vector<uint8_t> package;
    size_t param_bytes = 24;
};

const FactoryCalibration &factory_calibration() {
    static const FactoryCalibration calib = [] {
        FactoryCalibration c;
#ifdef TARVO_MATRIX_CALIBRATION
        vcam::DrnuCalibrationInput input;
        input.raw_phase = vcam::ideal_raw_phase(input.modulation_khz, 0.0);
        c.chip_file = vcam::drnu_chip_file(input);
        c.package =
            vcam::calibration_package(vcam::zip_archive({{vcam::chip_file_name(1), c.chip_file}}));
#endif
        return c;
    }();
    return calib;
}

// Turns a clean stream source into one that misbehaves.
using StreamBreaker =
    std::function<std::shared_ptr<vcam::StreamSource>(std::shared_ptr<vcam::StreamSource>)>;

// One camera on the bus with a flash and a frame stream, and a handle for it. With
// `with_package` the camera is an EPC camera holding a factory calibration package.
struct Rig {
    explicit Rig(bool with_package = false) : calibration(with_package) {
        vcam::Bus::get().reset();
        vcam::CameraConfig cfg;
        // Without the package, a driver without a processing pipeline behind it.
        cfg.product = with_package ? "TV320-E2-1.3" : "TV320-T0-1.0";
        cam = vcam::Bus::get().add_camera(cfg);
#ifdef TARVO_MATRIX_CALIBRATION
        if (with_package)
            vcam::install_epc_sensor(*cam);
#endif
        flash = std::make_shared<vcam::Flash>();
        flash->store(kDataType, 3, stored);
        cam->set_command_extension(vcam::kTypeAction, flash);
        clean_stream();
        dir.enter();
        std::ofstream(kImageName, std::ios::binary)
            .write(reinterpret_cast<const char *>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    }
    ~Rig() {
        close();
    }

    // The frame stream and, on a camera with a package, the upload stream.
    void set_streams(const StreamBreaker &breaker) {
        cam->set_stream_source(breaker(vcam::make_camera_stream()));
#ifdef TARVO_MATRIX_CALIBRATION
        if (calibration) {
            const std::vector<uint8_t> &package = factory_calibration().package;
            vcam::install_factory_calibration(*cam, package);
            cam->set_upload_source(
                breaker(vcam::make_bytes_source(vcam::calibration_frame(package), kPackagePiece)));
        }
#endif
    }
    // Runs `turn_on` once, on the thread that sets parameter 0 to data upload.
    void on_upload_mode(std::function<void()> turn_on) {
        cam->set_param_observer([turn_on = std::move(turn_on), done = false](
                                    uint8_t id, std::span<const uint8_t> value) mutable {
            if (done || id != vcam::kParamMode || value.empty() ||
                value[0] != vcam::kModeDataUpload)
                return;
            done = true;
            turn_on();
        });
    }
    void clean_stream() {
        set_streams([](std::shared_ptr<vcam::StreamSource> clean) { return clean; });
    }
    bool open() {
        return tarvo_dev_open(&dev) != nullptr &&
               tarvo_cap_set_frame_buffer(&dev, nullptr, 4 * TARVO_CAP_FRAME_UNIT);
    }
    bool start() {
        return open() && tarvo_cap_start(&dev);
    }
    void close() {
        if (dev.ctx != nullptr)
            tarvo_dev_close(&dev);
        dev = tarvo_dev_t{};
    }

    const bool calibration;
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
    bool reads_stream = false;           // stream faults may or may not let it succeed
    // Runs on the EPC camera with a factory package; the fault turns on when the camera is
    // switched into data-upload mode, so that it meets the fetch rather than the open before.
    bool calibration = false;
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

// What a calibration fetch may have left: every file but the two of the data transfers.
std::vector<fs::path> calibration_files(const fs::path &dir) {
    std::vector<fs::path> out;
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name != kImageName && name != kUploadName)
            out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// True when the calibration package arrived: the parameter file and the distance-image file
// hold the two parts of the per-chip file.
bool calibration_complete(const fs::path &dir) {
    const FactoryCalibration &calib = factory_calibration();
    const std::vector<fs::path> files = calibration_files(dir);
    if (files.size() != 2)
        return false;
    std::string param;
    std::string images;
    for (const fs::path &p : files)
        (fs::file_size(p) == calib.param_bytes ? param : images) = tarvo::test::read_file(p);
    return param + images == std::string(calib.chip_file.begin(), calib.chip_file.end());
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
        {"streaming", start, fetch_frames, false, true},
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
#ifdef TARVO_MATRIX_CALIBRATION
        // The open itself returns the handle even when the package did not arrive; the
        // operation succeeded when both are there.
        {"calib fetch", nothing,
         [](Rig &r) {
             return tarvo_dev_open(&r.dev) != nullptr && calibration_complete(r.dir.path());
         },
         true, true, true},
#endif
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

// `clean`'s data with the misbehaviour after every second step, over and over.
StreamBreaker every_third_step(StreamStep bad) {
    return [bad](std::shared_ptr<vcam::StreamSource> clean) -> std::shared_ptr<vcam::StreamSource> {
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
        mixed->inner = std::move(clean);
        mixed->bad = bad;
        return mixed;
    };
}

const std::vector<FaultCase> &faults() {
    static const std::vector<FaultCase> cases = {
        {"stall",
         [](Rig &r) {
             on_all_commands(r, Fault::stall(-1, -1));
             r.set_streams(every_third_step(StreamStep::stall_step()));
         },
         nullptr, kCommands | kStream},
        {"silence",
         [](Rig &r) {
             on_all_commands(r, Fault::silent(-1, -1));
             r.set_streams([](std::shared_ptr<vcam::StreamSource>) {
                 return vcam::make_script_source(
                     {StreamStep::silence(std::chrono::milliseconds(500))}, true);
             });
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
             r.set_streams([](std::shared_ptr<vcam::StreamSource> clean) {
                 return vcam::make_damaging_source(std::move(clean), 5000);
             });
         },
         nullptr, kStream},
        {"stream errors",
         [](Rig &r) { r.set_streams(every_third_step(StreamStep::error_step(EPROTO))); }, nullptr,
         kStream},
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

std::string names_of(const std::vector<fs::path> &paths) {
    std::string out;
    for (const fs::path &p : paths)
        out += p.filename().string() + " (" + std::to_string(fs::file_size(p)) + " bytes) ";
    return out;
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
    // The open fetched what the faulty one did not.
    if (r.calibration) {
        EXPECT_TRUE(calibration_complete(r.dir.path()))
            << "after recovery: " << names_of(calibration_files(r.dir.path()));
    }
}

// What a data read leaves: nothing, or the complete stored data; what a calibration fetch
// leaves: nothing, or both calibration files complete. Never a partial or temporary file.
void expect_no_partial_file(const Rig &r) {
    const fs::path upload = r.dir.path() / kUploadName;
    if (fs::exists(upload)) {
        EXPECT_EQ(tarvo::test::read_file(upload), std::string(r.stored.begin(), r.stored.end()));
    }
    const std::vector<fs::path> others = calibration_files(r.dir.path());
    const bool allowed = others.empty() || (r.calibration && calibration_complete(r.dir.path()));
    EXPECT_TRUE(allowed) << "left behind: " << names_of(others);
}

// The result the operation must report under the fault, or nullopt when either is right.
std::optional<bool> expected_result(const Operation &op, const FaultCase &fault) {
    if (fault.hits & kAnything)
        return std::nullopt;
    if (fault.hits & kBus) {
        if (op.sends_commands || std::string(op.name) == "list")
            return false;
        return std::nullopt;  // frames fetched before the camera left still count
    }
    if ((fault.hits & kCommands) && op.sends_commands)
        return false;
    if ((fault.hits & kStream) && op.reads_stream)
        return std::nullopt;
    return true;
}

TEST(FaultMatrix, EveryOperationSurvivesEveryFault) {
    LogCapture log(5);  // quiet: failures are expected in most cells
    std::string table = "faults:";
    for (size_t i = 0; i < faults().size(); ++i)
        table.append(" ")
            .append(std::to_string(i + 1))
            .append(" ")
            .append(faults()[i].name)
            .append(",");
    table += "\n";
    for (const Operation &op : operations()) {
        std::string row = op.name;
        row.resize(16, ' ');
        for (const FaultCase &fault : faults()) {
            SCOPED_TRACE(std::string(op.name) + " with " + fault.name);
            Rig rig(op.calibration);
            ASSERT_TRUE(op.prepare(rig));
            std::mutex turned_on;
            bool on = false;
            std::thread beside;
            const auto turn_on = [&] {
                std::lock_guard lock(turned_on);
                on = true;
                fault.inject(rig);
                if (fault.during)
                    beside = std::thread(fault.during, std::ref(rig));
            };
            if (op.calibration)
                rig.on_upload_mode(turn_on);
            else
                turn_on();
            const bool ok = op.run(rig);
            rig.cam->set_param_observer(nullptr);
            {
                std::lock_guard lock(turned_on);
                if (beside.joinable())
                    beside.join();
                EXPECT_TRUE(on) << "the fault never met the operation";
            }
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
