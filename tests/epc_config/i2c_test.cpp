// Register access of the pipeline through the camera's register batches: reads and writes of
// the sensor's registers, the argument checks and their printed messages, and the bound on the
// number of registers per call.
#include <vector>

#include "epc_camera.h"

namespace tarvo::test {
namespace {

using I2cTest = EpcCameraTest;

TEST_F(I2cTest, ReadAndWriteSensorRegisters) {
    std::vector<uint8_t> out = {0x11, 0x22, 0x33};
    unsigned char *p = out.data();
    ASSERT_EQ(i2c(0x20, 'w', 0x40, 3, &p), 0);
    EXPECT_EQ(writes(), (RegWrites{{0x40, 0x11}, {0x41, 0x22}, {0x42, 0x33}}));
    sensor_->set_reg(0x43, 0xAB);
    std::vector<uint8_t> in(4);
    p = in.data();
    ASSERT_EQ(i2c(0x20, 'r', 0x40, 4, &p), 0);
    EXPECT_EQ(in, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0xAB}));
    // The whole bank in one call.
    std::vector<uint8_t> bank(256);
    p = bank.data();
    ASSERT_EQ(i2c(0x20, 'r', 0, 256, &p), 0);
    EXPECT_EQ(bank[0x82], 0x17);
    EXPECT_EQ(bank[0x43], 0xAB);
}

TEST_F(I2cTest, MoreThan257RegistersAreRefusedBeforeAnyTransfer) {
    // Exactly as many bytes as the call names: a copy past the register word buffer, or past
    // the caller's bytes, shows up under the address sanitizer.
    for (int count : {258, 300, 4096}) {
        SCOPED_TRACE(count);
        std::vector<uint8_t> bytes(static_cast<size_t>(count), 0x5A);
        unsigned char *p = bytes.data();
        for (char op : {'r', 'w'}) {
            int result = 0;
            const std::string out = printed([&] { result = i2c(0x20, op, 0, count, &p); });
            EXPECT_EQ(result, -1);
            EXPECT_EQ(out, "rw much data: " + std::to_string(count) + "\n");
        }
        EXPECT_EQ(bytes, std::vector<uint8_t>(static_cast<size_t>(count), 0x5A));
    }
    EXPECT_EQ(register_commands(), 0u);
    EXPECT_TRUE(writes().empty());
}

TEST_F(I2cTest, AtMost257RegistersGoToTheCamera) {
    // 257 registers from 0 run past the sensor's 256: the camera refuses, and so does i2c.
    std::vector<uint8_t> bytes(257, 0);
    unsigned char *p = bytes.data();
    int result = 0;
    std::string out = printed([&] { result = i2c(0x20, 'r', 0, 257, &p); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "reg read faild!\n");
    out = printed([&] { result = i2c(0x20, 'w', 0, 257, &p); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "reg write fail!\n");
    EXPECT_GT(register_commands(), 0u);
}

struct RefusedCase {
    int address;
    char op;
    int reg;
    const char *message;
};

TEST_F(I2cTest, BadArgumentsArePrintedAndRefused) {
    const RefusedCase cases[] = {
        {200, 'r', 0x10, "Device address is out of range.\n"},
        {128, 'w', 0x10, "Device address is out of range.\n"},
        {-1, 'r', 0x10, "Device address is out of range.\n"},
        // The address is checked before the register, the register before the operation.
        {200, 'x', 300, "Device address is out of range.\n"},
        {0x20, 'r', 256, "Register address is out of range.\n"},
        {0x20, 'x', 256, "Register address is out of range.\n"},
        {0x20, 'w', -1, "Register address is out of range.\n"},
        {0x20, 'x', 0x10,
         "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software "
         "reset) are allowed.\n"},
        {0x20, 'R', 0x10,
         "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software "
         "reset) are allowed.\n"},
    };
    for (const RefusedCase &c : cases) {
        SCOPED_TRACE(c.message);
        uint8_t byte = 0;
        unsigned char *p = &byte;
        int result = 0;
        const std::string out = printed([&] { result = i2c(c.address, c.op, c.reg, 1, &p); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(out, c.message);
    }
    EXPECT_EQ(register_commands(), 0u);
    EXPECT_TRUE(cam_->resets().empty());
}

TEST_F(I2cTest, MissingBufferOrNegativeCount) {
    unsigned char *none = nullptr;
    EXPECT_EQ(i2c(0x20, 'r', 0, 1, nullptr), -1);
    EXPECT_EQ(i2c(0x20, 'w', 0, 1, &none), -1);
    EXPECT_EQ(i2c(0x20, 'd', 0, 0, &none), -1);
    uint8_t byte = 0;
    unsigned char *p = &byte;
    EXPECT_EQ(i2c(0x20, 'r', 0, -1, &p), -1);
    // Nothing to move is no transfer, and no failure.
    EXPECT_EQ(i2c(0x20, 'r', 0, 0, &p), 0);
    EXPECT_EQ(register_commands(), 0u);
    EXPECT_EQ(log_.count("[i2c] negative register count -1", "ERR"), 1u);
}

TEST_F(I2cTest, FailedTransfersArePrinted) {
    uint8_t byte = 7;
    unsigned char *p = &byte;
    cam_->add_fault(vcam::Fault::fail(vcam::kTypeRegister, vcam::kRegWrite, "nope"));
    int result = 0;
    std::string out = printed([&] { result = i2c(0x20, 'w', 0x30, 1, &p); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "reg write fail!\n");
    EXPECT_EQ(sensor_->reg(0x30), 0);
    cam_->add_fault(vcam::Fault::fail(vcam::kTypeRegister, vcam::kRegRead, "nope"));
    out = printed([&] { result = i2c(0x20, 'r', 0x82, 1, &p); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "reg read faild!\n");
    EXPECT_EQ(byte, 7) << "a failed read leaves the caller's byte";
    cam_->clear_faults();

    // Without a bound camera nothing can be reached.
    g_zr_dev = nullptr;
    out = printed([&] { result = i2c(0x20, 'r', 0x82, 1, &p); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "reg read faild!\n");
}

TEST_F(I2cTest, ResetScanAndReload) {
    EXPECT_EQ(i2c(0x20, 's', 0, 0, nullptr), 0);
    EXPECT_EQ(cam_->resets(), (std::vector<uint32_t>{1}));
    cam_->add_fault(vcam::Fault::fail(vcam::kTypeDevice, vcam::kDevReset, "nope"));
    int result = 0;
    std::string out = printed([&] { result = i2c(0x20, 's', 0, 0, nullptr); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "reset tfc device failed!\n");
    cam_->clear_faults();

    uint8_t found[2] = {};
    unsigned char *p = found;
    EXPECT_EQ(i2c(0, 'd', 0, 0, &p), 0);
    EXPECT_EQ(found[0], 0x20);
    EXPECT_EQ(found[1], 0xFF);

    out = printed([&] { result = i2c(0x20, 'l', 0, 0, nullptr); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "uncompleted function : <i2c device reload>!\n");
}

}  // namespace
}  // namespace tarvo::test
