// Inside of the virtual camera: the device model, its usbfs appearance and its producer thread.
#pragma once

#include "vcam.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

typedef struct _UMockdevIoctlData UMockdevIoctlData;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace tarvo::vcam::detail {

class BusImpl;
class CameraImpl;

// One URB submitted by a client, with umockdev's local copies of the URB and its buffer.
// Completion data go into the local copy and reach the client when it reaps the URB.
struct Urb {
    Urb(UMockdevIoctlData *data, UMockdevIoctlClient *client);
    ~Urb();
    Urb(const Urb &) = delete;
    Urb &operator=(const Urb &) = delete;

    usbdevfs_urb *urb() const;
    uint8_t *buffer() const { return static_cast<uint8_t *>(urb()->buffer); }
    size_t length() const { return static_cast<size_t>(urb()->buffer_length); }

    UMockdevIoctlData *data;      // owned reference
    UMockdevIoctlClient *client;  // owned reference
    bool orphaned = false;        // its client closed the device while the producer filled it
};
using UrbPtr = std::unique_ptr<Urb>;

// One appearance of a camera on the bus: device address, sysfs entry and device node. A replug
// creates a new node; the old one lives on (answering "no device") for the clients that still
// hold it open, until the bus stops.
struct Node {
    Node(CameraImpl &camera, int address);
    ~Node();
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    CameraImpl &camera;
    const int address;
    std::string devnode;  // /dev/bus/usb/001/NNN
    std::string syspath;  // /sys/devices/.../usb1/1-P
    bool in_sysfs = false;

    // Guarded by the camera's mutex.
    std::deque<UrbPtr> pending;  // bulk IN transfers waiting for data
    std::deque<UrbPtr> held;     // control transfers the camera does not answer
    std::deque<UrbPtr> done;     // completed, waiting to be reaped
    Urb *producing = nullptr;    // taken by the producer, being filled outside the lock
    bool gone = false;
    // Interfaces claimed, a bit per interface, by each open file of the node. As in the
    // kernel, an interface belongs to one file at a time.
    std::map<UMockdevIoctlClient *, unsigned> claims;
    // Interfaces claimed by any file.
    unsigned claimed_by_anyone() const;
    // Interfaces claimed by files other than `client`.
    unsigned claimed_by_others(UMockdevIoctlClient *client) const;

    // The device node is a FIFO kept full: it polls writable only while a URB waits to be
    // reaped, so libusb sleeps in poll() instead of spinning on empty reaps.
    int fifo_fd = -1;
    bool ready = false;
    void update_ready();
    void complete(UrbPtr urb, int status, size_t actual);
};

// Device descriptor followed by the configuration descriptor, as sysfs "descriptors" holds them.
std::vector<uint8_t> usb_descriptors(int speed);

struct ControlReply {
    enum class Kind { complete, stall, hold, overflow } kind = Kind::complete;
    size_t actual = 0;
};

class CameraImpl final : public Camera, public std::enable_shared_from_this<CameraImpl> {
  public:
    CameraImpl(BusImpl &bus, const CameraConfig &cfg, int port);
    ~CameraImpl() override;

    // Starts the producer and puts the camera on the bus.
    void activate();
    // Leaves the bus for good: stops the producer and unplugs.
    void shutdown();

    // Camera
    const CameraConfig &config() const override { return cfg_; }
    int port() const override { return port_; }
    int address() const override;
    bool plugged() const override;
    std::string devnode() const override;
    void unplug() override;
    void replug() override;
    void set_reset_replug_delay(std::optional<std::chrono::milliseconds> delay) override;
    void reenumerate(std::optional<std::chrono::milliseconds> back_after) override;
    std::vector<uint32_t> resets() const override;
    void refuse_interface(int interface, bool refuse) override;
    void add_fault(const Fault &fault) override;
    void clear_faults() override;
    std::vector<CommandRecord> commands() const override;
    void clear_commands() override;
    void set_param(uint8_t id, std::span<const uint8_t> value) override;
    std::optional<std::vector<uint8_t>> param(uint8_t id) const override;
    void set_product(const std::string &product) override;
    void set_ident(const std::string &ident) override;
    void set_chip_info(uint16_t part_version, uint16_t chip_id, uint16_t wafer_id) override;
    void set_fw_version(uint16_t version) override;
    void set_param_observer(std::function<void(uint8_t, std::span<const uint8_t>)> obs) override;
    uint32_t reg(uint8_t target, uint32_t address) const override;
    void set_reg(uint8_t target, uint32_t address, uint32_t value) override;
    void set_register_space(uint8_t target, std::shared_ptr<RegisterSpace> space) override;
    void set_command_extension(uint8_t type, std::shared_ptr<CommandExtension> ext) override;
    void set_stream_source(std::shared_ptr<StreamSource> source) override;
    void set_upload_source(std::shared_ptr<StreamSource> source) override;
    void kick_stream() override;
    bool streaming() const override;
    uint32_t start_arg() const override;
    StreamStats stream_stats() const override;
    size_t pending_bulk() const override;

    // usbfs side, called from umockdev's ioctl thread.
    bool handle_ioctl(Node &node, UMockdevIoctlClient *client);
    void client_vanished(Node &node, UMockdevIoctlClient *client);

  private:
    // What a command asks for beyond its reply, done once the camera's mutex is released.
    struct CommandEffects {
        bool reset_replug = false;
        std::vector<std::pair<uint8_t, std::vector<uint8_t>>> params_set;
    };

    // Both with mu_ held. `buf` is the whole control buffer: 8 setup bytes, then the data.
    ControlReply control_locked(std::span<uint8_t> buf, CommandEffects &fx);
    // Short and long reply faults, applied to a reply the camera has made.
    ControlReply shape_reply_locked(const CommandRecord &rec, ControlReply reply);
    ControlReply vendor_locked(const CommandRecord &rec, std::span<uint8_t> data,
                               CommandEffects &fx);
    CommandOutcome execute_locked(const CommandRecord &rec, std::span<uint8_t> data,
                                  CommandEffects &fx);
    CommandOutcome param_set_locked(std::span<const uint8_t> data, CommandEffects &fx);
    CommandOutcome param_get_request_locked(std::span<const uint8_t> data);
    CommandOutcome reg_write_locked(std::span<const uint8_t> data);
    CommandOutcome reg_read_request_locked(std::span<const uint8_t> data);
    CommandOutcome reply_prepared_locked(uint8_t type, uint16_t value, std::span<uint8_t> out);
    RegisterSpace &space_locked(uint8_t target);
    void store_param_locked(uint8_t id, std::span<const uint8_t> value);
    void stop_stream_locked();
    // The source that feeds the stream now: the upload source in data-upload mode.
    std::shared_ptr<StreamSource> active_source_locked() const;

    bool submit_urb(Node &node, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    bool discard_urb(Node &node, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    bool reap_urb(Node &node, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void producer();
    void schedule_replug(std::optional<std::chrono::milliseconds> back_after);

    BusImpl &bus_;
    const CameraConfig cfg_;
    const int port_;

    mutable std::mutex mu_;
    // Everything below is guarded by mu_.
    std::condition_variable cv_;
    std::unique_ptr<Node> node_;                  // current appearance; null while unplugged
    std::vector<std::unique_ptr<Node>> retired_;  // earlier appearances
    bool shut_down_ = false;
    unsigned refused_ifaces_ = 0;
    std::optional<std::chrono::milliseconds> reset_replug_delay_{std::chrono::milliseconds(300)};
    std::vector<uint32_t> resets_;
    std::vector<Fault> faults_;
    std::vector<CommandRecord> log_;
    std::map<uint8_t, std::vector<uint8_t>> params_;
    std::function<void(uint8_t, std::span<const uint8_t>)> param_observer_;
    std::map<uint8_t, std::shared_ptr<RegisterSpace>> spaces_;
    std::map<uint8_t, std::shared_ptr<CommandExtension>> extensions_;
    // Last executed command as the status reply reports it.
    uint8_t last_type_ = 0;
    uint8_t last_value_ = 0;
    uint8_t last_status_ = kStatusDone;
    std::string last_message_;
    int busy_left_ = 0;
    std::optional<std::pair<uint8_t, uint8_t>> echo_override_;
    // Reply prepared by the host-to-device phase of a two-phase read, keyed by type and value.
    uint8_t prepared_type_ = 0;
    uint16_t prepared_value_ = 0;
    std::optional<std::vector<uint8_t>> prepared_;
    // Streaming.
    bool streaming_ = false;
    uint32_t start_arg_ = 0;
    StreamContext stream_ctx_;
    uint64_t stream_gen_ = 0;  // changes at start, stop, unplug and source change
    bool source_idle_ = false;
    std::shared_ptr<StreamSource> source_;
    std::shared_ptr<StreamSource> upload_source_;
    std::optional<StreamStep> step_;
    size_t step_offset_ = 0;
    StreamStats stats_;
    std::thread producer_;
};

}  // namespace tarvo::vcam::detail
