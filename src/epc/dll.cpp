// The sensor's delay-locked loop, which places the demodulation clock: bypass, fixed delay, and
// the automatic lock that averages the loop's own lock values over several attempts.
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "epc/config_state.h"

namespace {

using namespace tarvo::epc;

struct DllState {
    uint16_t fine = 0;
    uint8_t coarse = 0;
    uint8_t initialising = 0;
};
DllState g_dll;

constexpr int kMaxAttempts = 100;
constexpr int kWantedSamples = 10;

struct Sample {
    int fine;
    int coarse;
};

// Number of significant bits of x (0 for 0).
int bit_length(unsigned x) {
    int n = 0;
    for (; x != 0; x >>= 1)
        ++n;
    return n;
}

void progress(int step) {
    std::printf("%d\n", step);
}

// Settling time after a lock request, by the modulation clock divider; 0 for an unknown one.
int settling_us(int divider) {
    switch (divider) {
        case 0:
            return 2050;
        case 1:
            return 4050;
        case 3:
            return 8050;
        case 7:
            return 16050;
        case 15:
            return 32050;
        case 31:
            return 64050;
        default:
            return 0;
    }
}

// Registers the lock procedure borrows; put back on every way out.
struct Saved {
    uint8_t mode = 0;
    uint8_t integration[4] = {};
    uint8_t reg9a = 0;
};

void restore(int addr, const Saved &saved) {
    sensor_write(addr, 0xA0, saved.integration, 4);
    sensor_write_byte(addr, 0x9A, saved.reg9a);
}

// Mean coarse value, rounded, and the rounded mean fine value of the samples with that coarse
// value. When no sample has the mean coarse value (say, half the samples at 4 and half at 6)
// the nearest coarse value that did occur is used, so the result is a setting the loop locked at.
Sample average(const std::vector<Sample> &samples) {
    if (samples.empty())
        return {0, 0};
    double coarse_sum = 0;
    for (const Sample &s : samples)
        coarse_sum += s.coarse;
    int coarse = static_cast<int>(coarse_sum / static_cast<double>(samples.size()) + 0.5);
    int nearest = samples.front().coarse;
    for (const Sample &s : samples) {
        if (std::abs(s.coarse - coarse) < std::abs(nearest - coarse))
            nearest = s.coarse;
    }
    coarse = nearest;
    double fine_sum = 0;
    int count = 0;
    for (const Sample &s : samples) {
        if (s.coarse == coarse) {
            fine_sum += s.fine;
            ++count;
        }
    }
    return {static_cast<int>(fine_sum / count + 0.5), coarse};
}

}  // namespace

extern "C" {

int dllEnablePreheat(int on, int addr) {
    sensor_update_bits(addr, 0x90, 0x08, on != 0);
    return 0;
}

int dllBypassDLL(int on, int addr) {
    sensor_update_bits(addr, 0xAE, 0x01, on != 0);
    if (on != 0)
        return 0;
    return dllInitialize(addr);
}

int dllDetermineAndSetDemodulationDelay(int addr) {
    sensor_write_byte(addr, 0x8B, 2);
    sensor_write_byte(addr, 0xAE, 1);
    return 2;
}

int dllResetDemodulationDelay(int addr) {
    sensor_write_byte(addr, 0x8B, 0);
    return 0;
}

int dllInitialize(int addr) {
    g_dll.initialising = 1;
    const int divider = sensor_read_byte(addr, 0x85);
    uint8_t loop_divider = 0;
    uint8_t control = 0x77;
    switch (divider) {
        case 0:
            loop_divider = 3;
            control = 0x73;
            break;
        case 1:
            loop_divider = 7;
            break;
        case 3:
            loop_divider = 15;
            break;
        case 7:
            loop_divider = 31;
            break;
        case 15:
            loop_divider = 63;
            break;
        case 31:
            loop_divider = 127;
            break;
        default:
            zr_log(4, "ERR", "[%s] unknown modulation clock divider %d\n", __func__, divider);
            g_dll.initialising = 0;
            return -1;
    }
    sensor_write_byte(addr, 0x84, loop_divider);
    sensor_write_byte(addr, 0xAC, control);
    const int result = dllLockAutomatically(addr);
    g_dll.initialising = 0;
    return result < 0 ? -1 : 0;
}

int dllLockAutomatically(int addr) {
    Saved saved;
    saved.mode = sensor_read_byte(addr, 0x92);
    const int mode_bits = saved.mode >> 6;
    if (mode_bits > 1) {
        zr_log(4, "ERR", "[%s] sensor mode 0x%02x has no delay-locked loop\n", __func__,
               saved.mode);
        return -1;
    }
    const bool tof = mode_bits == 0;
    progress(1);
    sensor_write_byte(addr, 0x92, static_cast<uint8_t>(saved.mode & ~0x30));
    progress(2);
    sensor_read(addr, 0xA0, saved.integration, 4);
    progress(3);
    const uint8_t lock_integration[4] = {0, 1, 0, 0};
    sensor_write(addr, 0xA0, lock_integration, 4);
    progress(4);
    saved.reg9a = sensor_read_byte(addr, 0x9A);
    sensor_write_byte(addr, 0x9A, 0x76);
    progress(5);

    const int divider = sensor_read_byte(addr, 0x85);
    progress(6);
    const int settle = settling_us(divider);
    if (settle == 0) {
        // Nothing has been changed for the divider yet: put the borrowed registers back.
        zr_log(4, "ERR", "[%s] unknown modulation clock divider %d\n", __func__, divider);
        restore(addr, saved);
        sensor_write_byte(addr, 0x92, saved.mode);
        return -1;
    }
    if (tof) {
        if (divider == 0) {
            sensor_update_bits(addr, 0x8B, 0x10, true);
            sensor_write_byte(addr, 0x85, 1);
        } else {
            sensor_write_byte(addr, 0x85, static_cast<uint8_t>(divider >> 1));
        }
    }
    const uint8_t lock_setup[6] = {0x18, 0xFF, 0x25, 0x7F, 0x00, 0x01};
    sensor_write(addr, 0xA6, lock_setup, 6);
    progress(7);
    sensor_write_byte(addr, 0xAE, 0);
    progress(8);
    progress(9);

    std::vector<Sample> samples;
    int last_l0 = 0;
    int last_l1 = 0;
    int attempts = 0;
    bool locked = false;
    while (attempts < kMaxAttempts && static_cast<int>(samples.size()) < kWantedSamples) {
        ++attempts;
        sensor_write_byte(addr, 0xA4, 1);
        progress(10);
        std::this_thread::sleep_for(std::chrono::microseconds(settle));
        const uint8_t status = sensor_read_byte(addr, 0x70);
        progress(11);
        locked = (status & 0x03) == 0x03;
        if (!locked)
            continue;
        uint8_t b[6] = {};
        sensor_read(addr, 0x74, b, 6);
        const unsigned w0 = b[0] * 256u + b[1];
        const unsigned w1 = b[2] * 256u + b[3];
        // A word with its top bit set is not a valid reading; the previous length stands.
        if (w0 < 0x8000)
            last_l0 = bit_length(w0);
        if (w1 < 0x8000)
            last_l1 = bit_length(w1);
        const Sample s{b[4] * 256 + 16 * last_l0 + last_l1, b[5]};
        samples.push_back(s);
        std::printf("dll_fine_ctrl_ext: 0x%04X (%d)\ndll_coarse_ctrl_ext: 0x%02X (%d)\n", s.fine,
                    s.fine, s.coarse, s.coarse);
        std::printf("INFO: DLL locked and matched %d times after a total of %d attempt(s).\n",
                    static_cast<int>(samples.size()), attempts);
    }
    if (attempts == kMaxAttempts && !locked)
        std::printf("WARNING: DLL locking failed (max. no. of loops reached).\n");
    const uint8_t zeros[2] = {0, 0};
    sensor_write(addr, 0xAA, zeros, 2);
    progress(12);

    Sample result = average(samples);
    for (const Sample &s : samples) {
        if (s.coarse < result.coarse)
            std::printf(
                "INFO: Coarse value below average. Difference to average for fine value: %d\n",
                s.fine - result.fine);
        else if (s.coarse > result.coarse)
            std::printf(
                "INFO: Coarse value above average. Difference to average for fine value: %d\n",
                s.fine - result.fine);
    }
    if (!samples.empty() && !g_dll.initialising && result.coarse == g_dll.coarse)
        result.fine = static_cast<int>((g_dll.fine * 0.75 + result.fine) / 1.75 + 0.5);

    g_dll.fine = static_cast<uint16_t>(result.fine);
    g_dll.coarse = static_cast<uint8_t>(result.coarse);
    const uint8_t lock_values[3] = {static_cast<uint8_t>((g_dll.fine >> 8) & 3),
                                    static_cast<uint8_t>(g_dll.fine & 0xFF), g_dll.coarse};
    sensor_write(addr, 0x71, lock_values, 3);
    sensor_write_byte(addr, 0xAE, 4);

    restore(addr, saved);
    if (tof) {
        sensor_write_byte(addr, 0x85, static_cast<uint8_t>(divider));
        if (divider == 0)
            sensor_update_bits(addr, 0x8B, 0x10, false);
    }
    sensor_write_byte(addr, 0x92, saved.mode);
    return samples.empty() ? -1 : 0;
}

uint8_t dllGetCoarseCtrlExt(void) {
    return g_dll.coarse;
}

uint16_t dllGetFineCtrlExt(void) {
    return g_dll.fine;
}

}  // extern "C"
