// The virtual bus: the umockdev testbed, the cameras on it and a timer thread for delayed
// plug events.
#pragma once

#include "camera_impl.h"

#include <map>
#include <set>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace tarvo::vcam::detail {

class BusImpl final : public Bus {
  public:
    static BusImpl &instance();

    bool start() override;
    void stop() override;
    bool running() const override;
    std::string root_dir() const override;
    std::shared_ptr<Camera> add_camera(const CameraConfig &cfg) override;
    void remove_camera(const std::shared_ptr<Camera> &camera) override;
    std::vector<std::shared_ptr<Camera>> cameras() const override;
    void reset() override;

    // For the cameras; none of these may be called with a camera's mutex held, because the
    // ioctl thread takes that mutex and umockdev may wait for the ioctl thread.
    std::unique_ptr<Node> plug(CameraImpl &camera);  // null on failure (logged)
    void leave_sysfs(Node &node);
    void schedule(std::chrono::milliseconds delay, std::function<void()> fn);

    // One device address of the bus: the ioctl handler attached to its node path for the life
    // of the bus. umockdev offers no safe way to detach a handler while a client holds the
    // node open (the client's next ioctl would wait forever), and a leaked handle must not
    // reach a later camera at the same address, so every client stays with the node it opened.
    struct Slot {
        BusImpl &bus;
        int address;
        std::string devnode;
        UMockdevIoctlBase *handler = nullptr;
        // Guarded by route_mu_.
        Node *current = nullptr;
        std::map<UMockdevIoctlClient *, Node *> clients;  // holds a reference to each client
    };
    // The node that `client` talks to; null when the address has none.
    Node *route(Slot &slot, UMockdevIoctlClient *client);
    void forget(Slot &slot, UMockdevIoctlClient *client);

  private:
    BusImpl() = default;
    ~BusImpl() override;
    void timer_loop();
    std::string device_record(const CameraImpl &camera, int address) const;

    mutable std::mutex mu_;
    // Guarded by mu_.
    std::vector<std::shared_ptr<CameraImpl>> cameras_;
    // Removed cameras, kept until the bus stops: clients may still hold their old nodes open.
    std::vector<std::shared_ptr<CameraImpl>> removed_;

    mutable std::mutex tb_mu_;
    // Guarded by tb_mu_.
    UMockdevTestbed *tb_ = nullptr;
    std::string root_;
    int next_address_ = 2;
    std::map<int, std::unique_ptr<Slot>> slots_;

    std::mutex route_mu_;  // never held across a umockdev call

    std::mutex timer_mu_;
    // Guarded by timer_mu_.
    std::condition_variable timer_cv_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    bool timer_quit_ = false;
    std::thread timer_;
};

}  // namespace tarvo::vcam::detail
