// Run under tarvo-vcam: checks with plain libusb that the cameras the launcher was asked for
// are on the bus. Arguments: count, speed code, product string, chip id, firmware version.
#include "usb_client.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int failures = 0;

void check(bool ok, const char *what, long got, long want) {
    if (!ok) {
        std::fprintf(stderr, "launcher_probe: %s: got %ld, want %ld\n", what, got, want);
        ++failures;
    }
}

// Reads one parameter item through both phases of the parameter get command.
std::vector<uint8_t> param(vcam_test::Client &c, uint8_t id) {
    std::vector<uint8_t> item(20, 0);
    item[0] = id;
    c.out(0xC0, 4, item);
    c.status();
    auto r = c.in(0xC0, 4, 20);
    return r.actual == 20 ? r.data : std::vector<uint8_t>();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: launcher_probe COUNT SPEED PRODUCT CHIP_ID FW_VERSION\n");
        return 2;
    }
    const long count = std::strtol(argv[1], nullptr, 0);
    const long speed = std::strtol(argv[2], nullptr, 0);
    const std::string product = argv[3];
    const long chip = std::strtol(argv[4], nullptr, 0);
    const long fw = std::strtol(argv[5], nullptr, 0);

    auto cams = vcam_test::list_cameras();
    check(static_cast<long>(cams.size()) == count, "cameras", static_cast<long>(cams.size()),
          count);
    for (const auto &cam : cams) {
        check(cam.bus == 1, "bus", cam.bus, 1);
        check(cam.speed == speed, "speed", cam.speed, speed);
        vcam_test::Client c(cam.port);
        if (!c.opened() || c.setup(0) != 0) {
            check(false, "open and claim", 0, 1);
            continue;
        }
        auto p = param(c, 3);
        const std::string got =
            p.size() == 20 ? std::string(p.begin() + 2, p.begin() + 2 + std::min<int>(p[1], 18))
                           : "";
        if (got != product) {
            std::fprintf(stderr, "launcher_probe: product '%s', want '%s'\n", got.c_str(),
                         product.c_str());
            ++failures;
        }
        auto v = param(c, 6);
        check(v.size() == 20 && (v[4] | v[5] << 8) == fw, "firmware version",
              v.size() == 20 ? (v[4] | v[5] << 8) : -1, fw);
        auto chipinfo = param(c, 7);
        check(chipinfo.size() == 20 && (chipinfo[4] | chipinfo[5] << 8) == chip, "chip id",
              chipinfo.size() == 20 ? (chipinfo[4] | chipinfo[5] << 8) : -1, chip);
    }
    return failures ? 1 : 0;
}
