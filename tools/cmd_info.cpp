// tarvo info: what the camera says about itself.
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "commands.h"
#include "recording_info.h"

namespace tarvo::tool {
namespace {

constexpr int kMaxCameras = 16;
constexpr uint8_t kParamChipInfo = 7;
constexpr uint8_t kParamFrameRate = 12;
constexpr uint8_t kParamIntegrationTime = 13;

struct InfoOptions {
    bool json = false;
    bool all = false;
    std::string recording;  // a recording to describe instead of a camera
};

struct Facts {
    unsigned part_version = 0, chip_id = 0, wafer_id = 0;
    uint32_t frame_rate = 0;
    unsigned integration_time = 0;
};

uint32_t le(const tarvo_param_item_t &item, unsigned offset, unsigned bytes) {
    uint32_t v = 0;
    for (unsigned i = 0; i < bytes && offset + i < item.param_val_len; ++i)
        v |= uint32_t{item.param_val[offset + i]} << (8 * i);
    return v;
}

std::optional<Facts> read_facts(tarvo_dev_t *dev) {
    std::array<tarvo_param_item_t, 3> items{};
    items[0].param_id = kParamChipInfo;
    items[1].param_id = kParamFrameRate;
    items[2].param_id = kParamIntegrationTime;
    if (!tarvo_param_batch_get(dev, items.data(), static_cast<int>(items.size())))
        return std::nullopt;
    Facts f;
    f.part_version = le(items[0], 0, 2);
    f.chip_id = le(items[0], 2, 2);
    f.wafer_id = le(items[0], 4, 2);
    f.frame_rate = le(items[1], 0, 4);
    f.integration_time = le(items[2], 0, 2);
    return f;
}

void print_text(std::FILE *out, const tarvo_dev_t *dev, const Facts &f) {
    print_identification(dev);
    std::fprintf(out, "  chip id %u, wafer id %u, part version %u\n", f.chip_id, f.wafer_id,
                 f.part_version);
    std::fprintf(out, "  frame rate %u fps, integration time %u\n", f.frame_rate,
                 f.integration_time);
}

void print_json(std::FILE *out, tarvo_dev_t *dev, const Facts &f) {
    const tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    std::fprintf(out,
                 "{\"bus\":%u,\"port\":%u,\"address\":%u,\"speed\":%u,\"product\":%s,"
                 "\"ident\":%s,\"firmware\":%u,\"driver\":%s,\"chip_id\":%u,\"wafer_id\":%u,"
                 "\"part_version\":%u,\"frame_rate\":%u,\"integration_time\":%u}\n",
                 dev->bus, dev->port, dev->address, dev->speed, json_string(dev->product).c_str(),
                 json_string(dev->ident).c_str(), firmware_version(dev),
                 json_string(drv != nullptr ? drv->name : "none").c_str(), f.chip_id, f.wafer_id,
                 f.part_version, f.frame_rate, f.integration_time);
}

int show_camera(tarvo_dev_t *dev, const InfoOptions &opt, std::FILE *out) {
    if (tarvo_dev_open(dev) == nullptr)
        return fail_open(dev->bus, dev->port);
    const std::optional<Facts> facts = read_facts(dev);
    if (facts && opt.json)
        print_json(out, dev, *facts);
    else if (facts)
        print_text(out, dev, *facts);
    tarvo_dev_close(dev);
    if (!facts)
        return fail("cannot read the parameters of the camera at bus %03u port %03u", dev->bus,
                    dev->port);
    return kDone;
}

int show_info(const InfoOptions &opt) {
    std::optional<CleanStdout> clean;
    if (opt.json)
        clean.emplace();
    std::FILE *out = clean ? clean->out() : stdout;
    std::vector<tarvo_dev_t> list(kMaxCameras);
    const int n = tarvo_dev_list(list.data(), opt.all ? kMaxCameras : 1);
    if (n < 1)
        return fail("no camera found");
    int result = kDone;
    for (int i = 0; i < n; ++i) {
        if (show_camera(&list[i], opt, out) != kDone)
            result = kFailed;
    }
    return result;
}

}  // namespace

void add_info_command(Tool &tool) {
    auto opt = std::make_shared<InfoOptions>();
    CLI::App *cmd =
        tool.app.add_subcommand("info", "open the first camera and show its identification");
    cmd->add_flag("--json", opt->json, "one JSON object per camera and line");
    cmd->add_flag("-a,--all", opt->all, "every camera on the bus, not only the first");
    cmd->add_option("FILE", opt->recording, "describe the recording FILE.mcap instead");
    tool.on_run(cmd, [opt] {
        return opt->recording.empty() ? show_info(*opt) : show_recording(opt->recording, opt->json);
    });
}

}  // namespace tarvo::tool
