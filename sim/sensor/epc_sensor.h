// The EPC sensor's register file as the virtual camera's register target 1: a 256-register
// bank that answers like the sensor where the library reads back what it set up:
//   - the system clock (0x81 shift, 0x82 multiplier: 96000 kHz by default), the modulation
//     clock divider 0x85 and the mode register 0x92;
//   - the information bytes behind the index register 0x11 and the data register 0x12: each
//     access of 0x12 reads or writes the byte at the index and moves the index on; a transfer
//     that starts at 0x12 streams that many bytes (wafer id at 0xF6, chip id at 0xF8, high
//     byte first, part type at 0xFA, part version at 0xFB);
//   - the trimming bytes 0xE8..0xEF;
//   - the delay-locked loop: writing bit 0 of 0xA4 starts a lock attempt whose outcome shows in
//     the status register 0x70 (bits 1:0 set when locked) and the lock values 0x74..0x79.
// Every other register keeps what was last written.
//
// Thread context: thread-safe. The camera calls read() and write() with its own lock held;
// tests configure the sensor and read its record from their own thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vcam.h"

namespace tarvo::vcam {

struct EpcSensorConfig {
    uint8_t part_type = 2;  // 2, 3: epc660; 4, 5: epc635
    uint8_t part_version = 4;
    uint8_t ic_version = 3;
    uint16_t wafer_id = 1;
    uint16_t chip_id = 1;
};

// Outcome of one lock attempt of the delay-locked loop: the status register 0x70 and the lock
// values 0x74..0x79 it leaves. `status` -1 stands for 0x03 (both lock bits) when `locked` and
// 0x00 otherwise; an explicit status (a lock in one bit only, other bits set) also leaves the
// values, which a reader must then judge by the status alone.
struct DllAttempt {
    bool locked = true;
    std::array<uint8_t, 6> values{};
    int status = -1;
};

class EpcSensor final : public RegisterSpace {
  public:
    explicit EpcSensor(const EpcSensorConfig &config = {});

    bool write(uint32_t first, std::span<const uint32_t> values, std::string &message) override;
    bool read(uint32_t first, std::span<uint32_t> values, std::string &message) override;

    // Direct access for tests, outside the camera's command path (no side effects).
    uint8_t reg(uint8_t address) const;
    void set_reg(uint8_t address, uint8_t value);
    uint8_t info(uint8_t index) const;
    void set_info(uint8_t index, uint8_t value);

    // Lock attempts play `attempts` in order and then repeat the last one; an empty script
    // never locks. The default locks every time with the values of kDefaultLock.
    void set_dll_script(std::vector<DllAttempt> attempts);
    int dll_attempts() const;

    // Registers written through the camera, (register, value) in order.
    std::vector<std::pair<uint8_t, uint8_t>> writes() const;
    void clear_writes();

    static constexpr std::array<uint8_t, 6> kDefaultLock = {0x00, 0x30, 0x01, 0x00, 0x01, 0x05};

  private:
    uint8_t read_locked(uint8_t address);
    void write_locked(uint8_t address, uint8_t value);
    void lock_attempt_locked();

    mutable std::mutex mu_;
    std::array<uint8_t, kSensorRegisterCount> regs_{};
    std::array<uint8_t, 256> info_{};
    uint8_t info_index_ = 0;
    std::vector<DllAttempt> dll_script_;
    size_t dll_next_ = 0;
    int dll_attempts_ = 0;
    std::vector<std::pair<uint8_t, uint8_t>> writes_;
};

// Installs an EPC sensor on `camera` (register target 1) with the identity that the camera's
// chip information parameter (7) reports, and returns it.
std::shared_ptr<EpcSensor> install_epc_sensor(Camera &camera, uint8_t part_type = 2);

}  // namespace tarvo::vcam
