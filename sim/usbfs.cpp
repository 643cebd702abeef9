// The camera as Linux usbfs shows it: umockdev forwards every ioctl on the device node to
// handle_ioctl(), which runs on umockdev's single ioctl thread and must never block, or every
// other ioctl (a cancel included) stalls behind it.
#include "camera_impl.h"

#include "bus_impl.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace tarvo::vcam::detail {

namespace {

constexpr unsigned kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
// Far above anything libusb submits in one URB with scatter-gather; guards the local copy.
constexpr int kMaxUrbBuffer = 16 << 20;

template <typename T>
std::optional<T> read_arg(UMockdevIoctlData *arg) {
    GError *err = nullptr;
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &err);
    if (!d) {
        g_clear_error(&err);
        return std::nullopt;
    }
    T v;
    std::memcpy(&v, d->data, sizeof v);
    g_object_unref(d);
    return v;
}

template <typename T>
bool write_arg(UMockdevIoctlData *arg, const T &v) {
    GError *err = nullptr;
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &err);
    if (!d) {
        g_clear_error(&err);
        return false;
    }
    std::memcpy(d->data, &v, sizeof v);
    g_object_unref(d);
    return true;
}

void finish(UMockdevIoctlClient *client, long ret, int err) {
    umockdev_ioctl_client_complete(client, ret, err);
}

}  // namespace

Urb::Urb(UMockdevIoctlData *d, UMockdevIoctlClient *c) : data(d), client(c) {}

Urb::~Urb() {
    g_object_unref(data);
    g_object_unref(client);
}

usbdevfs_urb *Urb::urb() const {
    return reinterpret_cast<usbdevfs_urb *>(data->data);
}

Node::Node(CameraImpl &cam, int addr) : camera(cam), address(addr) {}

Node::~Node() {
    if (fifo_fd >= 0) {
        close(fifo_fd);
    }
}

unsigned Node::claimed_by_anyone() const {
    unsigned all = 0;
    for (const auto &[client, ifaces] : claims)
        all |= ifaces;
    return all;
}

unsigned Node::claimed_by_others(UMockdevIoctlClient *client) const {
    unsigned others = 0;
    for (const auto &[holder, ifaces] : claims)
        others |= holder != client ? ifaces : 0;
    return others;
}

void Node::update_ready() {
    const bool want = !done.empty();
    if (fifo_fd < 0 || want == ready) {
        return;
    }
    // One page out of the full FIFO makes it writable; putting it back clears that again.
    static thread_local char page[4096];
    const ssize_t n = want ? read(fifo_fd, page, sizeof page) : write(fifo_fd, page, sizeof page);
    if (n != static_cast<ssize_t>(sizeof page)) {
        std::perror("vcam: wake-up fifo");
    }
    ready = want;
}

void Node::complete(UrbPtr u, int status, size_t actual) {
    u->urb()->status = status;
    u->urb()->actual_length = static_cast<int>(actual);
    done.push_back(std::move(u));
    update_ready();
}

bool CameraImpl::handle_ioctl(Node &node, UMockdevIoctlClient *client) {
    const gulong req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    switch (req) {
        case USBDEVFS_SUBMITURB:
            return submit_urb(node, client, arg);
        case USBDEVFS_DISCARDURB:
            return discard_urb(node, client, arg);
        case USBDEVFS_REAPURBNDELAY:
        case USBDEVFS_REAPURB:
            return reap_urb(node, client, arg);
        default:
            break;
    }

    std::unique_lock lk(mu_);
    if (node.gone) {
        lk.unlock();
        finish(client, -1, ENODEV);
        return true;
    }
    long ret = 0;
    int err = 0;
    auto fail = [&](int e) {
        ret = -1;
        err = e;
    };
    switch (req) {
        case USBDEVFS_GET_CAPABILITIES:
            if (!write_arg<uint32_t>(arg, kCapabilities)) {
                fail(EFAULT);
            }
            break;
        case USBDEVFS_SETCONFIGURATION: {
            auto cfg = read_arg<int>(arg);
            if (!cfg) {
                fail(EFAULT);
            } else if (node.claimed_by_anyone() != 0) {
                // The kernel does not touch a device with a claimed interface.
                fail(EBUSY);
            } else if (*cfg != 1 && *cfg != -1) {
                fail(EINVAL);
            }
            break;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            // Both start with the interface number.
            auto iface = read_arg<unsigned>(arg);
            if (!iface) {
                fail(EFAULT);
            } else if (*iface > 1) {
                fail(EINVAL);
            } else if ((refused_ifaces_ | node.claimed_by_others(client)) & (1u << *iface)) {
                fail(EBUSY);
            } else {
                node.claims[client] |= 1u << *iface;
            }
            break;
        }
        case USBDEVFS_RELEASEINTERFACE: {
            auto iface = read_arg<unsigned>(arg);
            if (!iface) {
                fail(EFAULT);
            } else if (*iface < 32) {
                node.claims[client] &= ~(1u << *iface);
            }
            break;
        }
        case USBDEVFS_SETINTERFACE: {
            auto setting = read_arg<usbdevfs_setinterface>(arg);
            if (!setting) {
                fail(EFAULT);
            } else if (setting->interface > 1 || setting->altsetting != 0) {
                fail(EINVAL);
            }
            break;
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            auto ep = read_arg<unsigned>(arg);
            if (!ep) {
                fail(EFAULT);
            } else if (*ep != kBulkEndpoint && *ep != 0 && *ep != 0x80) {
                fail(ENOENT);
            } else if (req == USBDEVFS_CLEAR_HALT && *ep == kBulkEndpoint) {
                ++stats_.clear_halts;
            }
            break;
        }
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            // No kernel driver is bound to the camera.
            fail(ENODATA);
            break;
        case USBDEVFS_RESET:
            break;
        case USBDEVFS_GET_SPEED:
            ret = cfg_.speed;
            break;
        case USBDEVFS_CONNECTINFO: {
            usbdevfs_connectinfo info{};
            info.devnum = static_cast<unsigned>(node.address);
            info.slow = cfg_.speed == 1;
            if (!write_arg(arg, info)) {
                fail(EFAULT);
            }
            break;
        }
        default:
            fail(ENOTTY);
            break;
    }
    lk.unlock();
    finish(client, ret, err);
    return true;
}

bool CameraImpl::submit_urb(Node &node, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    GError *gerr = nullptr;
    UMockdevIoctlData *ud = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &gerr);
    if (!ud) {
        g_clear_error(&gerr);
        finish(client, -1, EFAULT);
        return true;
    }
    auto u = std::make_unique<Urb>(ud, static_cast<UMockdevIoctlClient *>(g_object_ref(client)));
    usbdevfs_urb *urb = u->urb();
    if (urb->buffer_length < 0 || urb->buffer_length > kMaxUrbBuffer ||
        (urb->buffer_length > 0 && !urb->buffer)) {
        finish(client, -1, EINVAL);
        return true;
    }
    if (urb->buffer_length > 0) {
        // The buffer becomes a child of the URB: umockdev copies it back when the URB is reaped.
        UMockdevIoctlData *b = umockdev_ioctl_data_resolve(
            ud, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), &gerr);
        if (!b) {
            g_clear_error(&gerr);
            finish(client, -1, EFAULT);
            return true;
        }
        g_object_unref(b);
    }
    const bool control = urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == 0;
    const bool bulk_in = urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == kBulkEndpoint;

    if (control) {
        CommandEffects fx;
        ControlReply reply;
        bool gone = false;
        {
            std::lock_guard lk(mu_);
            gone = node.gone;
            if (!gone) {
                reply = control_locked({u->buffer(), u->length()}, fx);
            }
        }
        if (gone) {
            finish(client, -1, ENODEV);
            return true;
        }
        // Finish the submit first: its completion writes the local copies back to the client,
        // and the client may reap the URB as soon as it is queued.
        finish(client, 0, 0);
        std::function<void(uint8_t, std::span<const uint8_t>)> observer;
        std::optional<std::chrono::milliseconds> replug_delay;
        {
            std::lock_guard lk(mu_);
            if (node.gone) {
                node.complete(std::move(u), -ENODEV, 0);
            } else if (reply.kind == ControlReply::Kind::hold) {
                node.held.push_back(std::move(u));
            } else if (reply.kind == ControlReply::Kind::stall) {
                node.complete(std::move(u), -EPIPE, 0);
            } else if (reply.kind == ControlReply::Kind::overflow) {
                node.complete(std::move(u), -EOVERFLOW, reply.actual);
            } else {
                node.complete(std::move(u), 0, reply.actual);
            }
            if (!fx.params_set.empty()) {
                observer = param_observer_;
            }
            replug_delay = reset_replug_delay_;
        }
        if (observer) {
            for (const auto &[id, value] : fx.params_set) {
                observer(id, value);
            }
        }
        if (fx.reset_replug) {
            schedule_replug(replug_delay);
        }
        return true;
    }

    if (!bulk_in) {
        finish(client, -1, ENOENT);
        return true;
    }
    {
        std::lock_guard lk(mu_);
        if (node.gone) {
            finish(client, -1, ENODEV);
            return true;
        }
        if (node.claims[client] == 0) {
            finish(client, -1, EINVAL);
            return true;
        }
    }
    finish(client, 0, 0);
    std::lock_guard lk(mu_);
    ++stats_.submitted;
    if (node.gone) {
        node.complete(std::move(u), -ENODEV, 0);
        return true;
    }
    node.pending.push_back(std::move(u));
    cv_.notify_all();
    return true;
}

bool CameraImpl::discard_urb(Node &node, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    if (arg->data_len < static_cast<gint>(sizeof(gulong))) {
        finish(client, -1, EINVAL);
        return true;
    }
    gulong addr;
    std::memcpy(&addr, arg->data, sizeof addr);
    int err = EINVAL;  // not found: it completed already and waits to be reaped
    {
        std::lock_guard lk(mu_);
        for (auto *queue : {&node.pending, &node.held}) {
            for (auto it = queue->begin(); it != queue->end(); ++it) {
                if ((*it)->client == client && (*it)->data->client_addr == addr) {
                    UrbPtr u = std::move(*it);
                    queue->erase(it);
                    if (queue == &node.pending) {
                        ++stats_.discarded;
                    }
                    node.complete(std::move(u), -ENOENT, 0);
                    err = 0;
                    break;
                }
            }
            if (err == 0) {
                break;
            }
        }
    }
    finish(client, err ? -1 : 0, err);
    return true;
}

bool CameraImpl::reap_urb(Node &node, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    UrbPtr u;
    bool gone = false;
    {
        std::lock_guard lk(mu_);
        for (auto it = node.done.begin(); it != node.done.end(); ++it) {
            if ((*it)->client == client) {
                u = std::move(*it);
                node.done.erase(it);
                break;
            }
        }
        node.update_ready();
        gone = node.gone;
    }
    if (!u) {
        finish(client, -1, gone ? ENODEV : EAGAIN);
        return true;
    }
    // The argument points at the client's "struct usbdevfs_urb *": make it the reaped URB, so
    // that completing the ioctl writes the URB and its buffer back into the client.
    GError *gerr = nullptr;
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &gerr);
    if (!d) {
        g_clear_error(&gerr);
        finish(client, -1, EFAULT);
        return true;
    }
    umockdev_ioctl_data_set_ptr(d, 0, u->data);
    g_object_unref(d);
    finish(client, 0, 0);
    return true;
}

void CameraImpl::client_vanished(Node &node, UMockdevIoctlClient *client) {
    // The kernel drops a closed file's URBs; so do we.
    std::vector<UrbPtr> dropped;
    std::lock_guard lk(mu_);
    for (auto *queue : {&node.pending, &node.held, &node.done}) {
        for (auto it = queue->begin(); it != queue->end();) {
            if ((*it)->client == client) {
                dropped.push_back(std::move(*it));
                it = queue->erase(it);
            } else {
                ++it;
            }
        }
    }
    if (node.producing && node.producing->client == client) {
        node.producing->orphaned = true;
    }
    node.claims.erase(client);
    node.update_ready();
}

void CameraImpl::activate() {
    producer_ = std::thread([this] { producer(); });
    auto node = bus_.plug(*this);
    std::lock_guard lk(mu_);
    if (node) {
        node_ = std::move(node);
    }
}

void CameraImpl::replug() {
    {
        std::lock_guard lk(mu_);
        if (node_ || shut_down_) {
            return;
        }
    }
    auto node = bus_.plug(*this);
    if (!node) {
        return;
    }
    std::lock_guard lk(mu_);
    if (node_ || shut_down_) {
        // Lost a race with another replug or the shutdown: it never gets a client.
        node->gone = true;
        retired_.push_back(std::move(node));
        return;
    }
    node_ = std::move(node);
    // A camera that comes back starts afresh.
    last_type_ = last_value_ = 0;
    last_status_ = kStatusDone;
    last_message_.clear();
    busy_left_ = 0;
    echo_override_.reset();
    prepared_.reset();
}

void CameraImpl::unplug() {
    Node *node = nullptr;
    {
        std::lock_guard lk(mu_);
        if (!node_) {
            return;
        }
        node = node_.get();
        node->gone = true;
        for (auto *queue : {&node->pending, &node->held}) {
            while (!queue->empty()) {
                UrbPtr u = std::move(queue->front());
                queue->pop_front();
                node->complete(std::move(u), -ENODEV, 0);
            }
        }
        if (streaming_) {
            stop_stream_locked();
        }
        retired_.push_back(std::move(node_));
    }
    bus_.leave_sysfs(*node);
}

void CameraImpl::reenumerate(std::optional<std::chrono::milliseconds> back_after) {
    schedule_replug(back_after);
}

void CameraImpl::schedule_replug(std::optional<std::chrono::milliseconds> back_after) {
    // The camera answers the command that asked for it, then drops off the bus a moment later.
    std::weak_ptr<CameraImpl> weak = weak_from_this();
    bus_.schedule(std::chrono::milliseconds(20), [weak, back_after] {
        auto cam = weak.lock();
        if (!cam) {
            return;
        }
        cam->unplug();
        if (back_after) {
            cam->bus_.schedule(*back_after, [weak] {
                if (auto c = weak.lock()) {
                    c->replug();
                }
            });
        }
    });
}

void CameraImpl::shutdown() {
    {
        std::lock_guard lk(mu_);
        if (shut_down_) {
            return;
        }
        shut_down_ = true;
        cv_.notify_all();
    }
    if (producer_.joinable()) {
        producer_.join();
    }
    unplug();
}

CameraImpl::~CameraImpl() {
    shutdown();
}

}  // namespace tarvo::vcam::detail
