// Runs under `tarvo-vcam --gray-fpn PERCENT -- gray_launcher_probe PERCENT`: opens the first
// camera through the library as an application does, checks that its gray images carry the
// fixed pattern asked for, calibrates (bright frames at the camera's exposure, dark frames at
// an integration time of 0) and checks that the correction flattens the image at least ten
// times. Exits 0 on success, 1 on a failed check, 2 on a setup failure.
#include <tarvo/tarvo.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "epc/frame_source.h"
#include "epc/gray_correction.h"
#include "image_spread.h"

namespace {

constexpr int kPixels = 320 * 240;
constexpr double kFlattening = 10.0;

// Standard deviation of one gray image from the sorted route; -1 when none came.
double gray_spread() {
    uint16_t *image = nullptr;
    int samples = -1;
    // A frame that a loaded machine did not deliver in time is asked for again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        samples = calculationBWSorted(&image);
        if (tarvo::epc::frame_source_last_ok())
            break;
    }
    if (samples != kPixels || !tarvo::epc::frame_source_last_ok())
        return -1.0;
    return tarvo::test::spread_of(image, kPixels).deviation;
}

int run(double percent) {
    tarvo_dev_t *dev = tarvo_dev_open(nullptr);
    if (dev == nullptr || !tarvo_cap_set_frame_buffer(dev, nullptr, 10 * TARVO_CAP_FRAME_UNIT)) {
        std::fprintf(stderr, "gray probe: no camera\n");
        return 2;
    }
    // The pipeline bound to the camera and started as the EPC driver does it for an epc660.
    g_zr_dev = dev;
    configSetDeviceAddress(0x20);
    configSetPartType(2);
    configInit(0x20);
    // 2D mode as the façade loads it.
    pruSetDCS(1);
    configLoad(0, 0x20);
    // Offsets and gain deviations, each uniform over +-10 x percent counts at the light of the
    // reference exposure: (10 x percent) x sqrt(2 / 3) together, plus 2 counts of noise.
    const double expected = std::hypot(10.0 * percent * std::sqrt(2.0 / 3.0), 2.0);
    const double before = gray_spread();
    std::printf("gray probe: spread %.2f, pattern of %.0f %% gives %.2f\n", before, percent,
                expected);
    int status = std::fabs(before - expected) <= 0.15 * expected ? 0 : 1;

    tarvo::epc::set_gray_calibration_frames(8);
    const int exposure = configGetIntegrationTime2D();
    const bool calibrated = apiCalibrateGrayscale(1) == 0 && configSetIntegrationTime2D(0) == 0 &&
                            apiCalibrateGrayscale(0) == 0;
    configSetIntegrationTime2D(exposure);
    // The start-up's tables from the file the calibration wrote.
    if (configInit(0x20) != 0 || !configIsEnabledGrayscaleCorrection())
        status = 1;
    pruSetDCS(1);
    configLoad(0, 0x20);
    apiCorrectGrayscaleOffset(1);
    apiCorrectGrayscaleGain(1);
    const double after = gray_spread();
    std::printf("gray probe: calibrated %d, spread %.2f -> %.2f (factor %.1f)\n", calibrated,
                before, after, after > 0.0 ? before / after : 0.0);
    if (!calibrated || after < 0.0 || after * kFlattening >= before)
        status = 1;
    g_zr_dev = nullptr;
    tarvo_dev_close(dev);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gray_launcher_probe PERCENT\n");
        return 2;
    }
    // Calibration files and the log go to a directory of our own.
    std::string dir = (std::filesystem::temp_directory_path() / "tarvo-gray-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) {
        std::perror("gray probe: work directory");
        return 2;
    }
    tarvo_init("gray_probe.log");
    const int status = run(std::atof(argv[1]));
    tarvo_uninit();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
