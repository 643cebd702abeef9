// tarvo reg read TARGET ADDR [COUNT] and tarvo reg write TARGET ADDR VALUE...: register blocks.
#include <cstdio>
#include <memory>
#include <vector>

#include "commands.h"

namespace tarvo::tool {
namespace {

constexpr uint64_t kMaxCount = 0xFFFF;

struct RegOptions {
    std::string target;
    std::string address;
    std::string count = "1";
    std::vector<std::string> values;
    CameraSelector camera;
};

struct Block {
    uint8_t target;
    uint32_t first;
};

Block block_of(const RegOptions &opt) {
    return {static_cast<uint8_t>(*parse_number(opt.target, 0xFF)),
            static_cast<uint32_t>(*parse_number(opt.address, 0xFFFFFFFF))};
}

// The image sensor's register file has 8-bit addresses; the other targets' ranges are the
// camera's. A block past the sensor's file is a usage error that names the range.
constexpr uint8_t kSensorTarget = 1;
constexpr uint64_t kSensorRegisters = 0x100;

// Checked once the command line is parsed (a bad number is the parser's own usage error).
void check_block(const RegOptions &opt, uint64_t count) {
    const auto target = parse_number(opt.target, 0xFF);
    const auto first = parse_number(opt.address, 0xFFFFFFFF);
    if (count > kMaxCount)
        throw CLI::ValidationError("VALUE", "at most 65535 values in one write");
    if (!target || !first || *target != kSensorTarget || count == 0 ||
        *first + count <= kSensorRegisters)
        return;
    char message[160];
    std::snprintf(message, sizeof message,
                  "registers 0x%llx to 0x%llx are out of range: the image sensor (target 1) has "
                  "registers 0x00 to 0xff",
                  static_cast<unsigned long long>(*first),
                  static_cast<unsigned long long>(*first + count - 1));
    throw CLI::ValidationError("ADDR", message);
}

int refused(const char *what, const Block &b, uint64_t count) {
    return fail(
        "the camera refused the register %s of 0x%llx to 0x%llx in target %u (out of "
        "its range, or the camera did not answer)",
        what, static_cast<unsigned long long>(b.first),
        static_cast<unsigned long long>(b.first + count - 1), b.target);
}

int read_registers(const RegOptions &opt) {
    const Block b = block_of(opt);
    const auto count = static_cast<uint16_t>(*parse_number(opt.count, kMaxCount));
    std::vector<uint32_t> values(count);
    return with_camera(opt.camera, [&](tarvo_dev_t *dev) {
        if (!tarvo_reg_batch_read(dev, b.target, b.first, values.data(), count))
            return refused("read", b, count);
        for (uint32_t i = 0; i < count; ++i)
            std::printf("0x%08x: 0x%08x\n", b.first + i, values[i]);
        return kDone;
    });
}

int write_registers(const RegOptions &opt) {
    const Block b = block_of(opt);
    std::vector<uint32_t> values;
    for (const std::string &v : opt.values)
        values.push_back(static_cast<uint32_t>(*parse_number(v, 0xFFFFFFFF)));
    return with_camera(opt.camera, [&](tarvo_dev_t *dev) {
        if (!tarvo_reg_batch_write(dev, b.target, b.first, values.data(),
                                   static_cast<uint16_t>(values.size())))
            return refused("write", b, values.size());
        std::printf("%zu register(s) written\n", values.size());
        return kDone;
    });
}

void add_block_options(CLI::App *cmd, RegOptions &opt) {
    cmd->add_option("TARGET", opt.target, "register space, 0 to 255 (1: the image sensor)")
        ->required()
        ->check(number_check(0xFF));
    cmd->add_option("ADDR", opt.address,
                    "first register (the image sensor's are 0x00 to 0xff; other targets' are "
                    "the camera's)")
        ->required()
        ->check(number_check(0xFFFFFFFF));
}

}  // namespace

void add_reg_command(Tool &tool) {
    auto opt = std::make_shared<RegOptions>();
    CLI::App *reg = tool.app.add_subcommand(
        "reg", "read or write 32-bit registers (numbers in decimal or 0x hexadecimal)");
    reg->require_subcommand(1);

    CLI::App *read = reg->add_subcommand("read", "print COUNT registers from ADDR on");
    add_block_options(read, *opt);
    add_camera_option(read, opt->camera);
    read->add_option("COUNT", opt->count, "number of registers, 1 to 65535 (default 1)")
        ->check(number_check(kMaxCount, 1));
    read->parse_complete_callback(
        [opt] { check_block(*opt, parse_number(opt->count, kMaxCount).value_or(0)); });
    tool.on_run(read, [opt] { return read_registers(*opt); });

    CLI::App *write = reg->add_subcommand(
        "write", "write VALUE to register ADDR, each further VALUE to the next register");
    add_block_options(write, *opt);
    add_camera_option(write, opt->camera);
    write
        ->add_option("VALUE", opt->values,
                     "one or more 32-bit values, one per register from ADDR on (at most 65535)")
        ->required()
        ->expected(-1)
        ->check(number_check(0xFFFFFFFF));
    write->parse_complete_callback([opt] { check_block(*opt, opt->values.size()); });
    tool.on_run(write, [opt] { return write_registers(*opt); });
}

}  // namespace tarvo::tool
