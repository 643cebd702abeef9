// tarvo view: the first camera live in a browser. One thread captures and decodes into a
// latest-frame slot; the HTTP server hands the newest frame to each page as compact binary
// (long poll), so a slow page only skips frames and never slows the capture. A camera that leaves
// the bus is waited for while the page keeps being served; it resumes with the page's settings.
// The capture thread also records its raw frames into an MCAP file when the page asks for it.
// With --source dds:NS a thread fills the slot from a camera published on the DDS bus instead.
#include <httplib.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "commands.h"
#include "plumb_bob.h"
#include "ply_file.h"
#include "reconnect.h"
#include "recorder.h"
#include "view_assets.h"
#if TARVO_TOOL_DDS
#include <array>
#include <optional>

#include "dds_subscriber.h"
#endif

namespace tarvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

struct ViewOptions {
    std::string bind = "127.0.0.1";
    int port = 8080;
    unsigned reconnect_wait = kWaitUntilStopped;  // a viewer waits for its camera by default
    CameraSelector camera;
    CaptureSettings settings;
    std::vector<std::string> allow_hosts;  // further names of this machine
    std::string record_dir;                // empty: the page cannot record
    std::string bus_namespace;             // with --source dds:NS; empty: the camera
    uint32_t domain = 0;
};

constexpr const char *kBusSettingsRefused = "settings belong to the publishing camera";
constexpr const char *kRecordOff = "recording is off: start the viewer with --record-dir DIR";
constexpr const char *kBusRecordRefused =
    "recording needs the camera on this machine: record where it is published";

// Where the capture stands. Away: the camera left, the handle is closed until it returns.
// Stopped: capture ended for good (failed, or the camera did not return).
enum class CameraState { Capturing, Away, Stopped };

const char *state_name(CameraState state) {
    switch (state) {
        case CameraState::Capturing:
            return "capturing";
        case CameraState::Away:
            return "away";
        case CameraState::Stopped:
            break;
    }
    return "stopped";
}

// Limits of one request: the page's requests are small, so anything larger is refused
// (memory), and every socket wait is bounded (slow clients).
constexpr size_t kMaxHeaders = 64;
constexpr const char *kTokenCookie = "tarvo_token";
constexpr size_t kMaxBody = 16 * 1024;
constexpr time_t kSocketTimeoutSeconds = 5;
constexpr size_t kKeepAliveRequests = 100;
// A request's head and body must arrive within this time and this many bytes.
constexpr Clock::duration kRequestDeadline = std::chrono::seconds(10);
constexpr size_t kMaxRequestBytes = 64 * 1024 + kMaxBody;
// Long polls hold a worker each; several pages plus a few stalled clients must not starve it.
constexpr size_t kWorkers = 32;

// Distances at or above this many metres are the sensor's invalid codes.
constexpr float kInvalidMetres = 60.0f;

// The newest decoded frame: depth in millimetres (0 = no distance) and gray, row-major.
struct Frame {
    uint32_t seq = 0;
    uint16_t width = 0, height = 0;
    uint16_t index = 0;
    double captured_ms = 0;  // since the server started
    std::vector<uint16_t> depth_mm, gray;
    std::vector<float> distance;  // metres, as decoded, for the point-cloud file
    // Unit viewing rays (x, y, z per pixel) of a camera seen on the bus; none: the device's lens.
    std::shared_ptr<const std::vector<float>> rays;
    // The pipeline's figures for this frame, read on the thread that decoded it (the pipeline's
    // state is process-wide and that thread writes it).
    double sensor_temp = 0, illumination_temp = 0;
    int modulation_khz = 0;
};

// The page's images of a frame, from its distances in metres (invalid codes, NaN and 0 are no
// distance) and gray amplitudes (none: black). Both sources make their frames with it.
void set_images(Frame &out, uint16_t width, uint16_t height, std::vector<float> distance,
                const std::vector<float> *gray) {
    const size_t pixels = distance.size();
    out.width = width;
    out.height = height;
    out.distance = std::move(distance);
    out.depth_mm.resize(pixels);
    out.gray.assign(pixels, 0);
    for (size_t i = 0; i < pixels; ++i) {
        const float d = out.distance[i];
        out.depth_mm[i] =
            d > 0 && d < kInvalidMetres ? static_cast<uint16_t>(std::lround(d * 1000.0f)) : 0;
        if (gray && !std::isnan((*gray)[i]))
            out.gray[i] = static_cast<uint16_t>(std::clamp((*gray)[i], 0.0f, 65535.0f));
    }
}

// One client connection: every request must arrive within a deadline and within a byte budget,
// whatever the client trickles, and every socket wait is bounded.
class ClientStream : public httplib::Stream {
  public:
    explicit ClientStream(socket_t sock) : sock_(sock) {}

    void next_request() {
        deadline_ = Clock::now() + kRequestDeadline;
        budget_ = kMaxRequestBytes;
        answering_ = false;
    }
    bool is_readable() const override { return next_ != end_ || wait(POLLIN); }
    bool is_writable() const override {
        start_answer();
        return wait(POLLOUT);
    }
    // Buffered: the server reads the request head a byte at a time.
    ssize_t read(char *ptr, size_t size) override {
        if (next_ == end_) {
            if (budget_ == 0 || !wait(POLLIN))
                return -1;
            const ssize_t n = recv(sock_, buffer_, std::min(sizeof buffer_, budget_), 0);
            if (n <= 0)
                return n;
            budget_ -= static_cast<size_t>(n);
            next_ = 0;
            end_ = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, end_ - next_);
        std::memcpy(ptr, buffer_ + next_, n);
        next_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char *ptr, size_t size) override {
        start_answer();
        return wait(POLLOUT) ? send(sock_, ptr, size, MSG_NOSIGNAL) : -1;
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        address(getsockname, ip, port);
    }
    socket_t socket() const override { return sock_; }

  private:
    // The answer has a deadline of its own from its first byte on: the time its handler took
    // (a recording's file being set up, a capture restart) is not the client's.
    void start_answer() const {
        if (answering_)
            return;
        answering_ = true;
        deadline_ = Clock::now() + kRequestDeadline;
    }
    // Waits for the socket until the socket time-out or the deadline, if sooner.
    bool wait(short events) const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::min<Clock::duration>(
                deadline_ - Clock::now(), std::chrono::seconds(kSocketTimeoutSeconds)));
        if (left.count() <= 0)
            return false;
        pollfd fd{sock_, events, 0};
        return poll(&fd, 1, static_cast<int>(left.count())) > 0 && (fd.revents & events);
    }
    void address(int (*get)(int, sockaddr *, socklen_t *), std::string &ip, int &port) const {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        char host[NI_MAXHOST] = "", serv[NI_MAXSERV] = "";
        if (get(sock_, reinterpret_cast<sockaddr *>(&addr), &len) == 0 &&
            getnameinfo(reinterpret_cast<sockaddr *>(&addr), len, host, sizeof host, serv,
                        sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(serv);
        }
    }

    const socket_t sock_;
    mutable Clock::time_point deadline_ = Clock::now();
    mutable bool answering_ = false;
    size_t budget_ = 0;
    char buffer_[4096];
    size_t next_ = 0, end_ = 0;
};

// The HTTP server with its client connections in view, so that stopping it closes them too and
// no stalled client holds up the exit.
class ViewServer : public httplib::Server {
  public:
    void shut() {
        stop();
        std::lock_guard lock(clients_mutex_);
        closing_ = true;
        for (const socket_t sock : clients_)
            ::shutdown(sock, SHUT_RDWR);
    }

  private:
    bool process_and_close_socket(socket_t sock) override {
        bool served = false;
        if (enter(sock)) {
            served = serve(sock);
            std::lock_guard lock(clients_mutex_);
            clients_.erase(sock);
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return served;
    }
    bool enter(socket_t sock) {
        std::lock_guard lock(clients_mutex_);
        if (closing_)
            return false;
        clients_.insert(sock);
        return true;
    }
    // Requests one after another on the connection, as many as keep-alive allows.
    bool serve(socket_t sock) {
        ClientStream stream(sock);
        bool ok = false;
        for (size_t left = kKeepAliveRequests; left > 0 && is_running(); --left) {
            stream.next_request();
            if (!stream.is_readable())
                break;
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed)
                break;
        }
        return ok;
    }

    std::mutex clients_mutex_;
    std::set<socket_t> clients_;
    bool closing_ = false;
};

class Viewer {
  public:
    // `dev`: the camera to capture from; null for a camera on the DDS bus (start_bus).
    Viewer(tarvo_dev_t *dev, std::string token, unsigned reconnect_wait)
        : dev_(dev), token_(std::move(token)), reconnect_wait_(reconnect_wait) {}

    // The folder of the recordings the page starts; empty: the page cannot record.
    void set_record_dir(std::string dir) { record_dir_ = std::move(dir); }

    // The settings the command line applied at open: the page shows them and a camera that
    // returns gets them again.
    void adopt(const CaptureSettings &s) {
        integration_us_ = s.integration_time_us;
        frame_rate_ = s.frame_rate;
        min_amplitude_ = static_cast<int>(s.min_amplitude.value_or(0));
        hdr_ = s.hdr;
        undistort_ = s.undistort;
        auto_exposure_ = s.auto_exposure;
    }

    bool start_capture() {
        reset_discarded_frames();
        if (!begin_capture())
            return false;
        capture_thread_ = std::thread([this] { capture_loop(); });
        return true;
    }

#if TARVO_TOOL_DDS
    // Shows the camera published under `ns` on `domain`; false with a message when the bus
    // cannot be joined.
    bool start_bus(const std::string &ns, uint32_t domain);
#endif

    void stop_capture() {
        stopping_ = true;
        slot_changed_.notify_all();
        if (capture_thread_.joinable())
            capture_thread_.join();
        if (!dev_ || !camera_open_)
            return;
        tarvo_cap_stop(dev_);
        tarvo_cap_set_callback_on_error(dev_, nullptr);
    }

    void routes(ViewServer &server);
    // The Host values this server answers to; guard_all: every request needs the token (the
    // server is reachable beyond this machine).
    void set_hosts(std::set<std::string> hosts, bool guard_all) {
        hosts_ = std::move(hosts);
        guard_all_ = guard_all;
    }
    // True when the viewer ended because its camera left and did not return.
    bool camera_lost() const {
        return camera_lost_;
    }

  private:
    bool begin_capture();
    void capture_loop();
    bool wait_for_camera();
    bool restart_on_return();
    void restore_settings();
    void set_camera(CameraState state, std::string note);
    void give_up(const char *why);
    bool camera_ready(httplib::Response &res) const;
    bool decode(const std::vector<uint8_t> &raw, const tarvo_frame_info_t &info, Frame &out);
    void publish(Frame &frame);
    void count_frame(const tarvo_frame_info_t &info);
    void note_rate();
    void record(const std::vector<uint8_t> &raw, const tarvo_frame_info_t &info);
    std::string start_recording();
    std::string stop_recording();
    bool on_capture_thread(std::function<std::string()> run, httplib::Response &res);
    void switch_recording(const httplib::Request &req, httplib::Response &res);
    std::string source_name() const;
#if TARVO_TOOL_DDS
    struct BusState;
    void bus_loop();
    void take_sample(const dds::Received &r, BusState &bus);
    void show_bus_frame(BusState &bus, bool with_gray);
    void skip_sample(BusState &bus, const char *what, const std::string &why);
#endif

    bool host_allowed(const httplib::Request &req) const;
    std::pair<int, const char *> refusal(const httplib::Request &req) const;
    bool may_change(const httplib::Request &req) const;
    bool has_token(const httplib::Request &req) const;
    void serve_frame(const httplib::Request &req, httplib::Response &res);
    void serve_status(httplib::Response &res);
    void serve_rays(httplib::Response &res);
    void serve_cmap(const httplib::Request &req, httplib::Response &res);
    void serve_ply(httplib::Response &res);
    void change(const httplib::Request &req, httplib::Response &res);
    std::string apply(const std::string &key, const std::string &value);
    std::optional<uint32_t> read_param(int id);
    int points(std::vector<float> &out, const Frame &frame, const std::vector<float> &dist,
               bool xyzd);
    bool write_param(int id, uint32_t value, int bytes);

    tarvo_dev_t *dev_;
    const std::string token_;
    const unsigned reconnect_wait_;
    std::set<std::string> hosts_;
    bool guard_all_ = false;
    ViewServer *server_ = nullptr;
    const Clock::time_point started_ = Clock::now();

    std::thread capture_thread_;
    std::atomic<bool> stopping_{false};
    // The handle is open (false from an unplug until the camera is back); capture thread only
    // while it runs.
    std::atomic<bool> camera_open_{true};
    std::atomic<bool> camera_lost_{false};
    std::atomic<uint32_t> resumed_{0};

    std::mutex slot_mutex_;
    std::condition_variable slot_changed_;
    std::shared_ptr<const Frame> latest_;

    // Rate and losses, written by the capture thread.
    std::atomic<uint32_t> received_{0}, dropped_{0};
    std::atomic<double> fps_{0};
    FrameGaps gaps_;
    Clock::time_point rate_since_ = Clock::now();
    uint32_t rate_count_ = 0;

    // One camera change or parameter read at a time. The capture thread changes camera_ under
    // it, so a request that finds the camera capturing may use the handle until it unlocks.
    std::mutex control_mutex_;
    std::atomic<CameraState> camera_{CameraState::Capturing};
    std::string camera_note_;  // the last change of camera_, for the page; guarded
    // The settings made on the page, restored when the camera returns; guarded.
    bool auto_exposure_ = false, undistort_ = false, hdr_ = false;
    unsigned ae_target_ = 20;
    int min_amplitude_ = 0;
    std::optional<unsigned> integration_us_, frame_rate_;

    // Changes from the page wait here for the capture thread, which applies them between
    // frames: the driver's filters and the decoding pipeline are only touched by that thread.
    struct Change {
        std::function<std::string()> run;  // empty when done, else why not
        std::promise<std::string> done;
    };
    std::mutex pending_mutex_;
    std::vector<std::shared_ptr<Change>> pending_;
    bool apply_pending();
    void refuse_pending(const std::string &why);

    // Recording: the recorder belongs to the capture thread, which opens and finishes it with
    // control_mutex_ held; the page sees the file and the count.
    std::string record_dir_;
    std::unique_ptr<recording::Recorder> recorder_;
    std::atomic<uint64_t> recorded_{0};
    std::string record_file_, record_note_;  // guarded by control_mutex_

#if TARVO_TOOL_DDS
    std::string bus_namespace_;
    std::unique_ptr<dds::Subscriber> subscriber_;
#endif
};

bool Viewer::begin_capture() {
    constexpr uint32_t kBufferFrames = 10;
    return tool::start_capture(dev_, kBufferFrames);
}

void Viewer::count_frame(const tarvo_frame_info_t &info) {
    dropped_ += gaps_.lost_before(info.frame_idx);
    note_rate();
}

void Viewer::note_rate() {
    ++received_;
    ++rate_count_;
    const double secs = std::chrono::duration<double>(Clock::now() - rate_since_).count();
    if (secs >= 1.0) {
        fps_ = rate_count_ / secs;
        rate_count_ = 0;
        rate_since_ = Clock::now();
    }
}

bool Viewer::decode(const std::vector<uint8_t> &raw, const tarvo_frame_info_t &info, Frame &out) {
    tarvo_frame_info_t described = info;
    const int pixels = static_cast<int>(info.width * info.height);
    if (pixels <= 0 || info.width > 65535 || info.height > 65535)
        return false;
    std::vector<float> distance(pixels), gray(pixels);
    const uint32_t size = std::min<uint32_t>(info.frame_size, raw.size());
    if (tarvo_frame_get_distance(dev_, distance.data(), pixels, raw.data(), size, &described) !=
        pixels)
        return false;
    const bool have_gray =
        tarvo_frame_get_gray(dev_, gray.data(), pixels, raw.data(), size, &described) == pixels;
    out.sensor_temp = temperatureGetTemperatureByFrameHeader() / 10.0;
    out.illumination_temp = temperatureGetIbTemperatureByFrameHeader() / 10.0;
    out.modulation_khz = configGetModulationFrequency();
    out.index = info.frame_idx;
    set_images(out, static_cast<uint16_t>(info.width), static_cast<uint16_t>(info.height),
               std::move(distance), have_gray ? &gray : nullptr);
    return true;
}

void Viewer::publish(Frame &frame) {
    frame.captured_ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
    {
        std::lock_guard lock(slot_mutex_);
        frame.seq = latest_ ? latest_->seq + 1 : 1;
        latest_ = std::make_shared<const Frame>(std::move(frame));
    }
    slot_changed_.notify_all();
}

void Viewer::capture_loop() {
    std::vector<uint8_t> raw(4 * TARVO_CAP_FRAME_UNIT);
    while (!stopping_) {
        if (!apply_pending()) {
            set_camera(CameraState::Stopped, "capture did not restart");
            break;
        }
        tarvo_frame_info_t info{};
        const int n =
            tarvo_cap_get_frames(dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info);
        if (n <= 0 && camera_left(dev_)) {
            refuse_pending("the camera left; waiting for it to return");
            if (!wait_for_camera())
                break;
            continue;
        }
        if (n < 0) {
            const std::string why = std::string("capture failed: ") + tarvo_error_name(n);
            fail("%s", why.c_str());
            set_camera(CameraState::Stopped, why);
            break;
        }
        if (n == 0)
            continue;  // time-out: try again
        count_frame(info);
        if (recorder_)
            record(raw, info);
        Frame frame;
        if (decode(raw, info, frame))
            publish(frame);
    }
    refuse_pending("capture stopped");
    std::lock_guard lock(control_mutex_);
    stop_recording();
}

// A file of the recording folder named after the local time, with a number added when a
// recording of the same second is there already.
std::string recording_path(const std::string &dir) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "tarvo_%Y%m%d_%H%M%S", &local);
    std::filesystem::path path = std::filesystem::path(dir) / (std::string(stamp) + ".mcap");
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(path, ec); ++n)
        path =
            std::filesystem::path(dir) / (std::string(stamp) + "_" + std::to_string(n) + ".mcap");
    return path.string();
}

// Creates the next file of the recording folder; its frames follow from the next one on. On the
// capture thread with control_mutex_ held: the camera's description reads the decoding
// pipeline's state, which that thread writes.
std::string Viewer::start_recording() {
    if (recorder_)
        return "";
    const std::string path = recording_path(record_dir_);
    auto recorder = std::make_unique<recording::Recorder>();
    recording::RecordOptions options;
    // The page's decode settings, so the raw frames decode later as they were shown.
    if (min_amplitude_ > 0)
        options.decoding.emplace_back("min_amplitude", std::to_string(min_amplitude_));
    options.decoding.emplace_back("hdr", hdr_ ? "on" : "off");
    options.decoding.emplace_back("undistort", undistort_ ? "on" : "off");
    std::string error;
    if (!recorder->open(dev_, path, options, error)) {
        recorder.reset();
        std::remove(path.c_str());
        fail("%s", error.c_str());
        return "cannot record: " + error;
    }
    recorder_ = std::move(recorder);
    recorded_ = 0;
    record_file_ = path;
    record_note_ = "recording";
    std::fprintf(stderr, "tarvo view: recording to %s\n", path.c_str());
    return "";
}

// Finishes the file; with control_mutex_ held, on the capture thread.
std::string Viewer::stop_recording() {
    if (!recorder_)
        return "";
    std::string error;
    const bool ok = recorder_->finish(error);
    recorder_.reset();
    if (!ok) {
        fail("%s", error.c_str());
        record_note_ = error;
        return error;
    }
    record_note_ = "recorded " + std::to_string(recorded_.load()) + " frames";
    std::fprintf(stderr, "tarvo view: recorded %" PRIu64 " frames to %s\n", recorded_.load(),
                 record_file_.c_str());
    return "";
}

// One captured frame into the recording; a recording that fails ends with what it has.
void Viewer::record(const std::vector<uint8_t> &raw, const tarvo_frame_info_t &info) {
    tarvo_frame_time_t time{};
    tarvo_cap_get_frame_times(dev_, &time, 1);
    std::string error;
    if (info.frame_size > raw.size())
        error = "frame " + std::to_string(info.frame_idx) + " is larger than any frame";
    else if (recorder_->add_frame(raw.data(), info, time, error)) {
        ++recorded_;
        return;
    }
    fail("recording stopped: %s", error.c_str());
    std::lock_guard lock(control_mutex_);
    stop_recording();
    record_note_ = "recording stopped: " + error;
}

#if TARVO_TOOL_DDS
// What the bus brought and the page has not shown yet: a frame's depth and gray come as two
// samples with one stamp. The rays follow the newest camera info.
struct Viewer::BusState {
    std::optional<ros::Image> depth, gray;
    std::shared_ptr<const std::vector<float>> rays;
    uint32_t rays_width = 0, rays_height = 0;
    std::array<double, 9> k{};
    std::vector<double> d;
    uint16_t shown = 0;
    std::set<std::string> reported;  // each kind of malformed sample is logged once
};

// Why an image cannot be shown as `encoding` of `bytes` per pixel; empty when it can.
std::string image_fault(const ros::Image &image, const char *encoding, uint32_t bytes) {
    if (image.encoding != encoding)
        return "encoding '" + image.encoding + "', expected " + encoding;
    if (image.width == 0 || image.height == 0 || image.width > 65535 || image.height > 65535)
        return "size " + std::to_string(image.width) + " x " + std::to_string(image.height);
    if (image.is_bigendian)
        return "big-endian data";
    if (uint64_t{image.step} < uint64_t{image.width} * bytes ||
        uint64_t{image.step} * image.height > image.data.size())
        return "data shorter than its rows";
    return "";
}

// The pixels of a checked image as floats, row by row.
template <typename T>
std::vector<float> image_values(const ros::Image &image) {
    std::vector<float> out(size_t{image.width} * image.height);
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < image.width; ++x) {
            T v;
            std::memcpy(&v, &image.data[size_t{y} * image.step + size_t{x} * sizeof(T)], sizeof v);
            out[size_t{y} * image.width + x] = static_cast<float>(v);
        }
    return out;
}

// Unit rays of a camera of intrinsics K and plumb_bob distortion D, as its CameraInfo gives them.
std::shared_ptr<const std::vector<float>> camera_rays(const std::array<double, 9> &k,
                                                      const std::vector<double> &d, uint32_t width,
                                                      uint32_t height) {
    auto rays = std::make_shared<std::vector<float>>(size_t{3} * width * height);
    float *p = rays->data();
    for (uint32_t v = 0; v < height; ++v)
        for (uint32_t u = 0; u < width; ++u, p += 3) {
            const auto ray = recording::pixel_ray(k, d, u, v);
            std::copy(ray.begin(), ray.end(), p);
        }
    return rays;
}

bool valid_intrinsics(const ros::CameraInfo &info) {
    const auto &k = info.k;
    return info.width > 0 && info.height > 0 && info.width <= 65535 && info.height <= 65535 &&
           std::isfinite(k[0]) && std::isfinite(k[4]) && std::isfinite(k[2]) &&
           std::isfinite(k[5]) && k[0] > 0 && k[4] > 0;
}

bool same_stamp(const ros::Image &a, const ros::Image &b) {
    return a.header.stamp.sec == b.header.stamp.sec &&
           a.header.stamp.nanosec == b.header.stamp.nanosec && a.width == b.width &&
           a.height == b.height;
}

bool Viewer::start_bus(const std::string &ns, uint32_t domain) {
    std::string error;
    subscriber_ = dds::Subscriber::create(domain, ns, error);
    if (!subscriber_) {
        fail("%s", error.c_str());
        return false;
    }
    bus_namespace_ = ns;
    set_camera(CameraState::Capturing,
               "waiting for " + ns + " on DDS domain " + std::to_string(domain));
    capture_thread_ = std::thread([this] { bus_loop(); });
    return true;
}

void Viewer::bus_loop() {
    BusState bus;
    while (!stopping_)
        subscriber_->poll(200, [&](const dds::Received &r) { take_sample(r, bus); });
}

void Viewer::skip_sample(BusState &bus, const char *what, const std::string &why) {
    if (bus.reported.insert(std::string(what) + why).second)
        std::fprintf(stderr, "tarvo view: ignoring a malformed %s: %s\n", what, why.c_str());
}

void Viewer::take_sample(const dds::Received &r, BusState &bus) {
    switch (r.topic) {
        case dds::Topic::Depth:
            if (const std::string why = image_fault(r.image, "32FC1", 4); !why.empty())
                return skip_sample(bus, "depth image", why);
            if (bus.depth)
                show_bus_frame(bus, false);  // its gray did not come
            bus.depth = r.image;
            break;
        case dds::Topic::Gray:
            if (const std::string why = image_fault(r.image, "mono16", 2); !why.empty())
                return skip_sample(bus, "gray image", why);
            bus.gray = r.image;
            break;
        case dds::Topic::CameraInfo:
            if (!valid_intrinsics(r.camera_info))
                return skip_sample(bus, "camera info", "no focal lengths and principal point");
            if (!bus.rays || bus.k != r.camera_info.k || bus.d != r.camera_info.d ||
                bus.rays_width != r.camera_info.width || bus.rays_height != r.camera_info.height) {
                bus.k = r.camera_info.k;
                // Other distortion models are taken as none: their terms mean other things.
                bus.d = r.camera_info.distortion_model == "plumb_bob" ? r.camera_info.d
                                                                      : std::vector<double>{};
                bus.rays_width = r.camera_info.width;
                bus.rays_height = r.camera_info.height;
                bus.rays = camera_rays(bus.k, bus.d, bus.rays_width, bus.rays_height);
            }
            return;
        case dds::Topic::Points:
            return;  // the page makes its cloud from the depth and the rays
    }
    if (bus.depth && bus.gray && same_stamp(*bus.depth, *bus.gray))
        show_bus_frame(bus, true);
}

void Viewer::show_bus_frame(BusState &bus, bool with_gray) {
    const ros::Image &depth = *bus.depth;
    Frame frame;
    const std::vector<float> gray =
        with_gray ? image_values<uint16_t>(*bus.gray) : std::vector<float>();
    set_images(frame, static_cast<uint16_t>(depth.width), static_cast<uint16_t>(depth.height),
               image_values<float>(depth), with_gray ? &gray : nullptr);
    frame.index = ++bus.shown;
    if (bus.rays && bus.rays_width == depth.width && bus.rays_height == depth.height)
        frame.rays = bus.rays;
    bus.depth.reset();
    if (with_gray)
        bus.gray.reset();
    if (received_ == 0)
        set_camera(CameraState::Capturing, "receiving " + source_name());
    note_rate();
    publish(frame);
}
#endif

// Applies the page's waiting changes. The camera reads its frame rate when capture starts, so a
// new rate restarts capture. False when capture did not start again.
bool Viewer::apply_pending() {
    std::vector<std::shared_ptr<Change>> changes;
    {
        std::lock_guard lock(pending_mutex_);
        changes.swap(pending_);
    }
    if (changes.empty())
        return true;
    std::lock_guard lock(control_mutex_);
    const auto rate_before = frame_rate_;
    for (const auto &change : changes)
        change->done.set_value(change->run());
    if (frame_rate_ == rate_before)
        return true;
    tarvo_cap_stop(dev_);
    gaps_.restart();
    return begin_capture();
}

void Viewer::refuse_pending(const std::string &why) {
    std::lock_guard lock(pending_mutex_);
    for (const auto &change : pending_)
        change->done.set_value(why);
    pending_.clear();
}

void Viewer::set_camera(CameraState state, std::string note) {
    std::lock_guard lock(control_mutex_);
    camera_ = state;
    camera_note_ = std::move(note);
}

// The camera left: the page hears of it, changes wait, and capture resumes with the page's
// settings when the camera returns. False when it did not return (or the viewer stops).
bool Viewer::wait_for_camera() {
    set_camera(CameraState::Away, "camera left; waiting for it to return");
    fps_ = 0;
    if (reconnect_wait_ == 0) {
        give_up("the camera left");
        return false;
    }
    camera_open_ = false;
    const ReconnectWait wait{reconnect_wait_, [this] { return stopping_.load(); }};
    if (!resume_after_unplug(dev_, wait, [this](tarvo_dev_t *) { return restart_on_return(); })) {
        if (!stopping_)
            give_up("the camera did not come back");
        return false;
    }
    camera_open_ = true;
    gaps_.restart();
    rate_count_ = 0;
    rate_since_ = Clock::now();
    ++resumed_;
    set_camera(CameraState::Capturing, "camera back, capture resumed");
    return true;
}

bool Viewer::restart_on_return() {
    std::lock_guard lock(control_mutex_);
    restore_settings();
    return begin_capture();
}

// A camera that was away may have lost power and with it what the page had set.
void Viewer::restore_settings() {
    std::vector<std::pair<std::string, std::string>> settings;
    if (integration_us_)
        settings.emplace_back("integration", std::to_string(*integration_us_));
    if (frame_rate_)
        settings.emplace_back("frame_rate", std::to_string(*frame_rate_));
    if (min_amplitude_ > 0)
        settings.emplace_back("min_amplitude", std::to_string(min_amplitude_));
    if (undistort_)
        settings.emplace_back("undistort", "1");
    if (hdr_)
        settings.emplace_back("hdr", "1");
    if (auto_exposure_)
        settings.emplace_back("auto_exposure", "1");
    for (const auto &[key, value] : settings) {
        const std::string why = apply(key, value);
        if (!why.empty())
            std::fprintf(stderr, "tarvo: %s not restored: %s\n", key.c_str(), why.c_str());
    }
}

// The viewer ends with a failure: the server stops once it runs (it may be about to start).
void Viewer::give_up(const char *why) {
    fail("%s", why);
    set_camera(CameraState::Stopped, why);
    camera_lost_ = true;
    while (!stopping_ && !server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server_->shut();
}

// Whether the handle may be used; otherwise the answer says why not (503, JSON). Called with
// control_mutex_ held.
bool Viewer::camera_ready(httplib::Response &res) const {
    if (camera_ == CameraState::Capturing)
        return true;
    const std::string why = camera_ == CameraState::Away
                                ? "the camera left; waiting for it to return"
                                : "no camera: " + camera_note_;
    res.status = 503;
    res.set_header("Cache-Control", "no-store");
    res.set_content("{\"ok\":false,\"error\":" + json_string(why) + "}\n", "application/json");
    return false;
}

// Requests must name this server (or localhost) as their host, so a page of another site that
// a DNS name rebinds to this address gets nothing.
bool Viewer::host_allowed(const httplib::Request &req) const {
    return hosts_.count(req.get_header_value("Host")) != 0;
}

// The run's token: in the X-Tarvo-Token header, the address's "token" or the page's cookie.
bool Viewer::has_token(const httplib::Request &req) const {
    if (req.get_header_value("X-Tarvo-Token") == token_ ||
        (req.has_param("token") && req.get_param_value("token") == token_))
        return true;
    const std::string cookies = "; " + req.get_header_value("Cookie") + ";";
    return cookies.find("; " + std::string(kTokenCookie) + "=" + token_ + ";") != std::string::npos;
}

// Why a request is refused before routing (status 0: it is not).
std::pair<int, const char *> Viewer::refusal(const httplib::Request &req) const {
    if (req.headers.size() > kMaxHeaders)
        return {431, "too many header fields"};
    if (!host_allowed(req))
        return {403, "forbidden: host"};
    if (req.ranges.size() > 1 || req.get_header_value_count("Range") > 1)
        return {416, "one range at most"};
    if (guard_all_ && !has_token(req))
        return {403, "forbidden: token"};
    if (req.method == "POST" && !may_change(req))
        return {403, "forbidden: token or origin"};
    return {0, ""};
}

// A change needs the run's token, and a browser's Origin, when sent, must be this page's own.
bool Viewer::may_change(const httplib::Request &req) const {
    if (req.get_header_value("X-Tarvo-Token") != token_)
        return false;
    if (!req.has_header("Origin"))
        return true;
    return req.get_header_value("Origin") == "http://" + req.get_header_value("Host");
}

// Binary frame: "TVF1", u32 seq, u16 width, u16 height, u16 frame index, u16 0, f64 capture
// time in ms, then width x height u16 depth in mm, then as many u16 gray; little-endian.
std::string encode(const Frame &f) {
    const size_t pixels = f.depth_mm.size();
    std::string out(24 + 4 * pixels, '\0');
    char *p = out.data();
    std::memcpy(p, "TVF1", 4);
    std::memcpy(p + 4, &f.seq, 4);
    std::memcpy(p + 8, &f.width, 2);
    std::memcpy(p + 10, &f.height, 2);
    std::memcpy(p + 12, &f.index, 2);
    std::memcpy(p + 16, &f.captured_ms, 8);
    std::memcpy(p + 24, f.depth_mm.data(), 2 * pixels);
    std::memcpy(p + 24 + 2 * pixels, f.gray.data(), 2 * pixels);
    return out;
}

void Viewer::serve_frame(const httplib::Request &req, httplib::Response &res) {
    uint64_t after = 0;
    if (req.has_param("after")) {
        const auto n = parse_number(req.get_param_value("after"), UINT32_MAX);
        if (!n) {
            res.status = 400;
            res.set_content("bad 'after'\n", "text/plain");
            return;
        }
        after = *n;
    }
    std::shared_ptr<const Frame> frame;
    {
        std::unique_lock lock(slot_mutex_);
        slot_changed_.wait_for(lock, std::chrono::seconds(2),
                               [&] { return stopping_ || (latest_ && latest_->seq != after); });
        frame = latest_;
    }
    if (!frame || frame->seq == after) {
        res.status = 204;  // nothing new yet; ask again
        return;
    }
    // How long the frame waited in the slot, for the page's latency figure.
    const double age = std::chrono::duration<double, std::milli>(Clock::now() - started_).count() -
                       frame->captured_ms;
    res.set_header("X-Frame-Age-Ms", std::to_string(std::lround(age)));
    res.set_header("Cache-Control", "no-store");
    res.set_content(encode(*frame), "application/octet-stream");
}

std::optional<uint32_t> Viewer::read_param(int id) {
    tarvo_param_item_t item{};
    item.param_id = id;
    if (!tarvo_param_batch_get(dev_, &item, 1))
        return std::nullopt;
    uint32_t v = 0;
    std::memcpy(&v, item.param_val, std::min<size_t>(item.param_val_len, 4));
    return v;
}

bool Viewer::write_param(int id, uint32_t value, int bytes) {
    tarvo_param_item_t item{};
    item.param_id = id;
    item.param_val_len = static_cast<uint8_t>(bytes);
    std::memcpy(item.param_val, &value, bytes);
    return tarvo_param_batch_set(dev_, &item, 1);
}

void Viewer::serve_status(httplib::Response &res) {
    std::lock_guard lock(control_mutex_);
    // While the camera is away, what the page set stands in for what the camera would say.
    const bool ready = camera_ == CameraState::Capturing;
    const bool ask = ready && dev_;  // a camera on the bus has no parameters here
    const auto frame_rate = ask ? read_param(12) : frame_rate_;
    const auto integration = ask ? read_param(13) : integration_us_;
    std::shared_ptr<const Frame> frame;
    {
        std::lock_guard slot(slot_mutex_);
        frame = latest_;
    }
    const Frame none;
    const Frame &last = frame ? *frame : none;
    char text[768];
    const int len = std::snprintf(
        text, sizeof text,
        "{\"seq\":%u,\"received\":%u,\"fps\":%.2f,\"dropped\":%u,\"discarded\":%u,"
        "\"sensor_temp\":%.1f,\"illumination_temp\":%.1f,\"integration_us\":%d,"
        "\"frame_rate\":%d,\"modulation_khz\":%d,\"auto_exposure\":%s,\"ae_target\":%u,"
        "\"min_amplitude\":%d,\"undistort\":%s,\"hdr\":%s,\"capturing\":%s,"
        "\"camera\":\"%s\",\"resumed\":%u,\"camera_note\":",
        last.seq, received_.load(), fps_.load(), dropped_.load(), discarded_frames(),
        last.sensor_temp, last.illumination_temp,
        integration ? static_cast<int>(*integration & 0xffff) : -1,
        frame_rate ? static_cast<int>(*frame_rate) : -1, last.modulation_khz,
        auto_exposure_ ? "true" : "false", ae_target_, min_amplitude_,
        undistort_ ? "true" : "false", hdr_ ? "true" : "false",
        ready && !stopping_ ? "true" : "false", state_name(camera_), resumed_.load());
    const std::string body =
        std::string(text, std::clamp(len, 0, int(sizeof text) - 1)) + json_string(camera_note_) +
        ",\"source\":" + json_string(source_name()) +
        ",\"record_available\":" + (dev_ && !record_dir_.empty() ? "true" : "false") +
        ",\"recording\":" + (recorder_ ? "true" : "false") +
        ",\"recorded\":" + std::to_string(recorded_.load()) +
        ",\"record_file\":" + json_string(record_file_) + ",\"record_note\":" +
        json_string(!dev_                 ? kBusRecordRefused
                    : record_dir_.empty() ? kRecordOff
                                          : record_note_) +
        "}\n";
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json");
}

// "camera", or "dds:NS" for a camera on the bus.
std::string Viewer::source_name() const {
#if TARVO_TOOL_DDS
    if (!dev_)
        return "dds:" + bus_namespace_;
#endif
    return "camera";
}

// Each pixel's unit viewing ray (x, y, z floats): the point cloud of a wall one metre away on
// every ray. The page multiplies by the depth, so it needs the rays only once per lens setting.
void Viewer::serve_rays(httplib::Response &res) {
    std::shared_ptr<const Frame> frame;
    {
        std::lock_guard lock(slot_mutex_);
        frame = latest_;
    }
    if (!frame) {
        res.status = 503;
        res.set_content("no frame yet\n", "text/plain");
        return;
    }
    const int w = frame->width, h = frame->height;
    const std::vector<float> ones(static_cast<size_t>(w) * h, 1.0f);
    std::string out(12 * ones.size() + 4, '\0');
    std::vector<float> rays(3 * ones.size());
    std::unique_lock control(control_mutex_);
    if (!camera_ready(res))
        return;
    const bool own_rays = frame->rays && frame->rays->size() == rays.size();
    if (own_rays)
        rays = *frame->rays;
    const int n = own_rays ? w * h : points(rays, *frame, ones, false);
    control.unlock();
    if (n != w * h) {
        res.status = 503;
        res.set_content("no point cloud from this camera\n", "text/plain");
        return;
    }
    const uint16_t dims[2] = {static_cast<uint16_t>(w), static_cast<uint16_t>(h)};
    std::memcpy(out.data(), dims, 4);
    std::memcpy(out.data() + 4, rays.data(), 4 * rays.size());
    res.set_content(out, "application/octet-stream");
}

// The library's colour map as 256 red, green, blue triples from near to far.
void Viewer::serve_cmap(const httplib::Request &, httplib::Response &res) {
    constexpr int kSteps = 256;
    std::vector<float> ramp(kSteps);
    for (int i = 0; i < kSteps; ++i)
        ramp[i] = 1.0f + static_cast<float>(i) * 9.0f / (kSteps - 1);
    std::string rgb(3 * kSteps, '\0');
    if (tarvo_cmap_float(reinterpret_cast<uint8_t *>(rgb.data()), static_cast<int>(rgb.size()),
                         ramp.data(), kSteps, 0, 1.0f, 10.0f) != kSteps) {
        res.status = 500;
        return;
    }
    res.set_content(rgb, "application/octet-stream");
}

void Viewer::serve_ply(httplib::Response &res) {
    std::shared_ptr<const Frame> frame;
    {
        std::lock_guard lock(slot_mutex_);
        frame = latest_;
    }
    if (!frame) {
        res.status = 503;
        return;
    }
    const int pixels = static_cast<int>(frame->distance.size());
    std::vector<float> cloud(4 * static_cast<size_t>(pixels));
    std::unique_lock control(control_mutex_);
    if (!camera_ready(res))
        return;
    const int n = points(cloud, *frame, frame->distance, true);
    control.unlock();
    if (n <= 0) {
        res.status = 503;
        return;
    }
    res.set_header("Content-Disposition", "attachment; filename=\"tarvo-cloud.ply\"");
    res.set_content(ply_bytes(std::span<const float>(cloud.data(), 4 * size_t(n))),
                    "application/octet-stream");
}

// The valid points of a frame seen on the bus along its rays: x, y, z and, with `xyzd`, a gray
// colour word, as tarvo_frame_get_pcl_xyzd gives them.
int bus_points(std::vector<float> &out, const Frame &frame, const std::vector<float> &dist,
               bool xyzd) {
    const std::vector<float> &rays = *frame.rays;
    const size_t step = xyzd ? 4 : 3;
    int n = 0;
    for (size_t i = 0; i < dist.size() && 3 * i + 2 < rays.size(); ++i) {
        const float d = dist[i];
        if (!(d > 0 && d < kInvalidMetres) || std::isnan(rays[3 * i]))
            continue;
        float *p = &out[step * static_cast<size_t>(n++)];
        for (int k = 0; k < 3; ++k)
            p[k] = rays[3 * i + k] * d;
        if (xyzd) {
            const auto level = static_cast<uint32_t>(std::min(frame.gray[i] / 8, 255));
            p[3] = static_cast<float>(level * 0x010101u);
        }
    }
    return n;
}

// Points from a distance image through the driver's lens parameters, or, for a camera without
// them, a pinhole with a 90 degree horizontal field of view, so the cloud still shows the shape.
// A camera on the bus has its rays with the frame.
int Viewer::points(std::vector<float> &out, const Frame &frame, const std::vector<float> &dist,
                   bool xyzd) {
    if (frame.rays)
        return bus_points(out, frame, dist, xyzd);
    if (!dev_)
        return 0;
    const int width = frame.width, height = frame.height;
    const tarvo_camera_param_t pinhole{width / 2.0f - 0.5f, height / 2.0f - 0.5f, width / 2.0f,
                                       width / 2.0f, 1.0f};
    const int len = static_cast<int>(out.size()), count = static_cast<int>(dist.size());
    for (const tarvo_camera_param_t *lens :
         {static_cast<const tarvo_camera_param_t *>(nullptr), &pinhole}) {
        const int n = xyzd ? tarvo_frame_get_pcl_xyzd(dev_, out.data(), len, dist.data(), count,
                                                      width, height, true, lens)
                           : tarvo_frame_get_pcl(dev_, out.data(), len, dist.data(), count, width,
                                                 height, lens);
        if (n > 0)
            return n;
    }
    return 0;
}

std::optional<long> parse_int(const std::string &text, long lo, long hi) {
    const auto n = parse_number(text, static_cast<uint64_t>(hi));
    if (!n || static_cast<long>(*n) < lo)
        return std::nullopt;
    return static_cast<long>(*n);
}

// One setting; empty when done, else why not.
std::string Viewer::apply(const std::string &key, const std::string &value) {
    const bool on = value == "1" || value == "true" || value == "on";
    if (!on && value != "0" && value != "false" && value != "off" &&
        (key == "auto_exposure" || key == "undistort" || key == "hdr"))
        return "expected 0 or 1";
    if (key == "auto_exposure") {
        const uint16_t target = static_cast<uint16_t>(ae_target_);
        const int r = on ? tarvo_filter_enable(dev_, TARVO_FILTER_AUTO_EXPOSURE, &target, 2)
                         : tarvo_filter_disable(dev_, TARVO_FILTER_AUTO_EXPOSURE);
        if (r != 1)
            return "the driver refused automatic exposure";
        auto_exposure_ = on;
    } else if (key == "ae_target") {
        const auto n = parse_int(value, 1, 1000);
        if (!n)
            return "target: 1 to 1000 per mille";
        ae_target_ = static_cast<unsigned>(*n);
        if (auto_exposure_)
            return apply("auto_exposure", "1");
    } else if (key == "min_amplitude") {
        const auto n = parse_int(value, 0, 65535);
        if (!n)
            return "minimum amplitude: 0 to 65535";
        const int32_t amp = static_cast<int32_t>(*n);
        const int r = amp > 0 ? tarvo_filter_enable(dev_, TARVO_FILTER_MIN_AMPLITUDE, &amp, 4)
                              : tarvo_filter_disable(dev_, TARVO_FILTER_MIN_AMPLITUDE);
        if (r != 1)
            return "the driver refused the minimum amplitude";
        min_amplitude_ = amp;
    } else if (key == "undistort" || key == "hdr") {
        const int id = key == "hdr" ? TARVO_FILTER_HDR : TARVO_FILTER_UNDISTORT;
        const int r =
            on ? tarvo_filter_enable(dev_, id, nullptr, 0) : tarvo_filter_disable(dev_, id);
        if (r != 1)
            return "the driver refused " + key;
        (key == "hdr" ? hdr_ : undistort_) = on;
    } else if (key == "integration") {
        const auto n = parse_int(value, 1, 4000);
        if (!n)
            return "integration time: 1 to 4000 us";
        if (!write_param(13, static_cast<uint32_t>(*n), 2))
            return "the camera refused the integration time";
        configSetIntegrationTime3D(static_cast<int>(*n));
        integration_us_ = static_cast<unsigned>(*n);
    } else if (key == "frame_rate") {
        const auto n = parse_int(value, 1, 120);
        if (!n)
            return "frame rate: 1 to 120";
        if (!write_param(12, static_cast<uint32_t>(*n), 4))
            return "the camera refused the frame rate";
        frame_rate_ = static_cast<unsigned>(*n);
    } else {
        return "unknown setting '" + key + "'";
    }
    return "";
}

void Viewer::change(const httplib::Request &req, httplib::Response &res) {
    if (!may_change(req)) {
        res.status = 403;
        res.set_content("forbidden: token or origin\n", "text/plain");
        return;
    }
    if (!dev_) {
        res.status = 409;
        res.set_content(std::string(kBusSettingsRefused) + "\n", "text/plain");
        return;
    }
    if (req.params.empty()) {
        res.status = 400;
        res.set_content("no setting given\n", "text/plain");
        return;
    }
    const std::vector<std::pair<std::string, std::string>> settings(req.params.begin(),
                                                                    req.params.end());
    const bool done = on_capture_thread(
        [this, settings] {
            for (const auto &[key, value] : settings)
                if (const std::string why = apply(key, value); !why.empty())
                    return key + ": " + why;
            return std::string();
        },
        res);
    if (done)
        res.set_content("{\"ok\":true}\n", "application/json");
}

// Runs `run` on the capture thread between two frames and waits for it. False when it was
// refused, with the answer set: the camera is away, capture ends, or `run` said why not.
bool Viewer::on_capture_thread(std::function<std::string()> run, httplib::Response &res) {
    auto change = std::make_shared<Change>();
    change->run = std::move(run);
    std::future<std::string> done = change->done.get_future();
    {
        std::lock_guard lock(control_mutex_);
        if (!camera_ready(res))
            return false;
        std::lock_guard queue(pending_mutex_);
        if (stopping_) {
            res.status = 503;
            return false;
        }
        pending_.push_back(change);
    }
    // The capture thread takes it before its next frame, or refuses it when capture ends.
    const std::string why = done.get();
    if (why.empty())
        return true;
    res.status = camera_ == CameraState::Capturing ? 400 : 503;
    res.set_content(why + "\n", "text/plain");
    return false;
}

// POST /record with action=start or action=stop.
void Viewer::switch_recording(const httplib::Request &req, httplib::Response &res) {
    const std::string action = req.get_param_value("action");
    const char *refused = nullptr;
    if (!dev_)
        refused = kBusRecordRefused;
    else if (action == "start" && record_dir_.empty())
        refused = kRecordOff;
    if (action != "start" && action != "stop") {
        res.status = 400;
        res.set_content("action: start or stop\n", "text/plain");
        return;
    }
    if (refused) {
        res.status = 409;
        res.set_content(std::string(refused) + "\n", "text/plain");
        return;
    }
    const bool start = action == "start";
    const bool done = on_capture_thread(
        [this, start] { return start ? start_recording() : stop_recording(); }, res);
    if (!done)
        return;
    std::lock_guard lock(control_mutex_);
    res.set_content("{\"ok\":true,\"recording\":" + std::string(recorder_ ? "true" : "false") +
                        ",\"file\":" + json_string(record_file_) + "}\n",
                    "application/json");
}

void Viewer::routes(ViewServer &server) {
    server_ = &server;
    // Refusals before any body is read, so a request without the token costs no memory.
    server.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        const auto [status, why] = refusal(req);
        if (status == 0)
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = status;
        res.set_header("Connection", "close");
        res.set_content(std::string(why) + "\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    for (const ViewAsset &asset : view_assets()) {
        const std::string path = asset.name == "index.html" ? "/" : "/" + asset.name;
        server.Get(path, [this, &asset](const httplib::Request &req, httplib::Response &res) {
            // The page's own requests carry the token of its address as a cookie.
            if (req.has_param("token") && has_token(req))
                res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + token_ +
                                                 "; Path=/; HttpOnly; SameSite=Strict");
            res.set_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
            res.set_header("X-Frame-Options", "DENY");
            res.set_content(reinterpret_cast<const char *>(asset.data), asset.size, asset.mime);
        });
    }
    server.Get("/frame", [this](const auto &req, auto &res) { serve_frame(req, res); });
    server.Get("/status", [this](const auto &, auto &res) { serve_status(res); });
    server.Get("/rays", [this](const auto &, auto &res) { serve_rays(res); });
    server.Get("/cmap", [this](const auto &req, auto &res) { serve_cmap(req, res); });
    server.Get("/cloud.ply", [this](const auto &, auto &res) { serve_ply(res); });
    server.Post("/control", [this](const auto &req, auto &res) { change(req, res); });
    server.Post("/record", [this](const auto &req, auto &res) { switch_recording(req, res); });
    server.set_exception_handler([](const auto &, auto &res, std::exception_ptr) {
        res.status = 500;
        res.set_content("internal error\n", "text/plain");
    });
}

std::string make_token() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", random());
        token += part;
    }
    return token;
}

// SIGINT and SIGTERM stop the server; they are blocked here and taken by a waiting thread.
std::thread stop_on_signal(ViewServer &server, sigset_t &signals) {
    return std::thread([&server, signals] {
        int sig = 0;
        sigwait(&signals, &sig);
        if (sig != SIGUSR2)
            server.shut();
    });
}

// How the server can be reached: the addresses to print (loopback first) and every name a
// request's Host may give.
struct Reach {
    std::vector<std::string> addresses, names;
    bool loopback_only = true;
};

std::string url_host(const std::string &address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

bool is_loopback(const std::string &address) {
    return address.rfind("127.", 0) == 0 || address == "::1" || address == "localhost";
}

// The machine's own addresses, as numbers.
std::vector<std::string> interface_addresses() {
    std::vector<std::string> out;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr ||
            (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6))
            continue;
        const socklen_t len =
            i->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        char host[NI_MAXHOST];
        if (getnameinfo(i->ifa_addr, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0 &&
            !std::strchr(host, '%'))  // link-local addresses with a zone: no use in a URL
            out.emplace_back(host);
    }
    freeifaddrs(list);
    std::stable_partition(out.begin(), out.end(), is_loopback);
    return out;
}

Reach reach_of(const ViewOptions &opt) {
    Reach reach;
    const bool wildcard = opt.bind == "0.0.0.0" || opt.bind == "::" || opt.bind.empty();
    reach.loopback_only = is_loopback(opt.bind);
    if (wildcard)
        for (const std::string &address : interface_addresses())
            reach.addresses.push_back(url_host(address));
    else
        reach.addresses.push_back(url_host(opt.bind));
    reach.names = reach.addresses;
    if (reach.loopback_only || wildcard)
        reach.names.insert(reach.names.end(), {"localhost", "127.0.0.1", "[::1]"});
    if (!reach.loopback_only) {
        char name[256] = "";
        if (gethostname(name, sizeof name - 1) == 0 && name[0]) {
            reach.names.emplace_back(name);
            if (const char *dot = std::strchr(name, '.'))
                reach.names.emplace_back(name, static_cast<size_t>(dot - name));
        }
        reach.names.insert(reach.names.end(), opt.allow_hosts.begin(), opt.allow_hosts.end());
    }
    return reach;
}

// Bounds on what one client may cost, and a listening socket of its own: without
// SO_REUSEPORT a second viewer on the same port is refused instead of sharing its requests.
void limit(httplib::Server &server) {
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_payload_max_length(kMaxBody);
    server.set_read_timeout(kSocketTimeoutSeconds);
    server.set_write_timeout(kSocketTimeoutSeconds);
    server.set_keep_alive_timeout(kSocketTimeoutSeconds);
    server.set_keep_alive_max_count(kKeepAliveRequests);
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
}

// Serves the page of `dev`, or of the camera on the bus when it is null, until stopped.
int serve(const ViewOptions &opt, tarvo_dev_t *dev, sigset_t &signals) {
    ViewServer server;
    limit(server);
    const std::string token = make_token();
    Viewer viewer(dev, token, opt.reconnect_wait);
    Viewer *v = &viewer;
    v->adopt(opt.settings);
    v->set_record_dir(opt.record_dir);
    int port = opt.port;
    errno = 0;
    if (port == 0)
        port = server.bind_to_any_port(opt.bind);
    else if (!server.bind_to_port(opt.bind, port))
        port = -1;
    if (port <= 0)
        return fail("cannot listen on %s:%d: %s; try --port 0", opt.bind.c_str(), opt.port,
                    errno ? std::strerror(errno) : "address not available");
    const Reach reach = reach_of(opt);
    std::set<std::string> hosts;
    for (const std::string &name : reach.names)
        hosts.insert(name + ":" + std::to_string(port));
    v->set_hosts(std::move(hosts), !reach.loopback_only);
    v->routes(server);
#if TARVO_TOOL_DDS
    if (!dev && !v->start_bus(opt.bus_namespace, opt.domain))
        return kFailed;
#endif
    if (dev && !v->start_capture())
        return fail("capture did not start");
    for (const std::string &address : reach.addresses)
        std::printf("tarvo view: http://%s:%d/?token=%s\n", address.c_str(), port, token.c_str());
    std::fflush(stdout);
    if (!reach.loopback_only)
        std::fprintf(stderr,
                     "tarvo view: listening beyond this machine; every request needs the "
                     "token, and plain HTTP carries it readable to anyone on the network\n");
    std::thread waiter = stop_on_signal(server, signals);
    server.listen_after_bind();
    pthread_kill(waiter.native_handle(), SIGUSR2);
    waiter.join();
    v->stop_capture();
    return v->camera_lost() ? kFailed : kDone;
}

int view(const ViewOptions &opt) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR2);  // wakes the waiting thread when the server stopped otherwise
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (!opt.bus_namespace.empty())
        return serve(opt, nullptr, signals);
    return with_camera(opt.camera, opt.settings,
                       [&](tarvo_dev_t *dev) { return serve(opt, dev, signals); });
}

// --source: "camera" or "dds:NS"; the namespace goes to `ns`.
std::string parse_source(const std::string &source, std::string &ns) {
    ns.clear();
    if (source == "camera")
        return "";
    if (source.rfind("dds:", 0) != 0)
        return "expected camera or dds:NS, not " + source;
#if TARVO_TOOL_DDS
    ns = source.substr(4);
    return dds::valid_namespace(ns) ? "" : "not a ROS name: " + ns;
#else
    return "this tarvo was built without DDS";
#endif
}

}  // namespace

void add_view_command(Tool &tool) {
    auto opt = std::make_shared<ViewOptions>();
    CLI::App *cmd = tool.app.add_subcommand(
        "view", "show the first camera, or one published on the DDS bus, live in a browser");
    cmd->add_option("--bind", opt->bind, "address to listen on (default 127.0.0.1)");
    cmd->add_option("--port", opt->port, "port (default 8080; 0 picks a free one)")
        ->check(CLI::Range(0, 65535));
    cmd->add_option("--allow-host", opt->allow_hosts,
                    "a further name of this machine that browsers may use (repeatable)");
    add_reconnect_option(cmd, opt->reconnect_wait, "until stopped");
    add_camera_option(cmd, opt->camera);
    add_capture_options(cmd, opt->settings);
    cmd->add_option("--record-dir", opt->record_dir,
                    "folder of the recordings started with the page's record button "
                    "(tarvo_YYYYMMDD_HHMMSS.mcap); without it the button is off")
        ->check(CLI::ExistingDirectory);
    cmd->add_option_function<std::string>(
           "--source",
           [opt](const std::string &source) {
               if (const std::string why = parse_source(source, opt->bus_namespace); !why.empty())
                   throw CLI::ValidationError("--source", why);
           },
           "camera (default), or dds:NS: a camera that tarvo publish puts on the DDS bus "
           "under namespace NS; its settings stay with the publishing camera")
        ->type_name("SOURCE");
#if TARVO_TOOL_DDS
    opt->domain = dds::default_domain_id();
    cmd->add_option("--domain", opt->domain,
                    "DDS domain id of --source dds (default ROS_DOMAIN_ID or 0)")
        ->check(CLI::Range(0u, 232u));
#endif
    cmd->footer(
        "A camera unplugged while the page shows it is waited for: the page's status bar says\n"
        "\"camera left; waiting for it to return\", changes are refused (503) until it is back,\n"
        "and capture resumes with the settings made on the page. A camera that does not return\n"
        "within --reconnect-wait ends the viewer with status 1.\n"
        "Bound to another address than loopback, every request needs the token of the printed\n"
        "address; plain HTTP carries it readable on the network.\n"
        "With --record-dir, the page's Record button writes the captured frames into\n"
        "DIR/tarvo_YYYYMMDD_HHMMSS.mcap until stopped (the button, Ctrl-C or SIGTERM).\n"
        "With --source dds:NS no camera is opened: the page shows what tarvo publish\n"
        "--namespace NS sends, and its settings are refused (they belong to the publishing\n"
        "camera).");
    // A camera on the bus is set up by its publisher: camera options with it would do nothing.
    cmd->parse_complete_callback([opt] {
        const CaptureSettings &s = opt->settings;
        const bool camera_options = !opt->camera.text.empty() || s.integration_time_us ||
                                    s.frame_rate || s.modulation_khz || s.min_amplitude || s.hdr ||
                                    s.auto_exposure || s.undistort || !opt->record_dir.empty();
        if (!opt->bus_namespace.empty() && camera_options)
            throw CLI::ValidationError("--source",
                                       "a camera on the DDS bus takes no camera, setting or "
                                       "recording options: they belong to its publisher");
    });
    tool.on_run(cmd, [opt] { return view(*opt); });
}

}  // namespace tarvo::tool
