#include "calib/factory_calibration.h"

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "byte_order.h"
#include "stream_writer/stream_writer.h"

namespace tarvo::vcam {
namespace {

constexpr double kPhasePeriod = 30000.0;
constexpr uint32_t kPacketPayload = 0x80000;
constexpr size_t kParamFileSize = 24;

// The phase step from `from` to `to` taken the short way round the period.
double phase_step(double from, double to) {
    return std::remainder(to - from, kPhasePeriod);
}

void put_le64(uint8_t *p, uint64_t v) {
    put_le32(p, static_cast<uint32_t>(v));
    put_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

uint16_t clamp_u16(double v) {
    return static_cast<uint16_t>(std::lround(std::fmin(std::fmax(v, 0.0), 65535.0)));
}

struct SourceCloser {
    void operator()(zip_source_t *s) const { zip_source_free(s); }
};

[[noreturn]] void zip_failure(const char *what, zip_error_t *err) {
    throw std::runtime_error(std::string("zip_archive: ") + what + ": " + zip_error_strerror(err));
}

}  // namespace

std::function<double(int, double)> ideal_raw_phase(int modulation_khz, double offset_units) {
    const double range_m = 299792458.0 / 2.0 / (modulation_khz * 1000.0);
    return [range_m, offset_units](int, double d) {
        return d / range_m * kPhasePeriod + offset_units;
    };
}

std::string chip_file_name(uint16_t chip_id) {
    char name[64];
    std::snprintf(name, sizeof name, "calib_and_param_%03i.bin", chip_id);
    return name;
}

std::vector<uint8_t> drnu_chip_file(const DrnuCalibrationInput &in) {
    const size_t pixels = static_cast<size_t>(in.width) * static_cast<size_t>(in.height);
    const size_t steps = static_cast<size_t>(in.steps);
    std::vector<uint8_t> out(kParamFileSize + steps * pixels * 2, 0);
    uint8_t *images = out.data() + kParamFileSize;
    double step0_sum = 0.0;
    for (size_t p = 0; p < pixels; ++p) {
        const int pixel = static_cast<int>(p);
        double previous = in.raw_phase(pixel, in.box_distance_m);
        // Step 0 within one period; the later steps unwrapped from it, as the calibration
        // run accumulates them.
        double value = previous - kPhasePeriod * std::floor(previous / kPhasePeriod);
        step0_sum += value;
        for (size_t s = 0; s < steps; ++s) {
            if (s > 0) {
                const double d = in.box_distance_m + static_cast<double>(s) * in.step_mm / 1000.0;
                const double raw = in.raw_phase(pixel, d);
                value += phase_step(previous, raw);
                previous = raw;
            }
            put_le16(images + 2 * (s * pixels + p), clamp_u16(value));
        }
    }
    uint8_t *param = out.data();
    put_le32(param, static_cast<uint32_t>(in.modulation_khz));
    put_le32(param + 4,
             static_cast<uint32_t>(std::lround(step0_sum / static_cast<double>(pixels))));
    put_le32(param + 8, static_cast<uint32_t>(int32_t{in.temp_chip}));
    uint64_t step_bits = 0;
    static_assert(sizeof step_bits == sizeof in.step_mm);
    std::memcpy(&step_bits, &in.step_mm, sizeof step_bits);
    put_le64(param + 12, step_bits);
    put_le32(param + 20, static_cast<uint32_t>(int32_t{in.temp_ib} - 200));
    return out;
}

std::vector<uint8_t> zip_archive(const std::vector<ZipEntry> &files) {
    zip_error_t err;
    zip_error_init(&err);
    std::unique_ptr<zip_source_t, SourceCloser> buffer(
        zip_source_buffer_create(nullptr, 0, 0, &err));
    if (!buffer)
        zip_failure("buffer", &err);
    zip_t *za = zip_open_from_source(buffer.get(), ZIP_TRUNCATE, &err);
    if (za == nullptr)
        zip_failure("open", &err);
    zip_source_keep(buffer.get());  // the archive's close would free it otherwise
    for (const ZipEntry &f : files) {
        zip_source_t *data = zip_source_buffer(za, f.data.data(), f.data.size(), 0);
        const zip_int64_t index =
            data ? zip_file_add(za, f.name.c_str(), data, ZIP_FL_ENC_RAW | ZIP_FL_OVERWRITE) : -1;
        if (index < 0) {
            zip_source_free(data);
            zip_discard(za);
            throw std::runtime_error("zip_archive: cannot add " + f.name);
        }
        zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                         f.unix_mode << 16);
    }
    if (zip_close(za) != 0) {
        zip_discard(za);
        throw std::runtime_error("zip_archive: cannot write the archive");
    }
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_source_stat(buffer.get(), &st) != 0 || zip_source_open(buffer.get()) != 0)
        throw std::runtime_error("zip_archive: cannot read the archive back");
    std::vector<uint8_t> out(static_cast<size_t>(st.size));
    const zip_int64_t n = zip_source_read(buffer.get(), out.data(), out.size());
    zip_source_close(buffer.get());
    if (n != static_cast<zip_int64_t>(out.size()))
        throw std::runtime_error("zip_archive: short read of the archive");
    return out;
}

std::vector<uint8_t> calibration_package(std::span<const uint8_t> zip, const PackageHeader &h) {
    std::vector<uint8_t> out(kPackageHeaderSize + zip.size(), 0);
    out[0] = h.valid;
    out[2] = h.zip_flag;
    put_le32(out.data() + 11, h.zip_length != 0 ? h.zip_length : static_cast<uint32_t>(zip.size()));
    std::copy(zip.begin(), zip.end(), out.begin() + kPackageHeaderSize);
    return out;
}

std::vector<uint8_t> calib_info_param(std::span<const uint8_t> package, uint32_t version,
                                      bool valid) {
    std::vector<uint8_t> v(17, 0);
    if (!valid)
        return v;
    uint16_t sum = 0;
    for (uint8_t b : package)
        sum = static_cast<uint16_t>(sum + b);
    const uint32_t zip_len =
        package.size() >= kPackageHeaderSize ? get_le32(package.data() + 11) : 0;
    v[0] = 1;
    put_le32(v.data() + 3, version);
    put_le32(v.data() + 7, static_cast<uint32_t>(package.size()));
    put_le32(v.data() + 11, zip_len);
    put_le16(v.data() + 15, sum);
    return v;
}

std::vector<uint8_t> calibration_frame(std::span<const uint8_t> package) {
    StreamWriterConfig cfg;
    cfg.max_packet_payload = kPacketPayload;
    cfg.meta.frfmt = kFormatCalibration;
    cfg.meta.width = 320;
    cfg.meta.height = 240;
    StreamWriter writer(cfg);
    std::vector<uint8_t> out;
    writer.write_frame(package, out);
    return out;
}

void install_factory_calibration(Camera &camera, std::vector<uint8_t> package, uint32_t version) {
    camera.set_param(kParamCalibInfo, calib_info_param(package, version));
    camera.set_upload_source(make_bytes_source(calibration_frame(package)));
}

void remove_factory_calibration(Camera &camera) {
    camera.set_param(kParamCalibInfo, calib_info_param({}, 0, false));
    camera.set_upload_source(nullptr);
}

std::vector<uint8_t> factory_package(const DrnuCalibrationInput &input, uint16_t chip_id) {
    const std::vector<uint8_t> zip =
        zip_archive({{chip_file_name(chip_id), drnu_chip_file(input)}});
    return calibration_package(zip);
}

}  // namespace tarvo::vcam
