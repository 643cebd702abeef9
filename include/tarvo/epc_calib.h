/* EPC DRNU calibration: per-pixel distance calibration of the sensor and its files.
 *
 * A calibration steps the sensor's internal delay line (register 0x73) through up to 30 equal
 * delay steps while the camera looks at a fixed target, averages a distance image at every
 * step and keeps them as the distance images of the calibration. The distance correction of
 * <tarvo/epc_calc.h> (DRNU mode 2) maps each live phase onto these images; the scalar
 * parameters (step in mm, offset of step 0, calibration temperatures) come with them.
 *
 * Phases are in sensor units, 30000 per modulation period. Temperatures are tenths of a degree
 * Celsius. Distance images are kept in memory in two banks (bank 1 for frequency mode 2, bank 0
 * otherwise), pixel-major: the values of pixel p are at p x numberOfDistances + step. Files hold
 * them image after image (step-major); saving and loading convert between the two.
 *
 * Files are written under the current directory; the distance images are read from and
 * checked under the path prefix (tarvo_path_get). Every file is first written under its name
 * with ".tmp" appended and renamed when complete.
 *
 * Thread context: the calibration state is process-wide and unguarded; none of these functions
 * is thread-safe. Call them from the thread that drives the pipeline, never while another
 * thread decodes frames. */
#ifndef TARVO_EPC_CALIB_H
#define TARVO_EPC_CALIB_H

#include <stdint.h>

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* Distance images of the two banks (30 images of 328 x 252 values each at most), and their
 * per-pixel minimum and maximum over the loaded images. */
TARVO_API extern uint16_t distImagesDRNU[2][30 * 82656];
TARVO_API extern uint16_t distImagesDRNUMin[2][82656];
TARVO_API extern uint16_t distImagesDRNUMax[2][82656];

/* Result of calibrateRenewDRNU and calibrateShowDRNU: the mean of every step plane of the
 * lookup table and the mean sensor temperature at every step. (Type name: an addition of this
 * library.) */
typedef struct calibrationDRNUSummary {
    int16_t stepAverage[30];
    int16_t stepTemperature[30];
} calibrationDRNUSummary;

/* Room a name buffer of calibrationGetDistanceImagesName / calibrationGetParamName needs, and
 * what configAddEndFileName appends at most besides the extension (additions of this
 * library). */
#define CALIBRATION_NAME_SIZE 64
#define CALIBRATION_SUFFIX_SIZE 5

/* ---- Parameters (each returns the value set or read) ---------------------------------------- */

/* Image size of every calibration loop. */
TARVO_API int calibrateSetWidth(int width);
TARVO_API int calibrateGetWidth(void);
TARVO_API int calibrateSetHeight(int height);
TARVO_API int calibrateGetHeight(void);
/* Number of delay steps, at most 30 (larger values are stored as 30). */
TARVO_API int calibrateSetNumDistances(int n);
TARVO_API int calibrateGetNumDistances(void);
/* Speed of light / 2 in m/s (149896229.0). */
TARVO_API double calibrateSetSpeedOfLightDiv2(double speed);
TARVO_API double calibrateGetSpeedOfLightDiv2(void);
/* Frames averaged per step (25). */
TARVO_API int calibrateSetDRNUAverage(int frames);
TARVO_API int calibrateGetDRNUAverage(void);
/* Microseconds slept before each averaged frame (150000). */
TARVO_API int calibrateSetDRNUCalibrateDelay(int us);
TARVO_API int calibrateGetDRNUCalibrateDelay(void);
/* Largest chip temperature drift allowed during one run (7); 1000 or more skips the run. */
TARVO_API int calibrateSetDRNUDiffTemp(int tenths);
TARVO_API int calibrateGetDRNUDiffTemp(void);
/* Distance in mm by which one delay step shifts the measurement (298.2). */
TARVO_API double calibrateGetStepCalMM(void);
/* Mean sensor / illumination-board temperature during the calibration. */
TARVO_API int calibrateGetTempCalib(void);
TARVO_API int calibrateGetIbTempCalib(void);
/* Mean raw phase of step 0. */
TARVO_API int calibrationGetOffsetDRNU(void);
/* Temperature coefficients per part type: 4 and 5 address the epc635 value, others the epc660
 * value. */
TARVO_API double calibrateSetTempCoef(double coef, int partType);
TARVO_API double calibrateGetTempCoef(int partType);
TARVO_API double calibrateSetIbTempCoef(double coef, int partType);
TARVO_API double calibrateGetIbTempCoef(int partType);
/* Phase offset applied to distances, and the offset derived from the DRNU parameters. */
TARVO_API int calibrationSetOffsetPhase(int offset);
TARVO_API int calibrationGetOffsetPhase(void);
TARVO_API int calibrationSetDefaultOffsetPhase(int offset);
TARVO_API int calibrationIsDefaultEnabled(void);
/* 0. */
TARVO_API int calibrateGetoffsetPhaseDefaultFPN(void);
/* Extents of the bad-pixel search: n - 12 rows and n - 8 columns are stored (240 x 320). */
TARVO_API int calibrationSetNumberOfRowsMax(int rows);
TARVO_API int calibrationSetNumberOfColumnsMax(int columns);
/* Lookup-table element (step, row, column); 0 outside the table. */
TARVO_API int32_t calibrateGetDRNULutPixel(int step, int row, int col);
/* Element `index` of the active bank; 0 outside it. */
TARVO_API uint16_t calibrateGetDistImagePixel(int index);

/* ---- Offsets -------------------------------------------------------------------------------- */

/* Offset phase from a distance in centimetres: d x 30000 / (speed / 2 / f / 10). 0. */
TARVO_API int calibrationSetOffset(double cm);
/* The default offset phase as a distance in centimetres. */
TARVO_API double calibrationGetOffset(void);
/* On: the default offset phase becomes the offset phase and stays in use. Returns on. */
TARVO_API int calibrationEnableDefaultOffset(int on);

/* ---- Calibration and lookup table ----------------------------------------------------------- */

/* The full run on the bound camera: every delay step acquired, the step temperatures and the
 * distance images saved, the step size searched, the parameters saved, the package built; the
 * sensor's registers, mode, region and the correction switches are put back. 0, or -1 when it
 * could not run (no image size, a failed acquisition). */
TARVO_API int calibrationDRNU(void);
/* Acquires delay step `step` averaged over numAvrFrames frames into the active bank, the
 * lookup table and the step temperatures. 0, or -1. */
TARVO_API int calibrationCreateDRNU_LUT(int step, int numAvrFrames);
/* Derives the lookup table from the distance images in memory with a step of stepTenthMM
 * tenths of a millimetre, and saves the parameters. 0, or -1. */
TARVO_API int calibrationDRNU_FromFile(int stepTenthMM);
/* Reloads the distance images, derives the table again with stepTenthMM (0: the current step;
 * negative: searched first) and builds the package. Returns the summary (process-wide, valid
 * until the next call of either function). */
TARVO_API calibrationDRNUSummary *calibrateRenewDRNU(int stepTenthMM);
TARVO_API calibrationDRNUSummary *calibrateShowDRNU(void);
/* Makes the stored parameters of slot `index` (0 or 1) current. 0, or -1 for another index. */
TARVO_API int calibrationChangeDRNU_LUT(int index);
/* After a modulation frequency change: the stored parameters of the frequency mode and the
 * offset phase for them. 0. */
TARVO_API int calibrationUpdateFrequency(void);
/* (mean of plane step - mean of plane 0) / (step + 1). */
TARVO_API double calibrationFindLine(int step);
/* Least-squares line through (step, table value) of every plane. 0, or -1 for null pointers. */
TARVO_API int calibrationLinearRegresion(double *slope, double *intercept);
/* Subtracts step x slope + intercept from every plane. 0. */
TARVO_API int calibrationCorrectDRNU_LUT(double slope, double intercept);
/* 15000 / step in mm, rounded. */
TARVO_API int calibrationErrorCurveEndIndex(void);
/* Logs the delay calibration the found step implies against register 0xE9. 0. */
TARVO_API int calibrationTestStep(void);

/* ---- Bad pixels ----------------------------------------------------------------------------- */

/* Measures a gray image and writes every pixel outside 2000..2096 as "column row" to
 * "./calibration/PT%02i_W%03i_C%03i_bad_pixels.txt". Returns the number of bad pixels, or -1. */
TARVO_API int calibrationSearchBadPixelsWithMin(void);
/* Reads the bad-pixel file back into values: two numbers per bad pixel. values must hold
 * 2 x rows x columns of the bad-pixel search extents (153600 values with the defaults, the
 * most the search can find); a file with more numbers is refused. Returns how many numbers were
 * read, or -1 (no file, a line of more than two numbers, too many numbers). */
TARVO_API int calibrationGetBadPixels(int16_t *values);

/* ---- Files ---------------------------------------------------------------------------------- */

/* Text and binary parameter files. Saving returns 0, or -1 when the text file could not be
 * written. Loading (the current frequency mode's binary file, defaults without one) returns 0. */
TARVO_API int calibrationSaveDRNU_LUT(void);
TARVO_API int calibrationLoadDRNU_LUT(void);
/* Step temperature files (sensor and illumination board). Saving: 0, or -1. Loading the sensor
 * file: 0, or -1 (missing file: nothing changes). */
TARVO_API int calibrationSaveTemperatureDRNU(void);
TARVO_API int calibrationLoadTemperatureDRNU(void);
/* The active bank's images as one file (0, or -1) / a file's images into bank 0 or 1 (0, or -1
 * for a missing, empty or misshapen file). */
TARVO_API int calibrationSaveDistanceImages(void);
TARVO_API int calibrationLoadDistanceImages(int bank);
/* Does nothing; 0. */
TARVO_API int calibrationSaveDistanceImagesTXT(void);
/* Names of the distance image and binary parameter files into buffer (CALIBRATION_NAME_SIZE
 * bytes): mode2 nonzero (table bank 1, the camera's own modulation) gives the frequency mode 2
 * files ("_10"), 0 (bank 0, external modulation) the others ("_20"). Return the length. */
TARVO_API int calibrationGetDistanceImagesName(char *buffer, int mode2);
TARVO_API int calibrationGetParamName(char *buffer, int mode2);
/* 0 when the distance image file named as above for mode2 exists under the path prefix, else
 * -1. */
TARVO_API int calibrationDataFileCheck(int mode2);
/* Appends the suffix of the current modulation frequency ("_20.", "_10." or "_5.") and then
 * extension to name, which must have room for CALIBRATION_SUFFIX_SIZE more characters besides
 * the extension. Returns name. */
TARVO_API char *configAddEndFileName(char *name, const char *extension);

TARVO_END_DECLS

#endif /* TARVO_EPC_CALIB_H */
