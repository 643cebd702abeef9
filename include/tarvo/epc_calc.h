/* EPC sensor processing: per-pixel distance and amplitude, pixel validity tests, image filters,
 * read-out settings and temperature compensation.
 *
 * Distances inside the pipeline are phases: 30000 units span one modulation period (the
 * unambiguous range). 16-bit images carry three codes instead of a phase: 65300 (amplitude too
 * low), 65400 (saturation) and 65500 (ADC overflow or invalid sample); float distance images
 * carry 65.3 and 65.5 for them. Images are row-major.
 *
 * The pipeline keeps process-wide state and fixed buffers sized for the largest sensor,
 * 328 columns x 252 rows. Thread context: none of these functions is thread-safe; call them from
 * one thread at a time (the thread that decodes frames or drives the pipeline). Pointers to
 * static images returned through `out` stay valid until the next call of the same function. */
#ifndef TARVO_EPC_CALC_H
#define TARVO_EPC_CALC_H

#include <stdint.h>

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* ---- Pixel validity tests ------------------------------------------------------------------- */

/* Amplitude hysteresis on squared amplitudes: a pixel turns valid at minAmp^2 and invalid only
 * below (minAmp - hyst)^2. Setting the thresholds clears every pixel's state; returns hyst. */
TARVO_API int hysteresisSetThresholds(int minAmp, int hyst);
/* The same with the width last given; returns that width. */
TARVO_API int hysteresisUpdateThresholds(int minAmp);
/* Updates and returns the state (0/1) of sample position pos (0..82655; other positions are
 * refused with 0). */
TARVO_API int hysteresisUpdate(int pos, int ampSq);
TARVO_API int hysteresisIsEnabled(int pos);

/* Saturation: the flag is set when any given sample equals 4095. */
TARVO_API void saturationSet1DCS(uint16_t d0);
TARVO_API void saturationSet2DCS(uint16_t d0, uint16_t d1);
TARVO_API void saturationSet4DCS(uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3);
TARVO_API int saturationEnable(int on);
/* The flag when the check is enabled, else 0. */
TARVO_API int saturationCheck(void);
TARVO_API void saturationSetSaturationBit(void);

/* ADC overflow: with the check enabled, true (1) when a sample lies below the minimum or above
 * the maximum (1 and 4094 at load). */
TARVO_API int adcOverflowCheck1DCS(uint16_t d0);
TARVO_API int adcOverflowCheck2DCS(uint16_t d0, uint16_t d1);
TARVO_API int adcOverflowCheck4DCS(uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3);
TARVO_API int adcOverflowEnable(int on);
TARVO_API int adcOverflowIsEnabled(void);
TARVO_API uint16_t adcOverflowSetMin(uint16_t min);
TARVO_API uint16_t adcOverflowGetMin(void);
TARVO_API uint16_t adcOverflowSetMax(uint16_t max);
TARVO_API uint16_t adcOverflowGetMax(void);

/* ---- Image filters (in place on *image, columns x rows of the current read-out) -------------- */

/* Loads the pixel correction list from a text file ("ccc rrr DIR" per line). Returns the result
 * of closing the file (0), or 0 with an empty list when it cannot be opened. */
TARVO_API int imageCorrectionLoad(const char *path);
TARVO_API int imageCorrectionEnable(int on);
/* Maps the loaded list onto the current region, binning and dual-MGX setting; returns the number
 * of entries that apply. Run after every read-out change. */
TARVO_API int imageCorrectionTransform(void);
TARVO_API int imageCorrect(uint16_t **image);
/* Copies into pixel `index` its neighbour in `direction` (0 W, 1 NW, 2 N, 3 NE, 4 E, 5 SE, 6 S,
 * 7 SW). Returns 0, or -1 for an unknown direction or a neighbour outside the image. */
TARVO_API int imageCorrectCopyPixel(int unused, int index, int direction, uint16_t **image);

/* Spatial averaging: 1 four neighbours, 2 eight neighbours, 0 or 3 none (above 3 becomes 3). */
TARVO_API uint32_t imageSetProcessing(uint32_t mode);
TARVO_API int imageProcess(uint16_t **image);
TARVO_API int imageAverageFourConnectivity(uint16_t **image);
TARVO_API int imageAverageEightConnectivity(uint16_t **image);

/* Temporal running average over n pictures (0 becomes 1; 1 means no averaging). */
TARVO_API uint32_t imageSetNumberOfPicture(uint32_t n);
TARVO_API int imageAverage(uint16_t **image);

/* Difference filter: pixels that moved less than the threshold from the reference image become
 * 65300. The threshold 0 switches the filter off; setting it or Init takes a new reference. */
TARVO_API int imageDifferenceSetThreshold(int threshold);
TARVO_API int imageDifferenceInit(void);
TARVO_API int imageDifference(uint16_t **image);

/* A separate moving average over the last five images. */
TARVO_API int imageInitAveragePicture(void);
TARVO_API int imageAveragePicture(uint16_t **image);

/* ---- Read-out settings (sensor registers at device address addr) ---------------------------- */

/* Each returns 0, or -1 when a register transfer failed. */
TARVO_API int readOutEnableHorizontalBinning(int on, int addr);
TARVO_API int readOutIsHorizontalBinning(int addr);
TARVO_API int readOutEnableVerticalBinning(int on, int addr);
TARVO_API int readOutIsVerticalBinning(int addr);
TARVO_API int readOutSetRowReduction(int k, int addr);
TARVO_API int readOutEnableDualMGX(int on, int addr);
TARVO_API int readOutEnableHDR(int on, int addr);
TARVO_API int readOutSetROI(int x0, int x1, int y0, int y1, int addr);
TARVO_API uint16_t readOutGetTopLeftX(void);
TARVO_API uint16_t readOutGetBottomRightX(void);
TARVO_API uint8_t readOutGetTopLeftY(void);
TARVO_API uint8_t readOutGetBottomRightY(void);
/* Selects the PN polynomial of length 1..7 and index 0..4 (clamped); returns it. */
TARVO_API int pnSelectPolynomial(int length, int index, int addr);
/* Reads registers 0..255 into dst[0..255]; returns 256, or -1 on a failed read. */
TARVO_API int dumpAllRegisters(int addr, uint16_t *dst);

/* ---- Frame queue: four slots of 661248 bytes ------------------------------------------------ */

/* Empties the queue; 0. */
TARVO_API int queueInit(void);
/* Copies len bytes (at most 661248) into the next slot; 0 when the oldest frame was overwritten,
 * 1 otherwise, -1 for bad arguments. */
TARVO_API int enqueue(const uint8_t *image, int len);
/* Takes the oldest slot; returns its buffer (also stored in *out), or NULL when empty. The
 * buffer stays valid until four more frames were queued. */
TARVO_API uint8_t *dequeue(uint8_t **out);
TARVO_API int isQueueEmpty(void);
TARVO_API int queueError(void);
TARVO_API int succ(int i);
TARVO_API void cleanQueue_intern(void);

/* ---- Distance and amplitude ----------------------------------------------------------------- */

/* Number of arctangent table entries. */
TARVO_API extern const int numLutValue;
/* Fills the arctangent table; run before the first distance calculation. */
TARVO_API void atan2lut_Init(void);
/* Angle of (x, y) in phase units, 0..29999. */
TARVO_API int atan2_lut(int y, int x);

/* Fast route over four DCS planes of n samples each (src holds 4n samples) in the sensor's
 * read-out order; dst receives the image in row order. type 0: 16-bit phase, 1: 16-bit
 * amplitude, 2: float metres, 3: float amplitude. The geometry comes from the frame source and
 * must fit in n samples. Returns n, or -1 for bad arguments. */
TARVO_API int calcDefPiDelayGetDataSorted_opt(int type, void *dst, const uint16_t *src, int n);
/* The fast route with type 2 and n = width x height. */
TARVO_API int _epc_DCSxn_raw2dist(float *dst, const uint16_t *src, int width, int height);

/* Calculator state of the sorted route, exported for inspection. */
TARVO_API extern uint16_t pixelDCS0;
TARVO_API extern uint16_t pixelDCS1;
TARVO_API extern uint16_t pixelDCS2;
TARVO_API extern uint16_t pixelDCS3;
TARVO_API extern int arg1;
TARVO_API extern int arg2;
TARVO_API extern uint8_t amplitudeDivider;
TARVO_API extern int minAmplitude;
TARVO_API extern int indexMemory;
TARVO_API extern int indexCal;

/* The per-pixel calculator: its divider (phase units per period divided by it), then the DCS
 * samples of one pixel with its memory and calibration indexes. */
TARVO_API void calculatorInit(int divider);
TARVO_API void calculatorSetArgs2DCS(uint16_t dcs0, uint16_t dcs1, int memoryIndex, int calIndex);
TARVO_API void calculatorSetArgs4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2, uint16_t dcs3,
                                     int memoryIndex, int calIndex);
/* Amplitude, or -136 (65400 as a 16-bit word) for saturation, -36 (65500) for ADC overflow. */
TARVO_API int calculatorGetAmpSine(void);
/* Amplitude << 16 | phase, or 0xFF78FF78 (saturation), 0xFFDCFFDC (ADC overflow), 0xFF14FF14
 * (amplitude too low). */
TARVO_API uint32_t calculatorGetDistAndAmpSine(void);
TARVO_API int calculatorGetAmpPN(void);
TARVO_API uint32_t calculatorGetDistAndAmpPN(void);
TARVO_API void calculatorSetPixelMask(int mask);
TARVO_API int calculatorGetPixelMask(void);

/* Calculation switches; each setter returns the value stored (0/1). */
TARVO_API int calculationEnablePiDelay(int on);
TARVO_API int calculationEnableDualMGX(int on);
TARVO_API int calculationEnableHDR(int on);
TARVO_API int calculationEnablePN(int on);
TARVO_API int calculationIsPiDelay(void);
TARVO_API int calculationIsDualMGX(void);
TARVO_API int calculationIsHDR(void);
TARVO_API int calculationIsPN(void);
TARVO_API int calculationEnableLinear(int on);

/* Sorted route: one frame from the frame source, the variant chosen by the switches, then the
 * filter chain, which works on the phase plane only. *out receives a static image; the result
 * is the number of values, or -1 when the frame does not match the geometry. */
TARVO_API int calculationDistanceSorted(uint16_t **out);
TARVO_API int calculationDistanceAndAmplitudeSorted(uint16_t **out);
TARVO_API int calculationAmplitudeSorted(uint16_t **out);
TARVO_API int calculationBWSorted(uint16_t **out);
TARVO_API int calculationDCSSorted(uint16_t **out);
/* Unsorted grayscale clean-up of one frame (on a copy; the frame is left as it came). */
TARVO_API int calculationBW(uint16_t **out);

/* The eight variants; type 0: phase, 1: amplitude, 2: phase plane then amplitude plane. The
 * amplitude plane starts at the read-out's pixel count (columns x rows) in every variant; the
 * dual-MGX variants' images have half the rows, and the values between their phase plane and
 * the amplitude plane are 65300. The result counts phase and amplitude values (twice the
 * image's pixels for type 2). */
TARVO_API int calcDefNoPiDelayGetDataSorted(int type, uint16_t **out);
TARVO_API int calcDefPiDelayGetDataSorted(int type, uint16_t **out);
TARVO_API int calcMGXNoPiDelayGetDataSorted(int type, uint16_t **out);
TARVO_API int calcMGXPiDelayGetDataSorted(int type, uint16_t **out);
TARVO_API int calcPNDefNoPiDelayGetDataSorted(int type, uint16_t **out);
TARVO_API int calcPNDefPiDelayGetDataSorted(int type, uint16_t **out);
TARVO_API int calcPNMGXNoPiDelayGetDataSorted(int type, uint16_t **out);
TARVO_API int calcPNMGXPiDelayGetDataSorted(int type, uint16_t **out);

/* Ambient-light correction of DCS0 and DCS1 from the gray image of the direct temperature
 * readers. */
TARVO_API int calculationSetEnableAmbientLight(int on);
TARVO_API int calculationGetEnableAmbientLight(void);
TARVO_API int calculationAmbientDCSCorrectionPixel(int dcs, int gray);
TARVO_API int calculationAmbientDCSCorrection(uint16_t *image, int perDcs);
TARVO_API double calculationSetAmbientLightFactor(double factor);
TARVO_API double calculationGetAmbientLightFactor(void);
TARVO_API double calculationSetAmbientLightFactorOrg(double factor);
TARVO_API double calculationGetAmbientLightFactorOrg(void);
TARVO_API int calculationSetDiffTemp(int diff);

/* Kalman filtering of the distance plane: mode 0 off, 1 fixed gain, 2 variance, 3 adaptive. */
TARVO_API int calculationEnableKalman(int mode);
TARVO_API double calculationSetKalmanK(double k);
TARVO_API double calculationSetKalmanKdiff(double kdiff);
TARVO_API double calculationSetKalmanQ(double q);
/* which 1: fixed-gain threshold; otherwise the variance-filter threshold. Returns value. */
TARVO_API int calculationSetKalmanThreshold(int which, int value);
TARVO_API int calculationSetKalmanNumCheck(int numCheck);
TARVO_API int calculationInitKalman(void);
TARVO_API double calculationSimpleKalmanFilter(double value, int pixel, double gain);
TARVO_API double calculationKalmanFilter(double value, int pixel, double q, double variance);
TARVO_API int calculationFalmanFiltering(uint16_t *image);

/* DRNU correction: mode 0 off, 1 lookup table, 2 distance images. */
TARVO_API int calculationSetEnableDRNU(int mode);
TARVO_API int calculationSetEnableDRNU_simulate(int mode);
TARVO_API int calculationGetEnableDRNU(void);
TARVO_API int calculationCorrectDRNU(uint16_t *image);
/* Corrects phase image `in` into `out` (the same image is allowed). */
TARVO_API int calculationCorrectDRNU2_opt(uint16_t *out, const uint16_t *in);
TARVO_API int calculationCorrectDRNU2(uint16_t *image);

/* Adds the phase offset to every valid pixel, wrapped into one period. */
TARVO_API int calculationAddOffset(uint16_t *image);
/* Running variance of one pixel; count 0 restarts it. */
TARVO_API double calculationVariance(double value, int count, int pixel);
TARVO_API int calculationInterpolate(double x, double x0, double y0, double x1, double dy);
/* Square root by the inverse-square-root approximation (about 0.2 % error). */
TARVO_API float sqrt2(float x);

/* ---- Temperature ---------------------------------------------------------------------------- */

/* Temperatures are tenths of a degree Celsius. */
TARVO_API int temperatureInit(void);
/* Stores pair[0] (chip) and pair[1] (illumination board) from a frame header. */
TARVO_API void temperatureSetTemperatureByFrameHeader(const int16_t *pair);
TARVO_API int16_t temperatureGetTemperatureByFrameHeader(void);
TARVO_API int16_t temperatureGetIbTemperatureByFrameHeader(void);
/* Camera temperature from parameter 15 (mean of four sensors on epc660 parts). */
TARVO_API int temperatureGetTemperature(void);
/* Parameter 15's value into out (room for 9 values); returns the number of values, 0 when the
 * read failed. */
TARVO_API int temperatureGetTemperatures(int addr, int16_t *out);
TARVO_API int temperatureGetTemperatureChip(int addr, int16_t *out);
/* Direct readers: each fills up to four values and returns how many (0 when the capture or a
 * register transfer failed). They leave mode, region and registers as they found them. */
TARVO_API int temperatureGetTemperatureROI(int addr, int16_t *record);
TARVO_API double temperatureGetAveragedChipTemperature(int addr);
TARVO_API int temperatureGetTemperatureROI_EPC660_CHIP7(int addr, int16_t *record);
TARVO_API int temperatureGetTemperature635(int addr, int16_t *out);
TARVO_API int temperatureGetTemperatureRegister(int addr, int16_t *record);
TARVO_API int temperatureGetTemperatureIllumination(int16_t *out);
TARVO_API int16_t temperatureGetLastTempChip(void);
TARVO_API int16_t temperatureGetLastTempIllumination(void);
/* Halves the step between each of the first count (at most 8) values and its previous value. */
TARVO_API int temperatureKalmanFilter(int16_t *values, int count);
TARVO_API uint16_t temperatureGetGrayscalePixel(int i);
TARVO_API uint16_t *temperatureGetGrayscaleData(void);

/* Temperature compensation of distances: the switch (the _simulate form stores it only), its
 * state, and the correction of one phase image in place. */
TARVO_API int calculationSetEnableTemperature(int on);
TARVO_API int calculationSetEnableTemperature_simulate(int on);
TARVO_API int calculationGetEnableTemperature(void);
TARVO_API int calculationTemperatureCompensation(uint16_t *image);

TARVO_END_DECLS

#endif /* TARVO_EPC_CALC_H */
