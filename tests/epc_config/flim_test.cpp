// FLIM timing registers: value - 1 high byte first, skip bits for a length of 0 on the parts
// that have them, the table form, repetitions and the façade entries.
#include "epc_camera.h"

namespace tarvo::test {
namespace {

using FlimTest = EpcCameraTest;

struct PhaseCase {
    const char *name;
    int (*set)(uint16_t);
    int (*api)(uint16_t);
    int index;  // flimSetDelay's index for the same phase
    uint8_t reg;
    uint8_t skip;
};

const PhaseCase kPhases[] = {
    {"T1", flimSetT1, apiFLIMSetT1, 3, 0xB0, 0x08},
    {"T2", flimSetT2, apiFLIMSetT2, 4, 0xB2, 0x10},
    {"T3", flimSetT3, apiFLIMSetT3, 5, 0xB4, 0x20},
    {"T4", flimSetT4, apiFLIMSetT4, 6, 0xB6, 0x40},
    {"TREP", flimSetTREP, apiFLIMSetTREP, 7, 0xB8, 0x80},
    {"flash delay", flimSetFlashDelay, apiFLIMSetFlashDelay, 2, 0xBC, 0x04},
    {"flash width", flimSetFlashWidth, apiFLIMSetFlashWidth, 1, 0xBE, 0x02},
};

TEST_F(FlimTest, PhaseLengthsClearTheirSkipBit) {
    for (const PhaseCase &c : kPhases) {
        SCOPED_TRACE(c.name);
        for (int form = 0; form < 3; ++form) {
            sensor_->set_reg(0x2F, 0xFF);
            sensor_->clear_writes();
            const int result = form == 0   ? c.set(5)
                               : form == 1 ? c.api(0x1235)
                                           : flimSetDelay(c.index, 0x1235);
            EXPECT_EQ(result, 0);
            const uint8_t high = form == 0 ? 0x00 : 0x12;
            const uint8_t low = form == 0 ? 0x04 : 0x34;
            EXPECT_EQ(writes(), (RegWrites{{0x2F, uint8_t(0xFF & ~c.skip)},
                                           {c.reg, high},
                                           {uint8_t(c.reg + 1), low}}));
        }
    }
    EXPECT_EQ(flimGetFlashWidth(), 0x1235);
}

// The table form programs the flash width register but the reported flash width stays the
// last one given to flimSetFlashWidth.
TEST_F(FlimTest, TableFormLeavesTheReportedFlashWidth) {
    EXPECT_EQ(flimSetFlashWidth(7), 0);
    for (const uint16_t v : {uint16_t{9}, uint16_t{0}}) {
        SCOPED_TRACE(v);
        sensor_->clear_writes();
        EXPECT_EQ(flimSetDelay(1, v), 0);
        if (v != 0) {
            EXPECT_EQ(writes(), (RegWrites{{0x2F, uint8_t(sensor_->reg(0x2F))},
                                           {0xBE, 0x00},
                                           {0xBF, uint8_t(v - 1)}}));
        }
        EXPECT_EQ(flimGetFlashWidth(), 7);
    }
    EXPECT_EQ(apiFLIMSetFlashWidth(3), 0);
    EXPECT_EQ(flimGetFlashWidth(), 3);
}

TEST_F(FlimTest, ZeroSkipsThePhaseWhereThePartCan) {
    const struct {
        int type;
        int ic;
        bool skips;
    } parts[] = {{2, 2, true},  {4, 0, true}, {3, 2, false},
                 {1, 1, false}, {3, 3, true}, {1, 4, true}};
    for (const auto &p : parts) {
        configSetPartType(p.type);
        configSetIcVersion(p.ic);
        for (const PhaseCase &c : kPhases) {
            SCOPED_TRACE(testing::Message() << c.name << " on part " << p.type << " IC " << p.ic);
            sensor_->set_reg(0x2F, 0x00);
            sensor_->clear_writes();
            EXPECT_EQ(c.set(0), p.skips ? 0 : -1);
            if (p.skips) {
                EXPECT_EQ(writes(), (RegWrites{{0x2F, c.skip}}));
            } else {
                EXPECT_TRUE(writes().empty());
            }
            // Without skip bits a length is written as it is.
            sensor_->clear_writes();
            EXPECT_EQ(c.set(2), 0);
            if (!p.skips) {
                EXPECT_EQ(writes(), (RegWrites{{c.reg, 0}, {uint8_t(c.reg + 1), 1}}));
            }
        }
    }
}

TEST_F(FlimTest, TableFormRefusesUnknownIndexes) {
    for (int index : {0, 8, -1, 100}) {
        sensor_->clear_writes();
        EXPECT_EQ(flimSetDelay(index, 10), -1);
        EXPECT_TRUE(writes().empty());
    }
    EXPECT_EQ(log_.count("[flimSetDelay] no FLIM delay 8", "ERR"), 1u);
}

TEST_F(FlimTest, Repetitions) {
    const struct {
        uint16_t v;
        int written;
    } cases[] = {{0, 0}, {1, 0}, {1000, 999}, {65535, 65534}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.v);
        sensor_->clear_writes();
        EXPECT_EQ(flimSetRepetitions(c.v), c.written);
        EXPECT_EQ(flimGetRepetitions(), c.v);
        EXPECT_EQ(writes(),
                  (RegWrites{{0xBA, uint8_t(c.written >> 8)}, {0xBB, uint8_t(c.written)}}));
    }
    EXPECT_EQ(apiFLIMSetRepetitions(1000), 999);
}

TEST_F(FlimTest, SkipBitsByNumber) {
    sensor_->set_reg(0x2F, 0x00);
    EXPECT_EQ(flimSetSkip(3), 0);
    EXPECT_EQ(flimSetSkip(7), 0);
    EXPECT_EQ(sensor_->reg(0x2F), 0x88);
    EXPECT_EQ(flimResetSkip(3), 0);
    EXPECT_EQ(sensor_->reg(0x2F), 0x80);
    sensor_->clear_writes();
    EXPECT_EQ(flimSetSkip(8), -1);
    EXPECT_EQ(flimResetSkip(-1), -1);
    EXPECT_TRUE(writes().empty());
}

}  // namespace
}  // namespace tarvo::test
