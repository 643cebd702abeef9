// tarvo param get N... and tarvo param set N HEXBYTES: the camera's device parameters.
#include <cctype>
#include <memory>
#include <vector>

#include "commands.h"

namespace tarvo::tool {
namespace {

constexpr size_t kValueSize = sizeof(tarvo_param_item_t::param_val);

struct ParamOptions {
    std::vector<std::string> get_ids;
    std::string set_id;
    std::string set_bytes;
    CameraSelector camera;
};

// "1e000000", "1e 00 00 00" or "1e:00:00:00": the bytes in the order written.
std::optional<std::vector<uint8_t>> parse_hex_bytes(const std::string &text) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (c != ' ' && c != ':' && c != '-')
            return std::nullopt;
    }
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() / 2 > kValueSize)
        return std::nullopt;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

int get_params(const ParamOptions &opt) {
    std::vector<tarvo_param_item_t> items(opt.get_ids.size());
    for (size_t i = 0; i < items.size(); ++i)
        items[i].param_id = static_cast<int32_t>(*parse_number(opt.get_ids[i], 255));
    return with_camera(opt.camera, [&](tarvo_dev_t *dev) {
        if (!tarvo_param_batch_get(dev, items.data(), static_cast<int>(items.size())))
            return fail("the camera did not answer the parameter read");
        for (const tarvo_param_item_t &item : items) {
            std::printf("%d:", item.param_id);
            const unsigned len = std::min<unsigned>(item.param_val_len, kValueSize);
            for (unsigned i = 0; i < len; ++i)
                std::printf(" %02x", item.param_val[i]);
            std::printf("\n");
        }
        return kDone;
    });
}

int set_param(const ParamOptions &opt) {
    const std::vector<uint8_t> bytes = *parse_hex_bytes(opt.set_bytes);
    tarvo_param_item_t item{};
    item.param_id = static_cast<int32_t>(*parse_number(opt.set_id, 255));
    item.param_val_len = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), item.param_val);
    return with_camera(opt.camera, [&](tarvo_dev_t *dev) {
        if (!tarvo_param_batch_set(dev, &item, 1))
            return fail("the camera refused parameter %d", item.param_id);
        std::printf("parameter %d set (%zu bytes)\n", item.param_id, bytes.size());
        return kDone;
    });
}

}  // namespace

void add_param_command(Tool &tool) {
    auto opt = std::make_shared<ParamOptions>();
    CLI::App *param = tool.app.add_subcommand("param", "read or set device parameters");
    param->require_subcommand(1);

    CLI::App *get = param->add_subcommand("get", "print each parameter's bytes in hex");
    get->add_option("N", opt->get_ids, "parameter numbers, 0 to 255")
        ->required()
        ->check(number_check(255));
    add_camera_option(get, opt->camera);
    tool.on_run(get, [opt] { return get_params(*opt); });

    CLI::App *set = param->add_subcommand("set", "set one parameter to the bytes given in hex");
    set->add_option("N", opt->set_id, "parameter number, 0 to 255")
        ->required()
        ->check(number_check(255));
    set->add_option("HEXBYTES", opt->set_bytes,
                    "1 to 18 bytes in hex, in wire order (numbers little-endian): 1e000000")
        ->required()
        ->check(CLI::Validator(
            [](std::string &text) -> std::string {
                return parse_hex_bytes(text) ? "" : "'" + text + "' is not 1 to 18 hex bytes";
            },
            "HEXBYTES"));
    add_camera_option(set, opt->camera);
    set->footer(
        "The value lasts until the camera is opened again: opening it (any tarvo command) "
        "writes the driver's own settings, e.g. 700 us integration time into parameter "
        "13. To capture with other settings, give them to the capture command itself "
        "(--integration-time, --frame-rate, ...).");
    tool.on_run(set, [opt] { return set_param(*opt); });
}

}  // namespace tarvo::tool
