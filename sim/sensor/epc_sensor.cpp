#include "sensor/epc_sensor.h"

#include <algorithm>

namespace tarvo::vcam {
namespace {

constexpr uint8_t kInfoIndex = 0x11;
constexpr uint8_t kInfoData = 0x12;
constexpr uint8_t kDllStatus = 0x70;
constexpr uint8_t kDllValues = 0x74;
constexpr uint8_t kDllStart = 0xA4;
// Enough for a long test without letting a long session grow the record forever.
constexpr size_t kMaxWrites = 1 << 16;

// Runs `each(i, address)` for the `count` registers of a transfer from `first`, under `mu`: a
// transfer that starts at the information data register streams through it, any other walks
// the register file.
template <typename Fn>
bool transfer(std::mutex &mu, uint32_t first, size_t count, std::string &message, Fn &&each) {
    if (uint64_t{first} + count > kSensorRegisterCount) {
        message = "register out of range";
        return false;
    }
    std::lock_guard lk(mu);
    const bool streaming = first == kInfoData;
    for (size_t i = 0; i < count; ++i)
        each(i, static_cast<uint8_t>(streaming ? kInfoData : first + i));
    return true;
}

template <typename Array>
uint8_t load(std::mutex &mu, const Array &bytes, uint8_t index) {
    std::lock_guard lk(mu);
    return bytes[index];
}

template <typename Array>
void store(std::mutex &mu, Array &bytes, uint8_t index, uint8_t value) {
    std::lock_guard lk(mu);
    bytes[index] = value;
}

}  // namespace

EpcSensor::EpcSensor(const EpcSensorConfig &config) {
    regs_[0x00] = 0x02;
    regs_[0x01] = config.ic_version;
    // SysClk = ((0x82 & 0x1F) x 4000 + 4000) >> ((0x81 >> 4) & 3) = 96000 kHz.
    regs_[0x81] = 0x00;
    regs_[0x82] = 0x17;
    regs_[0x80] = 0x3F;
    regs_[0x85] = 0x01;  // 12 MHz modulation
    regs_[0x92] = 0x30;  // time of flight, four DCS
    for (uint8_t abs : {0x22, 0x25, 0x28, 0x2B})
        regs_[abs] = 0x30;
    regs_[0xAE] = 0x01;
    const uint8_t trimming[8] = {0x7F, 0x80, 0x81, 0x7E, 0x80, 0x80, 0x7E, 0x81};
    std::copy(std::begin(trimming), std::end(trimming), regs_.begin() + 0xE8);
    info_[0xF5] = 0x01;
    info_[0xF6] = static_cast<uint8_t>(config.wafer_id >> 8);
    info_[0xF7] = static_cast<uint8_t>(config.wafer_id);
    info_[0xF8] = static_cast<uint8_t>(config.chip_id >> 8);
    info_[0xF9] = static_cast<uint8_t>(config.chip_id);
    info_[0xFA] = config.part_type;
    info_[0xFB] = config.part_version;
    DllAttempt lock;
    lock.values = kDefaultLock;
    dll_script_.push_back(lock);
}

bool EpcSensor::write(uint32_t first, std::span<const uint32_t> values, std::string &message) {
    return transfer(mu_, first, values.size(), message, [&](size_t i, uint8_t address) {
        write_locked(address, static_cast<uint8_t>(values[i]));
    });
}

bool EpcSensor::read(uint32_t first, std::span<uint32_t> values, std::string &message) {
    return transfer(mu_, first, values.size(), message,
                    [&](size_t i, uint8_t address) { values[i] = read_locked(address); });
}

uint8_t EpcSensor::read_locked(uint8_t address) {
    switch (address) {
        case kInfoIndex:
            return info_index_;
        case kInfoData:
            return info_[info_index_++];
        default:
            return regs_[address];
    }
}

void EpcSensor::write_locked(uint8_t address, uint8_t value) {
    if (writes_.size() >= kMaxWrites)
        writes_.erase(writes_.begin(), writes_.begin() + kMaxWrites / 2);
    writes_.emplace_back(address, value);
    switch (address) {
        case kInfoIndex:
            info_index_ = value;
            break;
        case kInfoData:
            info_[info_index_++] = value;
            break;
        case kDllStart:
            regs_[address] = value;
            if (value & 1)
                lock_attempt_locked();
            break;
        default:
            regs_[address] = value;
            break;
    }
}

void EpcSensor::lock_attempt_locked() {
    ++dll_attempts_;
    if (dll_script_.empty()) {
        regs_[kDllStatus] = 0x00;
        return;
    }
    const DllAttempt &attempt = dll_script_[std::min(dll_next_, dll_script_.size() - 1)];
    if (dll_next_ < dll_script_.size())
        ++dll_next_;
    const bool explicit_status = attempt.status >= 0;
    regs_[kDllStatus] = explicit_status  ? static_cast<uint8_t>(attempt.status)
                        : attempt.locked ? 0x03
                                         : 0x00;
    if (attempt.locked || explicit_status)
        std::copy(attempt.values.begin(), attempt.values.end(), regs_.begin() + kDllValues);
}

uint8_t EpcSensor::reg(uint8_t address) const {
    return load(mu_, regs_, address);
}

void EpcSensor::set_reg(uint8_t address, uint8_t value) {
    store(mu_, regs_, address, value);
}

uint8_t EpcSensor::info(uint8_t index) const {
    return load(mu_, info_, index);
}

void EpcSensor::set_info(uint8_t index, uint8_t value) {
    store(mu_, info_, index, value);
}

void EpcSensor::set_dll_script(std::vector<DllAttempt> attempts) {
    std::lock_guard lk(mu_);
    dll_script_ = std::move(attempts);
    dll_next_ = 0;
}

int EpcSensor::dll_attempts() const {
    std::lock_guard lk(mu_);
    return dll_attempts_;
}

std::vector<std::pair<uint8_t, uint8_t>> EpcSensor::writes() const {
    std::lock_guard lk(mu_);
    return writes_;
}

void EpcSensor::clear_writes() {
    std::lock_guard lk(mu_);
    writes_.clear();
}

std::shared_ptr<EpcSensor> install_epc_sensor(Camera &camera, uint8_t part_type) {
    EpcSensorConfig config;
    config.part_type = part_type;
    if (auto chip = camera.param(kParamChipInfo); chip && chip->size() >= 6) {
        const auto &c = *chip;
        config.part_version = static_cast<uint8_t>(c[0] | c[1] << 8);
        config.chip_id = static_cast<uint16_t>(c[2] | c[3] << 8);
        config.wafer_id = static_cast<uint16_t>(c[4] | c[5] << 8);
    }
    auto sensor = std::make_shared<EpcSensor>(config);
    camera.set_register_space(1, sensor);
    return sensor;
}

}  // namespace tarvo::vcam
