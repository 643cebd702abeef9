// The delay-locked loop against the virtual sensor: fixed delay and bypass, the automatic lock
// with its averaging and printed progress, a loop that never locks, and the refusals.
#include <algorithm>
#include <string>
#include <vector>

#include "epc_camera.h"

namespace tarvo::test {
namespace {

using vcam::DllAttempt;

DllAttempt lock(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t fine_high, uint8_t coarse) {
    return {true, {b0, b1, b2, b3, fine_high, coarse}};
}

DllAttempt no_lock() {
    return {false, {}};
}

// A lock at coarse value `coarse` whose fine value is `fine_high` x 256 (both bit-length words
// 0).
DllAttempt lock_at(uint8_t fine_high, uint8_t coarse) {
    return lock(0, 0, 0, 0, fine_high, coarse);
}

// Status register 0x70 as `status` after the attempt, lock values as a full lock would leave.
DllAttempt status_only(uint8_t status, uint8_t fine_high, uint8_t coarse) {
    return {false, {0, 0, 0, 0, fine_high, coarse}, status};
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class DllTest : public EpcCameraTest {
  protected:
    // Registers the lock borrows, set to values that show whether they come back.
    void SetUp() override {
        EpcCameraTest::SetUp();
        const uint8_t integration[4] = {0x01, 0x02, 0x03, 0x04};
        for (int i = 0; i < 4; ++i)
            sensor_->set_reg(uint8_t(0xA0 + i), integration[i]);
        sensor_->set_reg(0x9A, 0x42);
        sensor_->set_reg(0x92, 0x34);
        sensor_->set_reg(0x85, 1);
        sensor_->set_reg(0x8B, 0x02);
        sensor_->set_reg(0xAE, 0x01);
    }

    void expect_restored(uint8_t mode = 0x34, uint8_t divider = 1) {
        EXPECT_EQ(sensor_->reg(0xA0), 0x01);
        EXPECT_EQ(sensor_->reg(0xA1), 0x02);
        EXPECT_EQ(sensor_->reg(0xA2), 0x03);
        EXPECT_EQ(sensor_->reg(0xA3), 0x04);
        EXPECT_EQ(sensor_->reg(0x9A), 0x42);
        EXPECT_EQ(sensor_->reg(0x92), mode);
        EXPECT_EQ(sensor_->reg(0x85), divider);
        EXPECT_EQ(sensor_->reg(0x8B), 0x02);
    }

    bool wrote(uint8_t reg, uint8_t value) const {
        for (const auto &w : writes())
            if (w.first == reg && w.second == value)
                return true;
        return false;
    }
};

TEST_F(DllTest, FixedDelayBypassAndPreheat) {
    EXPECT_EQ(dllDetermineAndSetDemodulationDelay(0x20), 2);
    EXPECT_EQ(writes(), (RegWrites{{0x8B, 2}, {0xAE, 1}}));
    EXPECT_EQ(dllResetDemodulationDelay(0x20), 0);
    EXPECT_EQ(sensor_->reg(0x8B), 0);
    sensor_->set_reg(0x90, 0xF1);
    EXPECT_EQ(dllEnablePreheat(1, 0x20), 0);
    EXPECT_EQ(sensor_->reg(0x90), 0xF9);
    EXPECT_EQ(dllEnablePreheat(0, 0x20), 0);
    EXPECT_EQ(sensor_->reg(0x90), 0xF1);
    sensor_->set_reg(0xAE, 0x04);
    EXPECT_EQ(dllBypassDLL(1, 0x20), 0);
    EXPECT_EQ(sensor_->reg(0xAE), 0x05);
    EXPECT_EQ(sensor_->dll_attempts(), 0);
}

// The lock keeps a history (a new fine value is blended with the last one of the same coarse
// value); dllInitialize locks without it, so tests of the averaging lock through it.

TEST_F(DllTest, LocksTenTimesAndProgramsTheAverage) {
    // w0 = 0x0030 (6 bits), w1 = 0x0100 (9 bits): fine = 1 x 256 + 16 x 6 + 9 = 361.
    int result = -2;
    const std::string out = printed([&] { result = dllInitialize(0x20); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sensor_->dll_attempts(), 10);
    EXPECT_EQ(dllGetFineCtrlExt(), 361);
    EXPECT_EQ(dllGetCoarseCtrlExt(), 5);
    EXPECT_EQ(sensor_->reg(0x71), 1);
    EXPECT_EQ(sensor_->reg(0x72), 0x69);
    EXPECT_EQ(sensor_->reg(0x73), 5);
    EXPECT_EQ(sensor_->reg(0xAE), 4);
    EXPECT_EQ(sensor_->reg(0xAA), 0);
    EXPECT_EQ(sensor_->reg(0xAB), 0);
    // During the lock: DCS bits cleared, the lock's integration setting, the divider halved.
    EXPECT_TRUE(wrote(0x92, 0x04));
    EXPECT_TRUE(wrote(0x9A, 0x76));
    EXPECT_TRUE(wrote(0x85, 0));
    const RegWrites w = writes();
    EXPECT_EQ(std::count(w.begin(), w.end(), std::pair<uint8_t, uint8_t>{0xA4, 1}), 10);
    expect_restored();

    std::string expected = "1\n2\n3\n4\n5\n6\n7\n8\n9\n";
    for (int i = 1; i <= 10; ++i) {
        expected += "10\n11\n";
        expected += "dll_fine_ctrl_ext: 0x0169 (361)\ndll_coarse_ctrl_ext: 0x05 (5)\n";
        expected += "INFO: DLL locked and matched " + std::to_string(i) +
                    " times after a total of " + std::to_string(i) + " attempt(s).\n";
    }
    expected += "12\n";
    EXPECT_EQ(out, expected);
}

TEST_F(DllTest, FailedAttemptsCountAndWordsOfTheTopBitKeepTheLastLength) {
    sensor_->set_dll_script({no_lock(), no_lock(), lock(0x00, 0x01, 0x00, 0x03, 0, 7),
                             // 0x8000 is no reading: its length stays that of the last sample.
                             lock(0x80, 0x00, 0x00, 0x00, 0, 7), lock(0x7F, 0xFF, 0x00, 0x00, 0, 7),
                             no_lock(), lock(0x00, 0x00, 0x40, 0x00, 0, 7)});
    const std::string out = printed([&] { EXPECT_EQ(dllInitialize(0x20), 0); });
    // Fine values: 16 + 2 = 18; 16 + 0 = 16; 16 x 15 = 240; 15; then 15 five more times.
    EXPECT_NE(out.find("dll_fine_ctrl_ext: 0x0012 (18)\n"), std::string::npos);
    EXPECT_NE(out.find("dll_fine_ctrl_ext: 0x0010 (16)\n"), std::string::npos);
    EXPECT_NE(out.find("dll_fine_ctrl_ext: 0x00F0 (240)\n"), std::string::npos);
    EXPECT_NE(out.find("INFO: DLL locked and matched 1 times after a total of 3 attempt(s).\n"),
              std::string::npos);
    EXPECT_NE(out.find("INFO: DLL locked and matched 10 times after a total of 13 attempt(s).\n"),
              std::string::npos);
    EXPECT_EQ(sensor_->dll_attempts(), 13);
    // (18 + 16 + 240 + 15 + 6 x 15) / 10 = 37.9 -> 38
    EXPECT_EQ(dllGetFineCtrlExt(), 38);
    EXPECT_EQ(dllGetCoarseCtrlExt(), 7);
    EXPECT_EQ(out.find("WARNING"), std::string::npos);
}

TEST_F(DllTest, CoarseByMajorityAndFineOfThoseSamples) {
    std::vector<DllAttempt> script;
    for (int i = 0; i < 7; ++i)
        script.push_back(lock(0, 0, 0, 0, 1, 5));  // fine 256
    script[1].values[1] = 0x01;                    // 256 + 16
    script[2].values[3] = 0x03;                    // 256 + 2
    for (int i = 0; i < 3; ++i)
        script.push_back(lock(0, 0, 0, 0, 2, 6));  // fine 512
    sensor_->set_dll_script(script);
    const std::string out = printed([&] { EXPECT_EQ(dllInitialize(0x20), 0); });
    // Coarse trunc(5.3 + 0.5) = 5; fine from the seven samples at 5: (7 x 256 + 18) / 7 = 258.57.
    EXPECT_EQ(dllGetCoarseCtrlExt(), 5);
    EXPECT_EQ(dllGetFineCtrlExt(), 259);
    size_t above = 0;
    for (size_t at = out.find("INFO: Coarse value above average. Difference to average for fine "
                              "value: 253\n");
         at != std::string::npos; at = out.find("INFO: Coarse value above average.", at + 1))
        ++above;
    EXPECT_EQ(above, 3u);
    EXPECT_EQ(out.find("below average"), std::string::npos);
}

TEST_F(DllTest, NoSampleAtTheMeanCoarseTakesTheNearestThatLocked) {
    std::vector<DllAttempt> script;
    for (int i = 0; i < 5; ++i)
        script.push_back(lock(0, 0, 0, 0, 1, 4));
    for (int i = 0; i < 5; ++i)
        script.push_back(lock(0, 0, 0, 0, 2, 6));
    sensor_->set_dll_script(script);
    const std::string out = printed([&] { EXPECT_EQ(dllInitialize(0x20), 0); });
    // The mean 5 never locked; 4 is as near as 6 and came first.
    EXPECT_EQ(dllGetCoarseCtrlExt(), 4);
    EXPECT_EQ(dllGetFineCtrlExt(), 256);
    EXPECT_NE(out.find("INFO: Coarse value above average. Difference to average for fine value: "
                       "256\n"),
              std::string::npos);
}

TEST_F(DllTest, RepeatedLockBlendsWithTheStoredFineValue) {
    // The initialisation's lock stores its value unblended.
    printed([&] { EXPECT_EQ(dllInitialize(0x20), 0); });
    EXPECT_EQ(dllGetFineCtrlExt(), 361);
    EXPECT_TRUE(wrote(0x84, 7));
    EXPECT_TRUE(wrote(0xAC, 0x77));
    // Same coarse value, new fine value 2 x 256 + 0 = 512: (361 x 0.75 + 512) / 1.75 = 447.3.
    sensor_->set_dll_script({lock(0, 0, 0, 0, 2, 5)});
    printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), 0); });
    EXPECT_EQ(dllGetFineCtrlExt(), 447);
    EXPECT_EQ(sensor_->reg(0x71), 1);
    EXPECT_EQ(sensor_->reg(0x72), 0xBF);
    // Another coarse value replaces it.
    sensor_->set_dll_script({lock(0, 0, 0, 0, 2, 6)});
    printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), 0); });
    EXPECT_EQ(dllGetFineCtrlExt(), 512);
    EXPECT_EQ(dllGetCoarseCtrlExt(), 6);
}

// Samples whose coarse value is not the chosen one are reported against the chosen fine value.
TEST_F(DllTest, CoarseOutliersAreReportedBelowAndAbove) {
    const struct {
        const char *name;
        std::vector<DllAttempt> script;
        int coarse;
        int fine;
        std::string below;  // each report line, once per outlier
        size_t below_count;
        std::string above;
        size_t above_count;
    } cases[] = {
        {"three below",
         {lock_at(1, 5), lock_at(1, 5), lock_at(2, 4), lock_at(1, 5), lock_at(2, 4), lock_at(1, 5),
          lock_at(1, 5), lock_at(1, 5), lock_at(2, 4), lock_at(1, 5)},
         5,  // trunc(4.7 + 0.5)
         256,
         "Difference to average for fine value: 256\n",
         3,
         "",
         0},
        {"one each side",
         {lock_at(3, 4), lock_at(1, 5), lock_at(1, 5), lock_at(1, 5), lock_at(1, 5), lock_at(1, 5),
          lock_at(1, 5), lock_at(1, 5), lock_at(1, 5), lock_at(0, 6)},
         5,
         256,
         "Difference to average for fine value: 512\n",
         1,
         "Difference to average for fine value: -256\n",
         1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sensor_->set_dll_script(c.script);
        const std::string out = printed([&] { EXPECT_EQ(dllInitialize(0x20), 0); });
        EXPECT_EQ(dllGetCoarseCtrlExt(), c.coarse);
        EXPECT_EQ(dllGetFineCtrlExt(), c.fine);
        EXPECT_EQ(occurrences(out, "INFO: Coarse value below average. " + c.below), c.below_count);
        EXPECT_EQ(occurrences(out, "INFO: Coarse value below average."), c.below_count);
        EXPECT_EQ(occurrences(out, "INFO: Coarse value above average. " + c.above), c.above_count);
        EXPECT_EQ(occurrences(out, "INFO: Coarse value above average."), c.above_count);
    }
}

// Only both lock bits of the status make a sample; other status bits do not matter.
TEST_F(DllTest, OnlyBothLockBitsMakeASample) {
    sensor_->set_dll_script({status_only(0x01, 9, 5), status_only(0x02, 9, 5),
                             status_only(0xFC, 9, 5), status_only(0xF3, 1, 5)});
    const std::string out = printed([&] { EXPECT_EQ(dllInitialize(0x20), 0); });
    EXPECT_NE(out.find("INFO: DLL locked and matched 1 times after a total of 4 attempt(s).\n"),
              std::string::npos);
    EXPECT_EQ(sensor_->dll_attempts(), 13);
    EXPECT_EQ(dllGetFineCtrlExt(), 256);
    EXPECT_EQ(out.find("(2304)"), std::string::npos) << "a partial lock was taken as a sample";
}

// Fewer than ten samples in a hundred attempts: the warning when the last attempt failed, and
// the mean of the samples there are.
TEST_F(DllTest, FewSamplesInAHundredAttempts) {
    const struct {
        const char *name;
        int failures_first;
        int locks;  // fine values 16, 32, .. 16 x locks, then the last one again
        bool fail_after;
        int samples;
        int fine;
        bool warning;
    } cases[] = {
        {"three, then no more", 0, 3, true, 3, 32, true},
        {"nine, the last in the last attempt", 91, 9, false, 9, 80, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<DllAttempt> script(c.failures_first, no_lock());
        // w0 of i significant bits: fine 16 x i.
        for (int i = 1; i <= c.locks; ++i) {
            const unsigned w0 = 1u << (i - 1);
            script.push_back(lock(uint8_t(w0 >> 8), uint8_t(w0), 0, 0, 0, 5));
        }
        if (c.fail_after)
            script.push_back(no_lock());
        sensor_->set_dll_script(script);
        const int before = sensor_->dll_attempts();
        const std::string out = printed([&] { EXPECT_EQ(dllInitialize(0x20), 0); });
        EXPECT_EQ(sensor_->dll_attempts() - before, 100);
        EXPECT_NE(out.find("INFO: DLL locked and matched " + std::to_string(c.samples) +
                           " times after a total of " + std::to_string(c.failures_first + c.locks) +
                           " attempt(s).\n"),
                  std::string::npos);
        EXPECT_EQ(occurrences(out, "INFO: DLL locked"), size_t(c.samples));
        EXPECT_EQ(out.find("WARNING: DLL locking failed (max. no. of loops reached).\n") !=
                      std::string::npos,
                  c.warning);
        EXPECT_EQ(dllGetFineCtrlExt(), c.fine);
        EXPECT_EQ(dllGetCoarseCtrlExt(), 5);
        EXPECT_EQ(sensor_->reg(0x71), 0);
        EXPECT_EQ(sensor_->reg(0x72), c.fine);
        expect_restored();
    }
}

// The initialisation's lock replaces the stored fine value even at the same coarse value; a
// later lock blends with it.
TEST_F(DllTest, InitialisationDoesNotBlend) {
    // Two coarse values in turn: the second lock stores its own fine value.
    sensor_->set_dll_script({lock_at(1, 9)});
    printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), 0); });
    sensor_->set_dll_script({lock_at(2, 5)});
    printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), 0); });
    ASSERT_EQ(dllGetFineCtrlExt(), 512);
    ASSERT_EQ(dllGetCoarseCtrlExt(), 5);
    sensor_->set_dll_script({lock_at(1, 5)});
    printed([&] { EXPECT_EQ(dllInitialize(0x20), 0); });
    EXPECT_EQ(dllGetFineCtrlExt(), 256);  // blended it would be (512 x 0.75 + 256) / 1.75 = 366
    sensor_->set_dll_script({lock_at(3, 5)});
    printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), 0); });
    EXPECT_EQ(dllGetFineCtrlExt(), 549);  // (256 x 0.75 + 768) / 1.75 = 548.57
    // The blend is what reaches the sensor.
    EXPECT_EQ(sensor_->reg(0x71), 549 >> 8);
    EXPECT_EQ(sensor_->reg(0x72), 549 & 0xFF);
}

TEST_F(DllTest, NeverLockingGivesUpAfterOneHundredAttempts) {
    sensor_->set_dll_script({});
    int result = 0;
    const std::string out = printed([&] { result = dllLockAutomatically(0x20); });
    EXPECT_EQ(result, -1) << "a loop that never locked is a failure";
    EXPECT_EQ(sensor_->dll_attempts(), 100);
    EXPECT_NE(out.find("WARNING: DLL locking failed (max. no. of loops reached).\n"),
              std::string::npos);
    EXPECT_EQ(out.find("INFO"), std::string::npos);
    EXPECT_EQ(dllGetFineCtrlExt(), 0);
    EXPECT_EQ(dllGetCoarseCtrlExt(), 0);
    EXPECT_EQ(sensor_->reg(0x71), 0);
    EXPECT_EQ(sensor_->reg(0x72), 0);
    EXPECT_EQ(sensor_->reg(0x73), 0);
    expect_restored();
}

TEST_F(DllTest, DividerZeroUsesTheHalfClockBit) {
    sensor_->set_reg(0x85, 0);
    printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), 0); });
    EXPECT_TRUE(wrote(0x8B, 0x12));
    EXPECT_TRUE(wrote(0x85, 1));
    expect_restored(0x34, 0);
}

TEST_F(DllTest, FlimModeKeepsTheDivider) {
    sensor_->set_reg(0x92, 0x74);
    printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), 0); });
    for (const auto &w : writes())
        EXPECT_NE(w.first, 0x85);
    expect_restored(0x74);
}

TEST_F(DllTest, RefusedModesAndDividers) {
    for (uint8_t mode : {0x80, 0xC0}) {
        sensor_->set_reg(0x92, mode);
        sensor_->clear_writes();
        const std::string out = printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), -1); });
        EXPECT_TRUE(writes().empty());
        EXPECT_TRUE(out.empty());
    }
    // An unknown divider is noticed after the first registers were borrowed; they come back.
    for (uint8_t mode : {0x34, 0x74}) {
        sensor_->set_reg(0x92, mode);
        sensor_->set_reg(0x85, 2);
        printed([&] { EXPECT_EQ(dllLockAutomatically(0x20), -1); });
        expect_restored(mode, 2);
        EXPECT_EQ(sensor_->dll_attempts(), 0);
    }
    EXPECT_EQ(log_.count("[dllLockAutomatically] unknown modulation clock divider 2", "ERR"), 2u);

    sensor_->clear_writes();
    EXPECT_EQ(dllInitialize(0x20), -1);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(log_.count("[dllInitialize] unknown modulation clock divider 2", "ERR"), 1u);
}

TEST_F(DllTest, InitialisationPerDivider) {
    const struct {
        uint8_t divider;
        uint8_t loop;
        uint8_t control;
    } cases[] = {{0, 3, 0x73},  {1, 7, 0x77},   {3, 15, 0x77},
                 {7, 31, 0x77}, {15, 63, 0x77}, {31, 127, 0x77}};
    // A mode without a loop lets the lock refuse at once, after the loop was prepared.
    sensor_->set_reg(0x92, 0x80);
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.divider));
        sensor_->set_reg(0x85, c.divider);
        sensor_->clear_writes();
        EXPECT_EQ(dllInitialize(0x20), -1);
        EXPECT_EQ(writes(), (RegWrites{{0x84, c.loop}, {0xAC, c.control}}));
    }
}

TEST_F(DllTest, UnbypassingLocks) {
    int result = -2;
    printed([&] { result = dllBypassDLL(0, 0x20); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(writes().front(), (std::pair<uint8_t, uint8_t>{0xAE, 0x00}));
    EXPECT_EQ(sensor_->dll_attempts(), 10);
    EXPECT_EQ(sensor_->reg(0xAE), 4);
    sensor_->set_reg(0x85, 2);
    EXPECT_EQ(dllBypassDLL(0, 0x20), -1);
}

}  // namespace
}  // namespace tarvo::test
