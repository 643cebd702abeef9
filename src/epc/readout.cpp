// Sensor read-out settings: binning, row reduction, dual MGX, HDR, the region of interest and
// the PN polynomial, each a read-modify-write of the sensor's registers.
#include <tarvo/epc_calc.h>

#include <algorithm>
#include <cstdio>

#include "epc/config_state.h"

namespace {

struct Region {
    uint16_t left = 4;
    uint16_t right = 323;
    uint8_t top = 6;
    uint8_t bottom = 125;
};

Region g_region;

// Rows: sequence length 1..7, columns: index 0..4.
constexpr uint16_t kPolynomials[7][5] = {
    {0x402B, 0x4039, 0x4053, 0x405F, 0x7FE7}, {0x201B, 0x2027, 0x2035, 0x2053, 0x3FFD},
    {0x1053, 0x1069, 0x107B, 0x107D, 0x1FC9}, {0x0805, 0x0817, 0x082B, 0x082D, 0x0FE9},
    {0x0409, 0x041B, 0x0427, 0x042D, 0x07F9}, {0x0211, 0x021B, 0x0221, 0x022D, 0x03FB},
    {0x011D, 0x012B, 0x012D, 0x014D, 0x01F5},
};

bool read_byte(int addr, int reg, unsigned char &value) {
    unsigned char *p = &value;
    return i2c(addr, 'r', reg, 1, &p) == 0;
}

bool write_byte(int addr, int reg, unsigned char value) {
    unsigned char *p = &value;
    return i2c(addr, 'w', reg, 1, &p) == 0;
}

// Register = (register & keep) | set; each register is written before the next is read.
bool modify(int addr, int reg, unsigned char keep, unsigned char set) {
    unsigned char value = 0;
    if (!read_byte(addr, reg, value))
        return false;
    return write_byte(addr, reg, static_cast<unsigned char>((value & keep) | set));
}

struct BitChange {
    int reg;
    unsigned char keep;
    unsigned char set;
};

template <size_t N>
int apply(int addr, const BitChange (&changes)[N]) {
    for (const BitChange &c : changes)
        if (!modify(addr, c.reg, c.keep, c.set))
            return -1;
    return 0;
}

int read_bit(int addr, int reg, int bit) {
    unsigned char value = 0;
    if (!read_byte(addr, reg, value))
        return -1;
    return (value >> bit) & 1;
}

}  // namespace

extern "C" {

int readOutEnableHorizontalBinning(int on, int addr) {
    return modify(addr, 0x94, static_cast<unsigned char>(~0x11), on ? 0x11 : 0) ? 0 : -1;
}

int readOutIsHorizontalBinning(int addr) {
    return read_bit(addr, 0x94, 4);
}

int readOutEnableVerticalBinning(int on, int addr) {
    return modify(addr, 0x94, static_cast<unsigned char>(~0x20), on ? 0x20 : 0) ? 0 : -1;
}

int readOutIsVerticalBinning(int addr) {
    return read_bit(addr, 0x94, 5);
}

int readOutSetRowReduction(int k, int addr) {
    const unsigned char bits = static_cast<unsigned char>((std::clamp(k, 0, 3) & 3) << 2);
    return modify(addr, 0x94, static_cast<unsigned char>(~0x0C), bits) ? 0 : -1;
}

int readOutEnableDualMGX(int on, int addr) {
    if (on) {
        const BitChange changes[] = {{0x94, 0x7F, 0x80}, {0x22, 0xF0, 0x04}, {0x25, 0xF0, 0x0E}};
        return apply(addr, changes);
    }
    const BitChange changes[] = {{0x94, 0x7F, 0x00}, {0x22, 0xF0, 0x00}, {0x25, 0xF0, 0x05}};
    return apply(addr, changes);
}

int readOutEnableHDR(int on, int addr) {
    if (on) {
        const BitChange changes[] = {{0x94, 0x7F, 0x80}, {0x22, 0xF0, 0x00}, {0x25, 0xF0, 0x05},
                                     {0x28, 0xF0, 0x0A}, {0x2B, 0xF0, 0x0F}, {0x92, 0xF7, 0x08}};
        return apply(addr, changes);
    }
    const BitChange changes[] = {{0x94, 0x7F, 0x00}, {0x22, 0xF0, 0x04}, {0x25, 0xF0, 0x01},
                                 {0x28, 0xF0, 0x0E}, {0x2B, 0xF0, 0x0B}, {0x92, 0xF7, 0x00}};
    return apply(addr, changes);
}

int readOutSetROI(int x0, int x1, int y0, int y1, int addr) {
    g_region.left = static_cast<uint16_t>(x0);
    g_region.right = static_cast<uint16_t>(x1);
    g_region.top = static_cast<uint8_t>(y0);
    g_region.bottom = static_cast<uint8_t>(y1);
    unsigned char bytes[6] = {static_cast<unsigned char>(g_region.left >> 8),
                              static_cast<unsigned char>(g_region.left),
                              static_cast<unsigned char>(g_region.right >> 8),
                              static_cast<unsigned char>(g_region.right),
                              g_region.top,
                              g_region.bottom};
    unsigned char *p = bytes;
    return i2c(addr, 'w', 0x96, 6, &p) == 0 ? 0 : -1;
}

uint16_t readOutGetTopLeftX(void) {
    return g_region.left;
}
uint16_t readOutGetBottomRightX(void) {
    return g_region.right;
}
uint8_t readOutGetTopLeftY(void) {
    return g_region.top;
}
uint8_t readOutGetBottomRightY(void) {
    return g_region.bottom;
}

int pnSelectPolynomial(int length, int index, int addr) {
    length = std::clamp(length, 1, 7);
    index = std::clamp(index, 0, 4);
    modify(addr, 0x92, static_cast<unsigned char>(~0x07), static_cast<unsigned char>(length));
    const uint16_t polynomial = kPolynomials[length - 1][index];
    unsigned char bytes[2] = {static_cast<unsigned char>(polynomial >> 8),
                              static_cast<unsigned char>(polynomial)};
    std::printf("i2cData[0] = %X\n", bytes[0]);
    std::printf("i2cData[1] = %X\n", bytes[1]);
    unsigned char *p = bytes;
    i2c(addr, 'w', 0x8C, 2, &p);
    return polynomial;
}

int dumpAllRegisters(int addr, uint16_t *dst) {
    if (dst == nullptr)
        return -1;
    unsigned char bytes[256];
    unsigned char *p = bytes;
    if (i2c(addr, 'r', 0, 256, &p) != 0)
        return -1;
    for (int i = 0; i < 256; ++i)
        dst[i] = bytes[i];
    return 256;
}

}  // extern "C"
