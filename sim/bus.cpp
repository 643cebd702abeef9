// The virtual bus: bus 1 with a root hub; camera i sits on port i + 1 of it. Plugging a camera
// writes its sysfs entry and descriptors into the umockdev testbed, turns its device node into
// the wake-up FIFO and attaches the ioctl handler.
#include "bus_impl.h"

#include <umockdev.h>

#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvo::vcam {

Bus &Bus::get() {
    return detail::BusImpl::instance();
}

namespace {

int find_preload(dl_phdr_info *info, size_t, void *found) {
    if (info->dlpi_name && std::strstr(info->dlpi_name, "libumockdev-preload")) {
        *static_cast<bool *>(found) = true;
    }
    return 0;
}

constexpr const char *kReexecMarker = "TARVO_VCAM_REEXEC";

}  // namespace

bool preload_active() {
    bool found = false;
    dl_iterate_phdr(find_preload, &found);
    return found;
}

void reexec_under_preload(char **argv) {
    if (preload_active()) {
        unsetenv(kReexecMarker);
        return;
    }
    if (std::getenv(kReexecMarker)) {
        std::fprintf(stderr, "vcam: %s did not load; is umockdev installed?\n", kPreloadLibrary);
        std::exit(2);
    }
    setenv(kReexecMarker, "1", 1);
    const char *old = std::getenv("LD_PRELOAD");
    std::string preload = kPreloadLibrary;
    if (old && *old) {
        preload += ":";
        preload += old;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // The preload library comes before the sanitizer runtime in the load order.
    const char *asan = std::getenv("ASAN_OPTIONS");
    if (!asan || !std::strstr(asan, "verify_asan_link_order")) {
        std::string opts = asan && *asan ? std::string(asan) + ":" : std::string();
        opts += "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", opts.c_str(), 1);
    }
    execv("/proc/self/exe", argv);
    std::perror("vcam: re-exec under the umockdev preload");
    std::exit(2);
}

}  // namespace tarvo::vcam

namespace tarvo::vcam::detail {

namespace {

constexpr const char *kRootHub =
    "P: /devices/pci0000:00/0000:00:14.0/usb1\n"
    "N: bus/usb/001/001\n"
    "E: SUBSYSTEM=usb\n"
    "E: DEVTYPE=usb_device\n"
    "E: DEVNAME=/dev/bus/usb/001/001\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=001\n"
    "E: PRODUCT=1d6b/2/606\n"
    "A: busnum=1\\n\n"
    "A: devnum=1\\n\n"
    "A: speed=480\\n\n"
    "A: bConfigurationValue=1\\n\n"
    "A: idVendor=1d6b\\n\n"
    "A: idProduct=0002\\n\n"
    "A: dev=189:0\n"
    "H: descriptors=12010002090001406B1D020006060302010109021900010100E0000904000001090000000705"
    "810304000C\n"
    "\n";

constexpr const char *kSysHub = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

const char *speed_attr(int speed) {
    switch (speed) {
        case 1:
            return "1.5";
        case 2:
            return "12";
        case 4:
            return "5000";
        default:
            return "480";
    }
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user) {
    auto *slot = static_cast<BusImpl::Slot *>(user);
    Node *node = slot->bus.route(*slot, client);
    if (!node) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    return node->camera.handle_ioctl(*node, client);
}

void on_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user) {
    auto *slot = static_cast<BusImpl::Slot *>(user);
    slot->bus.route(*slot, client);
}

void on_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user) {
    auto *slot = static_cast<BusImpl::Slot *>(user);
    if (Node *node = slot->bus.route(*slot, client)) {
        node->camera.client_vanished(*node, client);
    }
    slot->bus.forget(*slot, client);
}

}  // namespace

BusImpl &BusImpl::instance() {
    static BusImpl bus;
    return bus;
}

BusImpl::~BusImpl() {
    stop();
}

bool BusImpl::start() {
    std::lock_guard lk(tb_mu_);
    if (tb_) {
        return true;
    }
    tb_ = umockdev_testbed_new();  // also points UMOCKDEV_DIR at it
    if (!tb_) {
        std::fprintf(stderr, "vcam: cannot create the umockdev testbed\n");
        return false;
    }
    gchar *root = umockdev_testbed_get_root_dir(tb_);
    root_ = root;
    g_free(root);
    GError *err = nullptr;
    if (!umockdev_testbed_add_from_string(tb_, kRootHub, &err)) {
        std::fprintf(stderr, "vcam: cannot add the root hub: %s\n", err->message);
        g_clear_error(&err);
        g_object_unref(tb_);
        tb_ = nullptr;
        return false;
    }
    {
        std::lock_guard tl(timer_mu_);
        timer_quit_ = false;
    }
    timer_ = std::thread([this] { timer_loop(); });
    return true;
}

void BusImpl::stop() {
    reset();
    {
        std::lock_guard tl(timer_mu_);
        timer_quit_ = true;
        timers_.clear();
        timer_cv_.notify_all();
    }
    if (timer_.joinable()) {
        timer_.join();
    }
    std::map<int, std::unique_ptr<Slot>> slots;
    {
        std::lock_guard lk(tb_mu_);
        slots.swap(slots_);
        for (auto &[address, slot] : slots) {
            if (tb_) {
                umockdev_testbed_detach_ioctl(tb_, slot->devnode.c_str(), nullptr);
            }
        }
    }
    for (auto &[address, slot] : slots) {
        std::lock_guard rl(route_mu_);
        for (auto &[client, node] : slot->clients) {
            g_object_unref(client);
        }
        slot->clients.clear();
        g_object_unref(slot->handler);
    }
    std::vector<std::shared_ptr<CameraImpl>> removed;
    {
        std::lock_guard lk(mu_);
        removed.swap(removed_);
    }
    removed.clear();
    std::lock_guard lk(tb_mu_);
    if (tb_) {
        g_object_unref(tb_);  // removes the testbed directory
        tb_ = nullptr;
        root_.clear();
    }
}

bool BusImpl::running() const {
    std::lock_guard lk(tb_mu_);
    return tb_ != nullptr;
}

std::string BusImpl::root_dir() const {
    std::lock_guard lk(tb_mu_);
    return root_;
}

std::shared_ptr<Camera> BusImpl::add_camera(const CameraConfig &cfg) {
    if (!running()) {
        std::fprintf(stderr, "vcam: add_camera before the bus was started\n");
        return nullptr;
    }
    std::shared_ptr<CameraImpl> cam;
    {
        std::lock_guard lk(mu_);
        int port = 1;
        while (std::any_of(cameras_.begin(), cameras_.end(),
                           [&](const auto &c) { return c->port() == port; })) {
            ++port;
        }
        cam = std::make_shared<CameraImpl>(*this, cfg, port);
        cameras_.push_back(cam);
    }
    cam->activate();
    return cam;
}

void BusImpl::remove_camera(const std::shared_ptr<Camera> &camera) {
    std::shared_ptr<CameraImpl> cam;
    {
        std::lock_guard lk(mu_);
        for (auto it = cameras_.begin(); it != cameras_.end(); ++it) {
            if (*it == camera) {
                cam = *it;
                cameras_.erase(it);
                break;
            }
        }
    }
    if (cam) {
        cam->shutdown();
        std::lock_guard lk(mu_);
        removed_.push_back(cam);
    }
}

std::vector<std::shared_ptr<Camera>> BusImpl::cameras() const {
    std::lock_guard lk(mu_);
    return {cameras_.begin(), cameras_.end()};
}

void BusImpl::reset() {
    std::vector<std::shared_ptr<CameraImpl>> cams;
    {
        std::lock_guard lk(mu_);
        cams.swap(cameras_);
    }
    for (auto &c : cams) {
        c->shutdown();
    }
    {
        std::lock_guard lk(mu_);
        removed_.insert(removed_.end(), cams.begin(), cams.end());
    }
    std::lock_guard lk(tb_mu_);
    next_address_ = 2;
}

std::string BusImpl::device_record(const CameraImpl &camera, int address) const {
    char head[1024];
    const int port = camera.port();
    const int speed = camera.config().speed;
    std::snprintf(head, sizeof head,
                  "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\n"
                  "N: bus/usb/001/%03d\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DEVNAME=/dev/bus/usb/001/%03d\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "E: PRODUCT=%x/%x/100\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=%s\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: devpath=%d\\n\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "A: dev=189:%d\n"
                  "H: descriptors=",
                  port, address, address, address, kVendorId, kProductId, address,
                  speed_attr(speed), port, kVendorId, kProductId, address - 1);
    std::string rec = head;
    static const char hex[] = "0123456789ABCDEF";
    for (uint8_t b : usb_descriptors(speed)) {
        rec += hex[b >> 4];
        rec += hex[b & 15];
    }
    rec += "\n\n";
    return rec;
}

std::unique_ptr<Node> BusImpl::plug(CameraImpl &camera) {
    std::lock_guard lk(tb_mu_);
    if (!tb_) {
        return nullptr;
    }
    // Addresses go up with every plug event, as a host controller hands them out.
    int address = 0;
    for (int tries = 0; tries < 126 && !address; ++tries) {
        auto slot = slots_.find(next_address_);
        std::lock_guard rl(route_mu_);
        if (slot == slots_.end() || !slot->second->current) {
            address = next_address_;
        }
        next_address_ = next_address_ >= 127 ? 2 : next_address_ + 1;
    }
    if (!address) {
        std::fprintf(stderr, "vcam: no free device address on the bus\n");
        return nullptr;
    }
    auto node = std::make_unique<Node>(camera, address);
    char buf[64];
    std::snprintf(buf, sizeof buf, "/dev/bus/usb/001/%03d", address);
    node->devnode = buf;
    node->syspath = std::string(kSysHub) + "/1-" + std::to_string(camera.port());

    GError *err = nullptr;
    // The ioctl socket must listen before the device shows in sysfs: a program that scans the
    // bus meanwhile (waiting for a camera to return) opens the node at once, and the preload
    // library ends a process whose open finds no socket.
    auto &slot = slots_[address];
    if (!slot) {
        slot.reset(new Slot{*this, address, node->devnode, nullptr, nullptr, {}});
        slot->handler = umockdev_ioctl_base_new();
        g_signal_connect(slot->handler, "handle-ioctl", G_CALLBACK(on_ioctl), slot.get());
        g_signal_connect(slot->handler, "client-connected", G_CALLBACK(on_connected), slot.get());
        g_signal_connect(slot->handler, "client-vanished", G_CALLBACK(on_vanished), slot.get());
        if (!umockdev_testbed_attach_ioctl(tb_, node->devnode.c_str(), slot->handler, &err)) {
            std::fprintf(stderr, "vcam: cannot attach the ioctl handler: %s\n", err->message);
            g_clear_error(&err);
        }
    }
    {
        std::lock_guard rl(route_mu_);
        slot->current = node.get();
    }
    if (!umockdev_testbed_add_from_string(tb_, device_record(camera, address).c_str(), &err)) {
        std::fprintf(stderr, "vcam: cannot add camera: %s\n", err->message);
        g_clear_error(&err);
        std::lock_guard rl(route_mu_);
        slot->current = nullptr;
        return nullptr;
    }
    node->in_sysfs = true;

    const std::string path = root_ + node->devnode;
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0666) < 0 ||
        (node->fifo_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        std::perror("vcam: wake-up fifo");
    } else {
        static char page[4096];
        while (write(node->fifo_fd, page, sizeof page) == static_cast<ssize_t>(sizeof page)) {
        }
    }

    // Running libusb contexts learn about the new device from the udev monitor.
    umockdev_testbed_uevent(tb_, node->syspath.c_str(), "add");
    return node;
}

void BusImpl::leave_sysfs(Node &node) {
    std::lock_guard lk(tb_mu_);
    if (auto slot = slots_.find(node.address); slot != slots_.end()) {
        std::lock_guard rl(route_mu_);
        if (slot->second->current == &node) {
            slot->second->current = nullptr;
        }
    }
    if (!tb_ || !node.in_sysfs) {
        return;
    }
    umockdev_testbed_uevent(tb_, node.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(tb_, node.syspath.c_str());
    node.in_sysfs = false;
}

Node *BusImpl::route(Slot &slot, UMockdevIoctlClient *client) {
    std::lock_guard rl(route_mu_);
    auto it = slot.clients.find(client);
    if (it != slot.clients.end()) {
        return it->second;
    }
    if (!slot.current) {
        return nullptr;
    }
    slot.clients.emplace(static_cast<UMockdevIoctlClient *>(g_object_ref(client)), slot.current);
    return slot.current;
}

void BusImpl::forget(Slot &slot, UMockdevIoctlClient *client) {
    std::lock_guard rl(route_mu_);
    auto it = slot.clients.find(client);
    if (it != slot.clients.end()) {
        g_object_unref(it->first);
        slot.clients.erase(it);
    }
}

void BusImpl::schedule(std::chrono::milliseconds delay, std::function<void()> fn) {
    std::lock_guard tl(timer_mu_);
    if (timer_quit_) {
        return;
    }
    timers_.emplace(std::chrono::steady_clock::now() + delay, std::move(fn));
    timer_cv_.notify_all();
}

void BusImpl::timer_loop() {
    std::unique_lock tl(timer_mu_);
    while (!timer_quit_) {
        if (timers_.empty()) {
            timer_cv_.wait(tl);
            continue;
        }
        auto first = timers_.begin();
        if (std::chrono::steady_clock::now() < first->first) {
            timer_cv_.wait_until(tl, first->first);
            continue;
        }
        {
            auto fn = std::move(first->second);
            timers_.erase(first);
            tl.unlock();
            fn();
        }
        tl.lock();
    }
}

}  // namespace tarvo::vcam::detail
