// Calibration of the grayscale and FLIM correction tables: averaged bright and dark frames from
// the bound camera, and per pixel an offset (the dark level) and a gain that brings every
// pixel's bright-minus-dark response to the image's mean response.
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "epc/calc_state.h"
#include "epc/config_state.h"
#include "epc/frame_source.h"
#include "epc/gray_correction.h"
#include "epc/pipeline_common.h"

namespace {

using tarvo::epc::Geometry;
using tarvo::epc::kMaxPixels;

constexpr int kDefaultFrames = 100;
int g_frames = kDefaultFrames;

int grayscaleDark[kMaxPixels];
int grayscaleBright[kMaxPixels];
int flimDark[kMaxPixels];
int flimBright[kMaxPixels];

const char *gate_name(int gate) {
    return gate == 0 ? "mga" : "mgb";
}

// Sums `count` frames of the grayscale path and stores the integer means in `out`: the image of
// `gate`, which starts gate x samples / 2 into the frame (gate 0 for a grayscale image). Frames
// that did not arrive are left out. Returns the last frame's sample count, or 0 (out unchanged)
// when no frame was summed.
int average_frames(int count, int gate, const Geometry &g, int *out, const char *tag) {
    const int n = g.pixels;
    std::unique_ptr<int64_t[]> sum(new (std::nothrow) int64_t[n]());
    if (!sum) {
        zr_log(4, "ERR", "[%s] Malloc error\n", tag);
        return 0;
    }
    int summed = 0;
    int samples = 0;
    for (int k = 0; k < count; ++k) {
        uint16_t *frame = nullptr;
        const int got = calcBWSorted(&frame);
        const int first = gate * (got / 2);
        if (got < first + n || !tarvo::epc::frame_source_last_ok()) {
            zr_log(3, "WRN", "[%s] frame %d of %d missing, left out of the average\n", tag, k + 1,
                   count);
            continue;
        }
        samples = got;
        ++summed;
        for (int i = 0; i < n; ++i)
            sum[i] += frame[first + i];
    }
    if (summed == 0) {
        zr_log(4, "ERR", "[%s] no frame to average\n", tag);
        return 0;
    }
    for (int i = 0; i < n; ++i)
        out[i] = static_cast<int>(sum[i] / summed);
    return samples;
}

bool mean_arguments(int count, const int *out, Geometry &g, const char *tag) {
    if (out == nullptr || count < 1) {
        zr_log(4, "ERR", "[%s] cannot average %d frames into %p\n", tag, count,
               static_cast<const void *>(out));
        return false;
    }
    return tarvo::epc::current_geometry(g, tag);
}

// Per pixel gain = mean(bright - dark) / (bright - dark), 1.0 where the two are equal.
double mean_response(const int *dark, const int *bright, int n) {
    double total = 0.0;
    for (int i = 0; i < n; ++i)
        total += bright[i] - dark[i];
    return n > 0 ? total / n : 0.0;
}

double gain_of(double avr, int dark, int bright) {
    return bright == dark ? 1.0 : avr / (bright - dark);
}

// Reads back the bright image for the dark step; without it there is nothing to calibrate.
bool bright_read_back(int loaded, const char *tag) {
    if (loaded == 0)
        return true;
    zr_log(4, "ERR", "[%s] no bright image to calibrate against; take the bright frames first\n",
           tag);
    return false;
}

int flim_bright_step(int gate) {
    zr_log(1, "DBG", "[%s] save bright %s averaged %d images\n", "calculationCalibrateFlim",
           gate_name(gate), g_frames);
    if (calculationFlimMean(g_frames, flimBright, gate) == 0)
        return -1;
    // A failed write has been logged; the dark step then finds no bright image.
    calculateSaveFlimImage(flimBright);
    return 0;
}

int flim_dark_step(int gate) {
    zr_log(1, "DBG", "[%s] save dark %s averaged %d images and calculate offset and gain\n",
           "calculationCalibrateFlim", gate_name(gate), g_frames);
    if (!bright_read_back(calculateLoadFlimImage(flimBright), "calculationCalibrateFlim"))
        return -1;
    if (calculationFlimMean(g_frames, flimDark, gate) == 0)
        return -1;
    calculationFlimGainOffset(gate);
    return calculateSaveFlimGainOffset(gate);
}

}  // namespace

namespace tarvo::epc {

int set_gray_calibration_frames(int n) {
    if (n >= 1)
        g_frames = n;
    return g_frames;
}

int gray_calibration_frames() {
    return g_frames;
}

}  // namespace tarvo::epc

extern "C" {

int calculationGrayscaleMean(int count, int *out) {
    Geometry g;
    if (!mean_arguments(count, out, g, __func__))
        return -1;
    print(1, 2, "calculationGrayscaleMean: width= %d  height= %d\n", g.cols, g.rows);
    // The façade's 2D mode: one sample per pixel.
    pruSetDCS(1);
    configLoad(0, tarvo::epc::sensor_address());
    return average_frames(count, 0, g, out, __func__) > 0 ? 0 : -1;
}

int calculationGrayscaleGainOffset(void) {
    Geometry g;
    if (!tarvo::epc::current_geometry(g, __func__))
        return -1;
    for (int i = 0; i < g.pixels; ++i) {
        grayscaleOffset[i] = grayscaleDark[i] - 2048;
        if (i < 10)
            print(1, 2, "grayScaleOffset[%d]= %.4e    %d\n", i, grayscaleOffset[i],
                  grayscaleDark[i]);
    }
    const double avr = mean_response(grayscaleDark, grayscaleBright, g.pixels);
    zr_log(1, "DBG", "[%s] avr = %f ", __func__, avr);
    for (int i = 0; i < g.pixels; ++i) {
        grayscaleGain[i] = gain_of(avr, grayscaleDark[i], grayscaleBright[i]);
        if (i < 20)
            print(1, 2, "grayScaleGain[%d]= %.4e\n", i, grayscaleGain[i]);
    }
    return 0;
}

int calculationCalibrateGrayscale(int step) {
    const int frames = g_frames;
    if (step == 1) {
        zr_log(1, "DBG", "[%s] save bright averaged %d images\n", __func__, frames);
        if (calculationGrayscaleMean(frames, grayscaleBright) < 0)
            return -1;
        return calculateSaveGrayscaleImage(grayscaleBright);
    }
    zr_log(1, "DBG", "[%s] save dark averaged %d images and calculate offset and gain\n", __func__,
           frames);
    if (!bright_read_back(calculateLoadGrayscaleImage(grayscaleBright), __func__))
        return -1;
    if (calculationGrayscaleMean(frames, grayscaleDark) < 0)
        return -1;
    calculationGrayscaleGainOffset();
    return calculateSaveGrayscaleGainOffset();
}

int calculationFlimMean(int count, int *out, int gate) {
    Geometry g;
    if (!mean_arguments(count, out, g, __func__))
        return 0;
    if (gate < 0 || gate >= tarvo::epc::kFlimGates) {
        zr_log(4, "ERR", "[%s] no gate %d (0 mga, 1 mgb)\n", __func__, gate);
        return 0;
    }
    print(1, 2, "calculationFlimMean: width= %d  height= %d\n", g.cols, g.rows);
    return average_frames(count, gate, g, out, __func__);
}

int calculationFlimGainOffset(int gate) {
    Geometry g;
    if (gate < 0 || gate >= tarvo::epc::kFlimGates) {
        zr_log(4, "ERR", "[%s] no gate %d (0 mga, 1 mgb)\n", __func__, gate);
        return -1;
    }
    if (!tarvo::epc::current_geometry(g, __func__))
        return -1;
    for (int i = 0; i < g.pixels; ++i) {
        flimOffset[gate][i] = flimDark[i];
        if (i < 4)
            print(1, 2, "flimOffset[%d][%d]= %2.4f    %d\n", gate, i, flimOffset[gate][i],
                  flimDark[i]);
    }
    const double avr = mean_response(flimDark, flimBright, g.pixels);
    for (int i = 0; i < g.pixels; ++i) {
        flimGain[gate][i] = gain_of(avr, flimDark[i], flimBright[i]);
        if (i < 4)
            print(1, 2, "flimGain[%d][%d]= %2.4f  avr= %2.4f\n", gate, i, flimGain[gate][i], avr);
    }
    return 0;
}

int calculationCalibrateFlim(int step) {
    switch (step) {
        case 1:
            return flim_bright_step(0);
        case 3:
            return flim_bright_step(1);
        case 0:
            return flim_dark_step(0);
        default:
            return flim_dark_step(1);
    }
}

int calculationFlimCalibration(const char *text) {
    const char *tag = __func__;
    if (text == nullptr) {
        zr_log(4, "ERR", "[%s] no gate named\n", tag);
        return -1;
    }
    const int gate = std::strcmp(text, "mga") == 0 ? 0 : 1;
    const char *name = gate_name(gate);
    zr_log(1, "DBG", "[%s] calibrate flim %s\n", tag, name);
    if (flim_bright_step(gate) < 0)
        return -1;
    // No flash and a single repetition: the frames are dark.
    const uint16_t repetitions = flimGetRepetitions();
    const uint16_t flash_width = flimGetFlashWidth();
    zr_log(1, "DBG", "[%s] %s flashWidth= %d  repetitions= %d\n", tag, name, flash_width,
           repetitions);
    flimSetRepetitions(1);
    flimSetFlashWidth(0);
    const int result = flim_dark_step(gate);
    flimSetRepetitions(repetitions);
    flimSetFlashWidth(flash_width);
    if (result < 0)
        return -1;
    calculateSetFlimCorrectionAvailable(1);
    return 0;
}

}  // extern "C"
