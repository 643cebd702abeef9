/* EPC sensor processing: per-pixel gain and offset correction of grayscale images and of the
 * two gate images (gate A "mga", gate B "mgb") of FLIM frames.
 *
 * Calibration averages bright and dark frames from the bound camera, computes one offset and
 * one gain per pixel and keeps them in a per-chip text file in the current directory:
 *   "./grayscale660_gain_offset_W%03i_C%03i.txt" (epc660 parts) or
 *   "./grayscale635_gain_offset_W%03i_C%03i.txt" (epc635 parts, part types 4 and 5), and for
 *   FLIM "./epc502_mga_gain_offset_W%03i_C%03i.txt" / "..._mgb_..." ("epc503" for part types 4
 *   and 5), with the wafer id and the chip id. Each file holds one line of gains per image row
 *   (" %.4e" per value), then one line of offsets per row. The averaged bright image of a
 *   calibration in progress is kept in "./grayscale_temp_image.txt" or "./flim_temp_image.txt"
 *   (" %d" per value, one line per row). Files are written under a temporary name and renamed
 *   when complete.
 *
 * Correction of a grayscale image over the current read-out region: with the offset switch on
 * every value up to 65299 becomes round(value - offset); with the gain switch on (after the
 * offset) round((value - 2048) x gain + 2048). The codes 65300 and above are left alone, and
 * corrected values are held within 0..65299 so that none turns into a code. FLIM correction
 * works the same way per gate without the 2048 centring: trunc(value - offset), then
 * round(value x gain); in this library it leaves the codes alone too.
 *
 * Images passed as int* hold one int per pixel of the current image (columns x rows of both
 * halves, at most 328 x 252).
 *
 * Thread context: process-wide, unguarded state like the rest of the pipeline; call these from
 * the one thread that drives the pipeline. Calibration captures frames from the bound camera
 * (g_zr_dev) on the calling thread. */
#ifndef TARVO_EPC_GRAY_H
#define TARVO_EPC_GRAY_H

#include <stdint.h>

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

/* ---- Grayscale ------------------------------------------------------------------------------ */

/* Offset and gain switches (0 initially); return the value set. */
TARVO_API int setCorrectGrayscaleOffset(int on);
TARVO_API int setCorrectGrayscaleGain(int on);
/* Corrects a grayscale image (columns x rows of the current read-out) in place. 0, or -1 for
 * NULL or an image that does not fit. */
TARVO_API int calculateGrayscaleCorrection(uint16_t *image);

/* step 1: bright step (average, then "./grayscale_temp_image.txt"); any other step: dark step
 * (bright image read back, dark average, tables, gain and offset file). 0; in this library -1
 * when no frame could be averaged, or, in the dark step, when the bright image cannot be read
 * back: nothing is then computed or written. */
TARVO_API int calculationCalibrateGrayscale(int step);
/* Switches the sensor to 2D mode and averages count grayscale frames into out. 0, or -1 (out
 * unchanged) for NULL, count < 1, or when no frame arrived; frames that did not arrive are left
 * out of the average (an addition of this library). */
TARVO_API int calculationGrayscaleMean(int count, int *out);
/* Both tables from the last dark and bright averages; 0. */
TARVO_API int calculationGrayscaleGainOffset(void);
/* Write / read "./grayscale_temp_image.txt"; 0, or -1 when the file cannot be opened or a line
 * is missing. */
TARVO_API int calculateSaveGrayscaleImage(int *image);
TARVO_API int calculateLoadGrayscaleImage(int *image);
/* Write / read the gain and offset file of the current chip; 0 or -1. Loading starts from
 * gains of 1.0 and offsets of 0 (a missing or short file leaves the image as it is). */
TARVO_API int calculateSaveGrayscaleGainOffset(void);
TARVO_API int calculateLoadGrayscaleGainOffset(void);

/* ---- FLIM ----------------------------------------------------------------------------------- */

/* FLIM offset and gain switches (0 initially); return the value set. */
TARVO_API int calculationCorrectFlimOffset(int on);
TARVO_API int calculationCorrectFlimGain(int on);
/* Corrects both gate images of a two-sample grayscale frame of `samples` values in place (gate
 * B's image starts samples / 2 into it). 0, or -1 for NULL or an image that does not fit. */
TARVO_API int calculationFlimCorrection(uint16_t *image, int samples);
/* Full calibration of one gate ("mga" gate A, any other text gate B): bright frames, then dark
 * frames with repetitions 1 and flash width 0, tables and the gate's file; repetitions and flash
 * width restored; the availability flag set. 0 (-1 for NULL text, an addition). */
TARVO_API int calculationFlimCalibration(const char *text);
/* Single steps: 1 bright gate A, 3 bright gate B, 0 dark gate A with tables and file, any
 * other value dark gate B with tables and file. 0; -1 as for calculationCalibrateGrayscale. */
TARVO_API int calculationCalibrateFlim(int step);
/* Averages count grayscale frames of gate 0 or 1 into out; returns the last frame's sample
 * count, 0 when nothing was averaged (bad arguments, or no frame arrived). */
TARVO_API int calculationFlimMean(int count, int *out, int gate);
/* The gate's tables from its last dark and bright averages; 0, or -1 for another gate. */
TARVO_API int calculationFlimGainOffset(int gate);
/* Write / read "./flim_temp_image.txt"; 0 or -1. */
TARVO_API int calculateSaveFlimImage(int *image);
TARVO_API int calculateLoadFlimImage(int *image);
/* Write / read the gate's file; loading starts from gains of 1.0 and offsets of 0 and sets the
 * availability flag. 0 or -1. */
TARVO_API int calculateSaveFlimGainOffset(int gate);
TARVO_API int calculateLoadFlimGainOffset(int gate);
/* FLIM correction data available (0 initially); the setter returns the value set. */
TARVO_API int calculateSetFlimCorrectionAvailable(int available);
TARVO_API int calculateIsFlimCorrectionAvailable(void);

/* ---- Façade --------------------------------------------------------------------------------- */

/* calculationCalibrateGrayscale(step). */
TARVO_API int apiCalibrateGrayscale(int step);
/* The grayscale switches; 0. */
TARVO_API int apiCorrectGrayscaleOffset(int on);
TARVO_API int apiCorrectGrayscaleGain(int on);
/* calculationFlimCalibration(text). */
TARVO_API int apiCalibrateFlim(const char *text);
/* Print "correctFlimOffset %d\n" / "correctFlimGain %d\n" (print level 1) and set the FLIM
 * switches; 0. */
TARVO_API int apiCorrectFlimOffset(int on);
TARVO_API int apiCorrectFlimGain(int on);
TARVO_API int apiIsFlimCorrectionAvailable(void);

TARVO_END_DECLS

#endif /* TARVO_EPC_GRAY_H */
