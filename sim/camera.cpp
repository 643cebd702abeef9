// The camera's command set on endpoint 0: status, registers, parameters, reset and capture
// control, with the faults tests switch on.
#include "camera_impl.h"

#include "bus_impl.h"
#include "byte_order.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tarvo::vcam {

namespace {

// What every fault names: the command it hits, and how many times (-1: every time).
Fault hitting(FaultKind kind, int type, int value, int times) {
    Fault f;
    f.kind = kind;
    f.type = type;
    f.value = value;
    f.times = times;
    return f;
}

Fault in_direction(FaultKind kind, int type, int value, std::optional<Dir> dir, int times) {
    Fault f = hitting(kind, type, value, times);
    f.dir = dir;
    return f;
}

}  // namespace

Fault Fault::busy(int type, int value, int replies, int times) {
    Fault f = hitting(FaultKind::busy, type, value, times);
    f.busy_replies = replies;
    return f;
}

Fault Fault::fail(int type, int value, std::string message, int times) {
    Fault f = hitting(FaultKind::fail, type, value, times);
    f.message = std::move(message);
    return f;
}

Fault Fault::wrong_echo(int type, int value, uint8_t echo_type, uint8_t echo_value, int times) {
    Fault f = hitting(FaultKind::wrong_echo, type, value, times);
    f.echo_type = echo_type;
    f.echo_value = echo_value;
    return f;
}

Fault Fault::silent(int type, int value, std::optional<Dir> dir, int times) {
    return in_direction(FaultKind::silent, type, value, dir, times);
}

Fault Fault::stall(int type, int value, std::optional<Dir> dir, int times) {
    return in_direction(FaultKind::stall, type, value, dir, times);
}

Fault Fault::short_reply(int type, int value, int times) {
    return in_direction(FaultKind::short_reply, type, value, Dir::in, times);
}

Fault Fault::long_reply(int type, int value, int times) {
    return in_direction(FaultKind::long_reply, type, value, Dir::in, times);
}

Fault Fault::param_length(int param, uint8_t length, int times) {
    Fault f = hitting(FaultKind::param_length, kTypeDevice, kDevParamGet, times);
    f.param = param;
    f.length = length;
    return f;
}

}  // namespace tarvo::vcam

namespace tarvo::vcam::detail {

namespace {

constexpr size_t kSetupSize = 8;
// Enough for every command of a long test without letting a long capture grow it forever.
constexpr size_t kMaxLogEntries = 1 << 16;

// Target 1: the sensor's register file, a fixed array.
class SensorSpace final : public RegisterSpace {
  public:
    bool write(uint32_t first, std::span<const uint32_t> values, std::string &message) override {
        if (!in_range(first, values.size(), message)) {
            return false;
        }
        std::copy(values.begin(), values.end(), regs_.begin() + first);
        return true;
    }
    bool read(uint32_t first, std::span<uint32_t> values, std::string &message) override {
        if (!in_range(first, values.size(), message)) {
            return false;
        }
        std::copy_n(regs_.begin() + first, values.size(), values.begin());
        return true;
    }

  private:
    static bool in_range(uint32_t first, size_t count, std::string &message) {
        if (uint64_t{first} + count > kSensorRegisterCount) {
            message = "register out of range";
            return false;
        }
        return true;
    }
    std::array<uint32_t, kSensorRegisterCount> regs_{};
};

// Every other target: any address, unwritten registers read 0.
class SparseSpace final : public RegisterSpace {
  public:
    bool write(uint32_t first, std::span<const uint32_t> values, std::string &) override {
        for (size_t i = 0; i < values.size(); ++i) {
            regs_[static_cast<uint32_t>(first + i)] = values[i];
        }
        return true;
    }
    bool read(uint32_t first, std::span<uint32_t> values, std::string &) override {
        for (size_t i = 0; i < values.size(); ++i) {
            auto it = regs_.find(static_cast<uint32_t>(first + i));
            values[i] = it == regs_.end() ? 0 : it->second;
        }
        return true;
    }

  private:
    std::map<uint32_t, uint32_t> regs_;
};

bool matches(const Fault &f, uint8_t type, uint16_t value, Dir dir) {
    return (f.type < 0 || f.type == type) && (f.value < 0 || f.value == value) &&
           (!f.dir || *f.dir == dir);
}

bool read_only_param(uint8_t id) {
    return id == kParamIdent || id == kParamProduct || id == kParamInfo || id == kParamVersion ||
           id == kParamChipInfo;
}

// The integration time is two bytes wide whatever length the item gives: the host moves whole
// items, and automatic exposure sends it with a length of 0.
size_t value_length(uint8_t id, uint8_t item_length) {
    return id == kParamIntegrationTime ? 2 : item_length;
}

std::span<const uint8_t> as_bytes(const std::string &s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

CommandOutcome failed(std::string message) {
    return CommandOutcome{false, std::move(message), 0};
}

}  // namespace

std::vector<uint8_t> usb_descriptors(int speed) {
    // Bulk endpoints may carry 64 bytes per packet at full speed, 512 at high speed.
    const uint16_t packet = speed >= 4 ? 1024 : speed == 3 ? 512 : 64;
    const uint16_t usb = speed >= 4 ? 0x0300 : 0x0200;
    std::vector<uint8_t> d = {
        // device
        18, 1, static_cast<uint8_t>(usb), static_cast<uint8_t>(usb >> 8), 0, 0, 0,
        static_cast<uint8_t>(speed >= 4 ? 9 : 64), static_cast<uint8_t>(kVendorId),
        static_cast<uint8_t>(kVendorId >> 8), static_cast<uint8_t>(kProductId),
        static_cast<uint8_t>(kProductId >> 8), 0x00, 0x01, 0, 0, 0, 1,
        // configuration 1, one interface, bus powered, 500 mA
        9, 2, 25, 0, 1, 1, 0, 0x80, 250,
        // interface 0, vendor class, one endpoint
        9, 4, 0, 0, 1, 0xFF, 0, 0, 0,
        // bulk IN endpoint 0x81
        7, 5, kBulkEndpoint, 2, static_cast<uint8_t>(packet), static_cast<uint8_t>(packet >> 8), 0};
    return d;
}

CameraImpl::CameraImpl(BusImpl &bus, const CameraConfig &cfg, int port)
    : bus_(bus), cfg_(cfg), port_(port) {
    spaces_[1] = std::make_shared<SensorSpace>();
    std::string ident = cfg.ident.empty() ? "VCAM-" + std::to_string(port) : cfg.ident;
    store_param_locked(kParamIdent, as_bytes(ident));
    store_param_locked(kParamProduct, as_bytes(cfg.product));
    const uint8_t info[16] = {'V', 'C', 'A', 'M', 1, 0, static_cast<uint8_t>(port), 0};
    store_param_locked(kParamInfo, info);
    uint8_t version[8] = {1, 0};
    put_le16(version + 2, cfg.fw_version);
    store_param_locked(kParamVersion, version);
    uint8_t chip[6];
    put_le16(chip, cfg.part_version);
    put_le16(chip + 2, cfg.chip_id);
    put_le16(chip + 4, cfg.wafer_id);
    store_param_locked(kParamChipInfo, chip);
    uint8_t rate[4];
    put_le32(rate, cfg.frame_rate);
    store_param_locked(kParamFrameRate, rate);
    uint8_t integration[2];
    put_le16(integration, cfg.integration_time);
    store_param_locked(kParamIntegrationTime, integration);
}

void CameraImpl::store_param_locked(uint8_t id, std::span<const uint8_t> value) {
    auto n = std::min(value.size(), kParamValueSize);
    params_[id].assign(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(n));
}

RegisterSpace &CameraImpl::space_locked(uint8_t target) {
    auto &space = spaces_[target];
    if (!space) {
        space = std::make_shared<SparseSpace>();
    }
    return *space;
}

ControlReply CameraImpl::control_locked(std::span<uint8_t> buf, CommandEffects &fx) {
    if (buf.size() < kSetupSize) {
        return {ControlReply::Kind::stall, 0};
    }
    CommandRecord rec;
    rec.request_type = buf[0];
    rec.type = buf[1];
    rec.value = get_le16(&buf[2]);
    rec.index = get_le16(&buf[4]);
    rec.length = get_le16(&buf[6]);
    rec.dir = (rec.request_type & 0x80) ? Dir::in : Dir::out;
    if (buf.size() - kSetupSize < rec.length) {
        return {ControlReply::Kind::stall, 0};
    }
    auto data = buf.subspan(kSetupSize, rec.length);
    if (rec.dir == Dir::out) {
        rec.data.assign(data.begin(), data.end());
        if (rec.type == kTypeRegister && (rec.value == kRegWrite || rec.value == kRegRead) &&
            data.size() >= kRegHeaderSize) {
            rec.target = data[0];
            rec.first = get_le32(&data[1]);
            rec.byte_count = get_le16(&data[5]);
        }
    }
    if (log_.size() >= kMaxLogEntries) {
        log_.erase(log_.begin(), log_.begin() + kMaxLogEntries / 2);
    }
    log_.push_back(rec);

    if ((rec.request_type & 0x60) == 0) {
        // Standard requests: only what a descriptor dump asks for.
        if (rec.request_type == 0x80 && rec.type == 6) {
            auto desc = usb_descriptors(cfg_.speed);
            const uint8_t kind = static_cast<uint8_t>(rec.value >> 8);
            std::span<const uint8_t> src;
            if (kind == 1) {
                src = std::span<const uint8_t>(desc).first(18);
            } else if (kind == 2) {
                src = std::span<const uint8_t>(desc).subspan(18);
            } else {
                return {ControlReply::Kind::stall, 0};
            }
            const size_t n = std::min(src.size(), data.size());
            std::copy_n(src.begin(), n, data.begin());
            return {ControlReply::Kind::complete, n};
        }
        if (rec.request_type == 0x80 && rec.type == 0 && data.size() >= 2) {
            data[0] = data[1] = 0;
            return {ControlReply::Kind::complete, 2};
        }
        if (rec.dir == Dir::out) {
            return {ControlReply::Kind::complete, 0};
        }
        return {ControlReply::Kind::stall, 0};
    }
    if (rec.request_type != 0x22 && rec.request_type != 0xA2) {
        return {ControlReply::Kind::stall, 0};
    }
    return shape_reply_locked(rec, vendor_locked(rec, data, fx));
}

ControlReply CameraImpl::shape_reply_locked(const CommandRecord &rec, ControlReply reply) {
    if (reply.kind != ControlReply::Kind::complete || rec.dir != Dir::in)
        return reply;
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if ((it->kind != FaultKind::short_reply && it->kind != FaultKind::long_reply) ||
            !matches(*it, rec.type, rec.value, rec.dir)) {
            continue;
        }
        if (it->kind == FaultKind::short_reply)
            reply.actual /= 2;
        else
            reply.kind = ControlReply::Kind::overflow;
        if (it->times > 0 && --it->times == 0)
            faults_.erase(it);
        break;
    }
    return reply;
}

ControlReply CameraImpl::vendor_locked(const CommandRecord &rec, std::span<uint8_t> data,
                                       CommandEffects &fx) {
    // Faults that act on the transfer itself.
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if ((it->kind == FaultKind::silent || it->kind == FaultKind::stall) &&
            matches(*it, rec.type, rec.value, rec.dir)) {
            const auto kind = it->kind == FaultKind::silent ? ControlReply::Kind::hold
                                                            : ControlReply::Kind::stall;
            if (it->times > 0 && --it->times == 0) {
                faults_.erase(it);
            }
            return {kind, 0};
        }
    }

    if (rec.type == kTypeStatus) {
        if (rec.dir != Dir::in) {
            return {ControlReply::Kind::stall, 0};
        }
        uint8_t reply[kStatusReplySize] = {};
        if (busy_left_ > 0) {
            --busy_left_;
            reply[0] = kStatusBusy;
        } else {
            reply[0] = last_status_;
            if (last_status_ == kStatusFailed) {
                // A message of 60 characters or more fills the field without a terminator.
                std::memcpy(reply + 3, last_message_.data(),
                            std::min(last_message_.size(), kStatusMessageSize));
            }
        }
        reply[1] = echo_override_ ? echo_override_->first : last_type_;
        reply[2] = echo_override_ ? echo_override_->second : last_value_;
        const size_t n = std::min(data.size(), kStatusReplySize);
        std::memcpy(data.data(), reply, n);
        return {ControlReply::Kind::complete, n};
    }

    const bool known = rec.type == kTypeDevice || rec.type == kTypeRegister ||
                       rec.type == kTypeAction || extensions_.count(rec.type) != 0;
    if (!known) {
        return {ControlReply::Kind::stall, 0};
    }

    CommandOutcome outcome;
    bool refused = false;
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->kind == FaultKind::fail && matches(*it, rec.type, rec.value, rec.dir)) {
            outcome = failed(it->message);
            refused = true;
            if (it->times > 0 && --it->times == 0) {
                faults_.erase(it);
            }
            break;
        }
    }
    if (!refused) {
        outcome = execute_locked(rec, data, fx);
    }

    last_type_ = rec.type;
    last_value_ = static_cast<uint8_t>(rec.value);
    last_status_ = outcome.ok ? kStatusDone : kStatusFailed;
    last_message_ = outcome.ok ? std::string() : outcome.message;
    busy_left_ = std::max(outcome.busy_replies, 0);
    echo_override_.reset();
    for (auto it = faults_.begin(); it != faults_.end();) {
        bool used = false;
        if (it->kind == FaultKind::busy && matches(*it, rec.type, rec.value, rec.dir)) {
            busy_left_ += std::max(it->busy_replies, 0);
            used = true;
        } else if (it->kind == FaultKind::wrong_echo && !echo_override_ &&
                   matches(*it, rec.type, rec.value, rec.dir)) {
            echo_override_ = std::make_pair(it->echo_type, it->echo_value);
            used = true;
        }
        if (used && it->times > 0 && --it->times == 0) {
            it = faults_.erase(it);
        } else {
            ++it;
        }
    }
    const size_t actual =
        rec.dir == Dir::out ? data.size() : std::min(outcome.answered, data.size());
    return {ControlReply::Kind::complete, actual};
}

CommandOutcome CameraImpl::execute_locked(const CommandRecord &rec, std::span<uint8_t> data,
                                          CommandEffects &fx) {
    if (auto ext = extensions_.find(rec.type); ext != extensions_.end() && ext->second) {
        return rec.dir == Dir::out ? ext->second->write(rec.value, data)
                                   : ext->second->read(rec.value, data);
    }
    const bool out = rec.dir == Dir::out;
    if (rec.type == kTypeDevice) {
        if (rec.value == kDevReset && out) {
            if (data.size() < 4) {
                return failed("bad reset request");
            }
            const uint32_t target = get_le32(data.data());
            resets_.push_back(target);
            if (target == 3) {
                fx.reset_replug = true;
            }
            return {};
        }
        if (rec.value == kDevParamSet && out) {
            return param_set_locked(data, fx);
        }
        if (rec.value == kDevParamGet) {
            return out ? param_get_request_locked(data)
                       : reply_prepared_locked(rec.type, rec.value, data);
        }
    } else if (rec.type == kTypeRegister) {
        if (rec.value == kRegWrite && out) {
            return reg_write_locked(data);
        }
        if (rec.value == kRegRead) {
            return out ? reg_read_request_locked(data)
                       : reply_prepared_locked(rec.type, rec.value, data);
        }
        if (rec.value == kRegCapStart && out) {
            if (data.size() < 4) {
                return failed("bad capture start request");
            }
            start_arg_ = get_le32(data.data());
            auto rate = params_.find(kParamFrameRate);
            stream_ctx_.start_arg = start_arg_;
            stream_ctx_.frame_rate = rate != params_.end() && rate->second.size() >= 4
                                         ? get_le32(rate->second.data())
                                         : 0;
            streaming_ = true;
            ++stream_gen_;
            step_.reset();
            source_idle_ = false;
            ++stats_.starts;
            cv_.notify_all();
            return {};
        }
        if (rec.value == kRegCapStop && out) {
            stop_stream_locked();
            ++stats_.stops;
            return {};
        }
    } else if (rec.type == kTypeAction) {
        return failed("action protocol not supported");
    }
    return failed("unknown command");
}

void CameraImpl::stop_stream_locked() {
    streaming_ = false;
    ++stream_gen_;
    step_.reset();
    cv_.notify_all();
}

CommandOutcome CameraImpl::param_set_locked(std::span<const uint8_t> data, CommandEffects &fx) {
    if (data.size() % kParamItemSize != 0) {
        return failed("bad parameter item size");
    }
    // Check every item first: a refused set changes nothing.
    for (size_t off = 0; off < data.size(); off += kParamItemSize) {
        if (data[off + 1] > kParamValueSize) {
            return failed("bad parameter length");
        }
        if (read_only_param(data[off])) {
            return failed("parameter " + std::to_string(data[off]) + " is read-only");
        }
    }
    for (size_t off = 0; off < data.size(); off += kParamItemSize) {
        auto value = data.subspan(off + 2, value_length(data[off], data[off + 1]));
        store_param_locked(data[off], value);
        if (data[off] == kParamMode) {
            source_idle_ = false;  // the mode may hand the stream to the upload source
            cv_.notify_all();
        }
        fx.params_set.emplace_back(data[off], std::vector<uint8_t>(value.begin(), value.end()));
    }
    return {};
}

CommandOutcome CameraImpl::param_get_request_locked(std::span<const uint8_t> data) {
    prepared_.reset();
    if (data.empty() || data.size() % kParamItemSize != 0) {
        return failed("bad parameter item size");
    }
    const size_t n = data.size() / kParamItemSize;
    if (n > kMaxParamGetItems) {
        return failed("too many parameters");
    }
    std::vector<uint8_t> reply(data.size(), 0);
    for (size_t i = 0; i < n; ++i) {
        uint8_t *item = &reply[i * kParamItemSize];
        item[0] = data[i * kParamItemSize];
        if (auto it = params_.find(item[0]); it != params_.end()) {
            item[1] = static_cast<uint8_t>(it->second.size());
            std::copy(it->second.begin(), it->second.end(), item + 2);
        }
        for (auto f = faults_.begin(); f != faults_.end(); ++f) {
            if (f->kind == FaultKind::param_length && (f->param < 0 || f->param == item[0])) {
                item[1] = f->length;
                if (f->times > 0 && --f->times == 0) {
                    faults_.erase(f);
                }
                break;
            }
        }
    }
    prepared_type_ = kTypeDevice;
    prepared_value_ = kDevParamGet;
    prepared_ = std::move(reply);
    return {};
}

CommandOutcome CameraImpl::reg_write_locked(std::span<const uint8_t> data) {
    if (data.size() < kRegHeaderSize) {
        return failed("bad register request");
    }
    const uint8_t target = data[0];
    const uint32_t first = get_le32(&data[1]);
    const uint16_t bytes = get_le16(&data[5]);
    if (bytes % 4 != 0 || bytes != data.size() - kRegHeaderSize) {
        return failed("bad register request");
    }
    std::vector<uint32_t> values(bytes / 4);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = get_le32(&data[kRegHeaderSize + 4 * i]);
    }
    std::string message;
    if (!space_locked(target).write(first, values, message)) {
        return failed(message);
    }
    return {};
}

CommandOutcome CameraImpl::reg_read_request_locked(std::span<const uint8_t> data) {
    prepared_.reset();
    if (data.size() != kRegHeaderSize) {
        return failed("bad register request");
    }
    const uint8_t target = data[0];
    const uint32_t first = get_le32(&data[1]);
    const uint16_t bytes = get_le16(&data[5]);
    if (bytes % 4 != 0) {
        return failed("bad register request");
    }
    if (bytes > kMaxRegReadBytes) {
        return failed("register read too long");
    }
    std::vector<uint32_t> values(bytes / 4);
    std::string message;
    if (!space_locked(target).read(first, values, message)) {
        return failed(message);
    }
    std::vector<uint8_t> reply(bytes);
    for (size_t i = 0; i < values.size(); ++i) {
        put_le32(&reply[4 * i], values[i]);
    }
    prepared_type_ = kTypeRegister;
    prepared_value_ = kRegRead;
    prepared_ = std::move(reply);
    return {};
}

CommandOutcome CameraImpl::reply_prepared_locked(uint8_t type, uint16_t value,
                                                 std::span<uint8_t> out) {
    if (!prepared_ || prepared_type_ != type || prepared_value_ != value) {
        return failed("no read request");
    }
    const size_t n = std::min(out.size(), prepared_->size());
    std::copy_n(prepared_->begin(), n, out.begin());
    return {true, {}, n};
}

// Public configuration.

int CameraImpl::address() const {
    std::lock_guard lk(mu_);
    return node_ ? node_->address : 0;
}

bool CameraImpl::plugged() const {
    std::lock_guard lk(mu_);
    return node_ != nullptr;
}

std::string CameraImpl::devnode() const {
    std::lock_guard lk(mu_);
    return node_ ? node_->devnode : std::string();
}

void CameraImpl::set_reset_replug_delay(std::optional<std::chrono::milliseconds> delay) {
    std::lock_guard lk(mu_);
    reset_replug_delay_ = delay;
}

std::vector<uint32_t> CameraImpl::resets() const {
    std::lock_guard lk(mu_);
    return resets_;
}

void CameraImpl::refuse_interface(int interface, bool refuse) {
    if (interface < 0 || interface >= 32) {
        return;
    }
    std::lock_guard lk(mu_);
    if (refuse) {
        refused_ifaces_ |= 1u << interface;
    } else {
        refused_ifaces_ &= ~(1u << interface);
    }
}

void CameraImpl::add_fault(const Fault &fault) {
    std::lock_guard lk(mu_);
    if (fault.times != 0) {
        faults_.push_back(fault);
    }
}

void CameraImpl::clear_faults() {
    std::lock_guard lk(mu_);
    faults_.clear();
    busy_left_ = 0;
    echo_override_.reset();
}

std::vector<CommandRecord> CameraImpl::commands() const {
    std::lock_guard lk(mu_);
    return log_;
}

void CameraImpl::clear_commands() {
    std::lock_guard lk(mu_);
    log_.clear();
}

void CameraImpl::set_param(uint8_t id, std::span<const uint8_t> value) {
    std::lock_guard lk(mu_);
    store_param_locked(id, value);
}

std::optional<std::vector<uint8_t>> CameraImpl::param(uint8_t id) const {
    std::lock_guard lk(mu_);
    auto it = params_.find(id);
    if (it == params_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void CameraImpl::set_product(const std::string &product) {
    set_param(kParamProduct, as_bytes(product));
}

void CameraImpl::set_ident(const std::string &ident) {
    set_param(kParamIdent, as_bytes(ident));
}

void CameraImpl::set_chip_info(uint16_t part_version, uint16_t chip_id, uint16_t wafer_id) {
    uint8_t chip[6];
    put_le16(chip, part_version);
    put_le16(chip + 2, chip_id);
    put_le16(chip + 4, wafer_id);
    set_param(kParamChipInfo, chip);
}

void CameraImpl::set_fw_version(uint16_t version) {
    std::lock_guard lk(mu_);
    auto &block = params_[kParamVersion];
    if (block.size() < 4) {
        block.resize(4, 0);
    }
    put_le16(block.data() + 2, version);
}

void CameraImpl::set_param_observer(std::function<void(uint8_t, std::span<const uint8_t>)> obs) {
    std::lock_guard lk(mu_);
    param_observer_ = std::move(obs);
}

uint32_t CameraImpl::reg(uint8_t target, uint32_t address) const {
    std::lock_guard lk(mu_);
    uint32_t v = 0;
    std::string message;
    const_cast<CameraImpl *>(this)->space_locked(target).read(address, {&v, 1}, message);
    return v;
}

void CameraImpl::set_reg(uint8_t target, uint32_t address, uint32_t value) {
    std::lock_guard lk(mu_);
    std::string message;
    space_locked(target).write(address, {&value, 1}, message);
}

void CameraImpl::set_register_space(uint8_t target, std::shared_ptr<RegisterSpace> space) {
    std::lock_guard lk(mu_);
    spaces_[target] = std::move(space);
}

void CameraImpl::set_command_extension(uint8_t type, std::shared_ptr<CommandExtension> ext) {
    if (type == kTypeStatus) {
        return;
    }
    std::lock_guard lk(mu_);
    if (ext) {
        extensions_[type] = std::move(ext);
    } else {
        extensions_.erase(type);
    }
}

}  // namespace tarvo::vcam::detail
