/* EPC processing façade and chip access: the flat set of api* operations through which the EPC
 * driver and applications configure the pipeline and fetch processed images, the sensor's
 * start-up and identification, the version numbers, the board-level stand-ins of this platform
 * and the string and file helpers.
 *
 * "addr" arguments are the sensor's device address (0x20 on this camera), passed on to the
 * register access of <tarvo/epc_config.h>. Images are those of <tarvo/epc_calc.h>.
 *
 * Thread context: the pipeline state is process-wide and unguarded; none of these functions is
 * thread-safe. Call them from one thread at a time (the thread that decodes frames or drives
 * the pipeline). The string and file helpers and the stand-ins keep no state and may be called
 * from any thread. */
#ifndef TARVO_EPC_API_H
#define TARVO_EPC_API_H

#include <stdbool.h>
#include <stdint.h>

#include <tarvo/epc_calib.h>
#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* ---- Read-out and modes --------------------------------------------------------------------- */

/* Region of columns x0..x1 (x0 even, x1 odd, 5..327) and rows y0..y1 of one half (y0 even, y1
 * odd, 1..125), at least 6 x column reduction wide and 2 x row reduction high. 0, or -1 after
 * printing the reason (the region is then unchanged). */
TARVO_API int apiSetROI(int x0, int x1, int y0, int y1, int addr);
/* Mode 1: time of flight with the measurement DCS count; any other: grayscale. Returns mode. */
TARVO_API int apiLoadConfig(int mode, int addr);
/* Each returns on (0/1). */
TARVO_API int apiEnablePiDelay(int on, int addr);
TARVO_API int apiEnableDualMGX(int on, int addr);
TARVO_API int apiEnableHorizontalBinning(int on, int addr);
TARVO_API int apiEnableVerticalBinning(int on, int addr);
TARVO_API int apiEnableHDR(int on, int addr);
TARVO_API int apiEnableABS(int on, int addr);
/* Row reduction 2^k, k clamped to 0..3; returns k. */
TARVO_API int apiSetRowReduction(int k, int addr);
/* Frequency table index 0..6: 0, or -1 for another index. */
TARVO_API int apiSetModulationFrequency(int index, int addr);
/* PN (1) or sine (0) modulation; negative counts as 0, positive as 1. Returns the mode. */
TARVO_API int apiSelectMode(int mode, int addr);
TARVO_API uint16_t *apiGetModulationFrequencies(void);

/* Integration times in microseconds of the grayscale, the distance and the HDR second
 * exposure; each returns the time stored. */
TARVO_API int apiSetIntegrationTime2D(int us, int unused);
TARVO_API int apiSetIntegrationTime3D(int us, int unused);
TARVO_API int apiSetIntegrationTime3DHDR(int us, int unused);
/* The imaging time of the configuration (configGetImagingTime). */
TARVO_API int apiGetImagingTime(void);
/* The DCS-sum threshold test of the fast route: switch, threshold, and the lower and upper
 * points of the threshold line at the current 3D integration time; each returns the value set. */
TARVO_API int apiEnableAddArgThreshold(int on);
TARVO_API int apiSetAddArgThreshold(int threshold);
TARVO_API int apiSetAddArgMin(int value);
TARVO_API int apiSetAddArgMax(int value);

/* ---- Pixel tests and filters ---------------------------------------------------------------- */

/* Minimum amplitude and hysteresis thresholds; returns a. */
TARVO_API int apiSetMinAmplitude(int a);
TARVO_API int apiGetMinAmplitude(void);
TARVO_API int apiSetHysteresis(int h);
TARVO_API int apiEnableSaturation(int on);
TARVO_API int apiEnableAdcOverflow(int on);
TARVO_API int apiEnableImageCorrection(int on);
TARVO_API uint32_t apiSetImageAveraging(uint32_t n);
TARVO_API uint32_t apiSetImageProcessing(uint32_t mode);
TARVO_API int apiSetImageDifferenceThreshold(int threshold);
TARVO_API int apiSelectPolynomial(int length, int index, int addr);
/* Kalman filtering; each returns 0. */
TARVO_API int apiEnableKalman(int mode);
TARVO_API int apiSetKalmanKdiff(double kdiff);
TARVO_API int apiSetKalmanK(double k);
TARVO_API int apiSetKalmanQ(double q);
TARVO_API int apiSetKalmanNumCheck(int n);
TARVO_API int apiSetKalmanThreshold(int threshold);
TARVO_API int apiSetKalmanThreshold2(int threshold);

/* ---- Corrections and calibration ------------------------------------------------------------ */

/* Each returns 0. */
TARVO_API int apiCorrectDRNU(int mode);
TARVO_API int apiCorrectTemperature(int on);
TARVO_API int apiCorrectAmbientLight(int on);
TARVO_API int apiIsEnabledDRNUCorrection(void);
TARVO_API int apiIsEnabledGrayscaleCorrection(void);
TARVO_API int apiIsEnabledTemperatureCorrection(void);
TARVO_API int apiIsEnabledAmbientLightCorrection(void);
/* Ambient-light factor a / sqrt(3D integration time); 0. */
TARVO_API int apiSetAmbientLightFactor(double a);
/* Prints "apiSetSpeedOflight: %2.2f" and keeps c / 2; 0. */
TARVO_API int apiSetSpeedOfLight(double c);
TARVO_API double apiGetSpeedOfLightDev2(void);
/* DRNU calibration settings: delay before each frame (x 1000 us), largest temperature drift
 * (degrees, x 10), frames per step. Return 0, 0, n. */
TARVO_API int apiSetDRNUDelay(double seconds);
TARVO_API int apiSetDRNUDiffTemp(double degrees);
TARVO_API int apiSetDRNUAverage(int n);
/* Chip temperature coefficient of the current part type; 0. */
TARVO_API int apiSetTempCoef(double coef);
TARVO_API int apiPrint(int level);
TARVO_API int apiSetOffset(double cm);
TARVO_API double apiGetOffset(void);
TARVO_API int apiEnableDefaultOffset(int on);
TARVO_API int apiGetBadPixels(int16_t *values);
TARVO_API int apiCalibrateDRNU(void);
TARVO_API calibrationDRNUSummary *apiRenewDRNU(int stepTenthMM);
TARVO_API calibrationDRNUSummary *apiShowDRNU(void);
TARVO_API int apiLoadTemperatureDRNU(void);

/* ---- Images, temperatures, chip ------------------------------------------------------------- */

/* One processed frame in row order through the sorted route: grayscale, raw DCS, distance,
 * amplitude, or distance followed by amplitude. *out receives the pipeline's static image;
 * returns the number of values, or -1. */
TARVO_API int apiGetBWSorted(uint16_t **out);
TARVO_API int apiGetDCSSorted(uint16_t **out);
TARVO_API int apiGetDistanceSorted(uint16_t **out);
TARVO_API int apiGetAmplitudeSorted(uint16_t **out);
TARVO_API int apiGetDistanceAndAmplitudeSorted(uint16_t **out);
/* The averaged chip temperature x 10. */
TARVO_API int16_t apiGetAveragedTemperature(int addr);
/* out: room for 9 values. */
TARVO_API int apiGetTemperature(int addr, int16_t *out);
/* record: room for 8 values. */
TARVO_API int apiGetChipInfo(int addr, uint16_t *record);
TARVO_API int apiGetIcVersion(void);
TARVO_API int apiGetPartVersion(void);
TARVO_API int apiIsFLIM(void);
TARVO_API int apiGetVersion(void);
/* count registers from reg into buffer: count, or -1. */
TARVO_API int apiReadRegister(int reg, int count, uint8_t *buffer, int addr);
TARVO_API int apiWriteRegister(int reg, int count, uint8_t *buffer, int addr);
TARVO_API int16_t apiTest(int v);
TARVO_API int16_t apiSetEnableImaging(int v);
TARVO_API int apiTOF(void);
TARVO_API int apiFLIM(void);

/* ---- Start-up and identification ------------------------------------------------------------ */

/* Finds the sensor, reads its identity into the configuration and switches it to normal mode:
 * the device address, or -1 after ten failed attempts. */
TARVO_API int boot(void);
TARVO_API uint16_t bootGetIcVersion(int addr);
TARVO_API uint16_t bootGetPartType(int addr);
TARVO_API uint16_t bootGetPartVersion(int addr);
TARVO_API uint16_t bootGetWaferID(int addr);
TARVO_API uint16_t bootGetChipID(int addr);
TARVO_API void bootNormalMode(int addr);
TARVO_API void bootReset(void);
TARVO_API void bootUndo(void);
TARVO_API void bootInit(void);
TARVO_API void bootRelease(void);
TARVO_API void bootUnexportAll(void);
TARVO_API void bootCloseEpc660_enable(void);
/* Register 0x00, IC version, information byte 0xF5, wafer id, chip id, part type, part
 * version, sequencer version into record (8 values); returns 8. */
TARVO_API int chipInfoGetInfo(int addr, uint16_t *record);
/* Logs the configuration at debug level. */
TARVO_API void printChipParam(void);
/* 20800, 2, 8, 0. */
TARVO_API int getVersion(void);
TARVO_API int getMajor(void);
TARVO_API int getMinor(void);
TARVO_API int getPatch(void);

/* External modulation (set by the EPC driver from the firmware version); returns on. */
TARVO_API uint8_t epcSetExtModEnable(uint8_t on);
TARVO_API uint8_t epcgetExtModEnable(void);

/* ---- Board-level stand-ins: nothing to drive on this platform ------------------------------- */

/* File descriptors of the board's GPIO lines (direction and value of each); -1 here, where the
 * camera's firmware drives the board. */
TARVO_API extern int fd_epc660_enable_dir;
TARVO_API extern int fd_epc660_enable_val;
TARVO_API extern int fd_5v_10v_enable_dir;
TARVO_API extern int fd_5v_10v_enable_val;
TARVO_API extern int fd_3v3_enable_dir;
TARVO_API extern int fd_3v3_enable_val;
TARVO_API extern int fd_m5v_enable_dir;
TARVO_API extern int fd_m5v_enable_val;
TARVO_API extern int fd_boot_disable_dir;
TARVO_API extern int fd_boot_disable_val;
TARVO_API extern int fd_bbb_epc660_shutter_dir;
TARVO_API extern int fd_bbb_epc660_shutter_val;
TARVO_API extern int fd_bbb_epc660_vsync_a0_dir;
TARVO_API extern int fd_bbb_epc660_vsync_a0_val;
/* Kept for callers; the library does not use them. */
TARVO_API extern double gEpc660_IbTempCoef;
TARVO_API extern int gIbTempDiff;

/* Return 0 (gpio_get_dir 1) and do nothing. */
TARVO_API int gpio_export(int gpio);
TARVO_API int gpio_unexport(int gpio);
TARVO_API int gpio_open_dir(int gpio);
TARVO_API int gpio_set_dir(int fd, int out);
TARVO_API int gpio_get_dir(int fd);
TARVO_API int gpio_close_dir(int fd);
TARVO_API int gpio_open_val(int gpio);
TARVO_API int gpio_set_val(int fd, int value);
TARVO_API int gpio_get_val(int fd);
TARVO_API int gpio_close_val(int fd);
TARVO_API int bbbLEDEnable(int on);
/* channel when below 8, else -1. */
TARVO_API int adcOpen(int channel);
/* 1024, 450, 450000 / r (-1 for r = 0). */
TARVO_API int adcGetValue(void);
TARVO_API int adcGetValueMillivolts(void);
TARVO_API int adcGetValueMicroAmpere(int channel, int r);

/* ---- String and file helpers ---------------------------------------------------------------- */

/* Formatted print to standard output; the number of characters. */
TARVO_API int print_message(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
/* "%X" of str; -1 above 255 or when nothing converts. */
TARVO_API int helperStringToHex(const char *str);
/* "%i" / "%lf" of str; 0 when nothing converts. */
TARVO_API int helperStringToInteger(const char *str);
TARVO_API double helperStringToDouble(const char *str);
/* Splits str in place at blanks into at most 256 tokens and copies each into consecutive
 * 50-byte slots of dst (256 x 50 bytes), at most 49 characters and a terminating NUL each.
 * Returns the number of tokens minus one. */
TARVO_API int helperParseCommand(char *str, char *dst);
/* True when interval is not 0 and now - start (unsigned) is at least interval. */
TARVO_API bool helperIntervalCheck(uint32_t start, uint32_t now, uint32_t interval);
/* Size of the file in bytes, or -1 when it cannot be opened. */
TARVO_API long file_size(const char *path);

TARVO_END_DECLS

#endif /* TARVO_EPC_API_H */
