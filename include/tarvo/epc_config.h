/* EPC sensor control: register access, the chip configuration (identity, operating mode,
 * modulation frequency, integration times, ABS, the DCS-sum threshold), the delay-locked loop,
 * FLIM timing, the illumination switch and the frame source that describes the image geometry
 * and supplies raw frames to the processing functions of <tarvo/epc_calc.h>.
 *
 * Every register and parameter transfer goes to the device in g_zr_dev; the EPC sensor driver
 * binds the camera it opens there, and only one camera is bound at a time. "addr" arguments are
 * the sensor's device address (0x20 on this camera); they are checked, not used for routing.
 * Register and parameter transfer failures print a line on standard output and are otherwise
 * not reported to callers of the configuration functions.
 *
 * Thread context: the configuration is process-wide and unguarded; none of these functions is
 * thread-safe. Call them from one thread at a time (the thread that decodes frames or drives
 * the pipeline). */
#ifndef TARVO_EPC_CONFIG_H
#define TARVO_EPC_CONFIG_H

#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>
#include <tarvo/frame.h>

TARVO_BEGIN_DECLS

/* The camera the pipeline works on, or NULL. Owned by whoever opened it. */
TARVO_API extern tarvo_dev_t *g_zr_dev;

/* ---- Register access and printing ----------------------------------------------------------- */

/* Sensor register access through the camera. operation 'r' reads count registers from reg into
 * the bytes at *buffer, 'w' writes count bytes from *buffer to the registers from reg (at most
 * 257 registers), 's' resets the sensor, 'd' scans for the sensor (stores 0x20, 0xFF),
 * 'l' reloads (not available; succeeds). Returns 0, or -1 after printing the reason. */
TARVO_API int i2c(int deviceAddress, char operation, int reg, int count, unsigned char **buffer);

/* Prints the formatted text (at most 515 characters) on standard output when the low byte of
 * enable is set and the print level (configSetPrint) is at least level. Returns the number of
 * characters printed, or 0. */
TARVO_API int print(int enable, int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* ---- Chip configuration --------------------------------------------------------------------- */

/* Full start-up of the configuration for the bound sensor: delay line, frequency table from the
 * sensor's clock registers, frame source, calibration and correction tables. Returns 0. */
TARVO_API int configInit(int addr);
/* The same without the delay line and with a 96 MHz system clock instead of the registers. */
TARVO_API int configInit_simulate(int addr);
/* Installs the default processing parameters (reads no file); 0. */
TARVO_API int configLoadParameters(void);
/* Nothing to save on this platform; 0. */
TARVO_API int configSaveParameters(void);

/* Operating mode: type 1 time of flight (3D), 2 two-sample grayscale, any other 2D grayscale.
 * Tells the camera (parameter 10) and, for 3D, programs the DCS count and integration time. 0. */
TARVO_API int configLoad(int type, int addr);
/* PN modulation on (flag != 0) or off; 0. */
TARVO_API int configSetMode(int flag, int addr);
/* DCS per time-of-flight measurement, 1..4; returns n, or -1 for another n. */
TARVO_API int configSetDCS(int n, int addr);
TARVO_API int configGetCurrentMode(void);
/* 3. */
TARVO_API int configGetModeCount(void);

/* Modulation frequency by table index 0..6 (an index outside the table selects row 2 while the
 * index itself is kept); re-applies the integration times. 0. */
TARVO_API int configSetModulationFrequency(int index, int addr);
/* Table lookup and state update only, no transfer. 0. */
TARVO_API int configSetModulationFrequency_simulate(int index);
/* Selected modulation frequency in kHz. */
TARVO_API int configGetModulationFrequency(void);
/* Index last given to configSetModulationFrequency. */
TARVO_API int configGetModFreqMode(void);
/* The 7-entry frequency table in kHz (process-wide; valid for the life of the process). */
TARVO_API uint16_t *configGetModulationFrequencies(void);
/* Refill the table from the sensor's clock registers / from a 96 MHz system clock; 0. */
TARVO_API int configFindModulationFrequencies(void);
TARVO_API int configFindModulationFrequencies_simulate(void);
/* 7. */
TARVO_API int configGetModFreqCount(void);

/* Integration times in microseconds. Each returns 0, or -1 (nothing changed) when t is above
 * 1000000 (2D) or 4000 (3D, HDR), negative values included. */
TARVO_API int configSetIntegrationTime2D(int t);
TARVO_API int configSetIntegrationTime3D(int t);
TARVO_API int configSetIntegrationTime3DHDR(int t);
/* Sends t to the camera without storing it; 0. */
TARVO_API int configSetIntegrationTime(int t);
/* Programs the sensor's integration registers from both 3D times; 0. */
TARVO_API int configSetIntegrationTimesHDR(void);
TARVO_API int configGetIntegrationTime2D(void);
TARVO_API int configGetIntegrationTime3D(void);
TARVO_API int configGetIntegrationTime3DHDR(void);
/* 15000. */
TARVO_API int configGetImagingTime(void);

/* HDR read-out and calculation on or off; returns flag as 0/1. */
TARVO_API int configEnableHDR(int flag, int addr);
/* ABS on or off in the sensor; returns flag as 0/1. */
TARVO_API int configEnableABS(int flag, int addr);
/* 1 when the sensor has ABS on, else 0. */
TARVO_API int configIsABS(int addr);

/* DCS-sum threshold: switch, value, and the two points of the threshold-versus-integration-time
 * line (each taken at the current 3D integration time). Each setter returns the value set. */
TARVO_API int configEnableAddArg(int on);
TARVO_API int configStatusEnableAddArg(void);
TARVO_API int configSetDcsAdd_threshold(int threshold);
TARVO_API int configGetDcsAdd_threshold(void);
TARVO_API int configSetAddArgMin(int value);
TARVO_API int configSetAddArgMax(int value);

/* Sensor clocks: system clock in kHz; modulation and system clock periods in ns. */
TARVO_API int configGetSysClk(void);
TARVO_API double configGetTModClk(void);
TARVO_API double configGetTPLLClk(void);

/* Chip identity and settings; setters return the value stored. Part types 2 and 3 are epc660
 * parts, 4 and 5 epc635 parts. */
TARVO_API int configSetIcVersion(int version);
TARVO_API int configGetIcVersion(void);
TARVO_API int configSetPartType(int type);
TARVO_API int configGetPartType(void);
TARVO_API int configSetPartVersion(int version);
TARVO_API int configGetPartVersion(void);
TARVO_API uint16_t configSetWaferID(uint16_t id);
TARVO_API uint16_t configGetWaferID(void);
TARVO_API uint16_t configSetChipID(uint16_t id);
TARVO_API uint16_t configGetChipID(void);
TARVO_API int configSetDeviceAddress(int addr);
TARVO_API int configGetDeviceAddress(void);
TARVO_API int configSetPrint(int level);
TARVO_API int configGetPrint(void);
TARVO_API uint16_t configGetSequencerVersion(void);
/* Trimming values of the temperature read-out. */
TARVO_API uint8_t configGetGX(void);
TARVO_API uint8_t configGetGY(void);
TARVO_API uint8_t configGetGM(void);
TARVO_API uint8_t configGetGL(void);
TARVO_API uint8_t configGetGC(void);
TARVO_API int configGetGZ(void);
TARVO_API int configIsFLIM(void);
TARVO_API int configIsEnabledDRNUCorrection(void);
TARVO_API int configIsEnabledGrayscaleCorrection(void);
TARVO_API int configIsEnabledTemperatureCorrection(void);
TARVO_API int configIsEnabledAmbientLightCorrection(void);
/* Logs the whole configuration at debug level; 0. */
TARVO_API int configPrint(void);
/* Register initialisation; only arg 2 does anything. 0. */
TARVO_API int configInitRegisters(int arg);
/* Restart the sensor as a time-of-flight / FLIM part and run configInit again; 0. */
TARVO_API int configRestartTOF(void);
TARVO_API int configRestartFLIM(void);

/* ---- Delay-locked loop ---------------------------------------------------------------------- */

/* Each returns 0 unless said otherwise. */
TARVO_API int dllEnablePreheat(int on, int addr);
/* Bypass on, or off followed by a lock (dllInitialize, whose result is returned). */
TARVO_API int dllBypassDLL(int on, int addr);
/* Fixed demodulation delay; returns 2. */
TARVO_API int dllDetermineAndSetDemodulationDelay(int addr);
TARVO_API int dllResetDemodulationDelay(int addr);
/* Prepares the loop for the current modulation clock and locks it: 0, or -1 when the divider
 * is unknown or the loop did not lock. */
TARVO_API int dllInitialize(int addr);
/* Locks the loop (up to 100 attempts, each waiting 2 to 64 ms), prints its progress and
 * programs the averaged lock values. 0, or -1 for an unsupported mode or divider, or when the
 * loop never locked. */
TARVO_API int dllLockAutomatically(int addr);
/* Values of the last lock. */
TARVO_API uint8_t dllGetCoarseCtrlExt(void);
TARVO_API uint16_t dllGetFineCtrlExt(void);

/* ---- FLIM timing ---------------------------------------------------------------------------- */

/* Phase lengths in FLIM time steps; 0 skips the phase. Each returns 0, or -1 when v is 0 on a
 * part that cannot skip. */
TARVO_API int flimSetT1(uint16_t v);
TARVO_API int flimSetT2(uint16_t v);
TARVO_API int flimSetT3(uint16_t v);
TARVO_API int flimSetT4(uint16_t v);
TARVO_API int flimSetTREP(uint16_t v);
TARVO_API int flimSetFlashDelay(uint16_t v);
TARVO_API int flimSetFlashWidth(uint16_t v);
/* index 1 flash width, 2 flash delay, 3..6 T1..T4, 7 TREP; -1 for another index. */
TARVO_API int flimSetDelay(int index, uint16_t v);
/* Returns the register value written (v - 1, or 0 for 0). */
TARVO_API int flimSetRepetitions(uint16_t v);
TARVO_API uint16_t flimGetRepetitions(void);
TARVO_API uint16_t flimGetFlashWidth(void);
/* Set / clear skip bit `bit` (0..7); 0, or -1 for another bit. */
TARVO_API int flimSetSkip(int bit);
TARVO_API int flimResetSkip(int bit);
/* The FLIM time step in ps: the modulation clock period (65535 for a period of 65.5 ns or
 * more). */
TARVO_API uint16_t flimGetStep(void);

/* FLIM timing through the façade (the flim* operations): the times T1 to T4 and TREP, the
 * repetitions, the flash delay and width; apiFLIMGetStep gives the time step, the modulation
 * clock period x 1000. */
TARVO_API int apiFLIMSetT1(uint16_t v);
TARVO_API int apiFLIMSetT2(uint16_t v);
TARVO_API int apiFLIMSetT3(uint16_t v);
TARVO_API int apiFLIMSetT4(uint16_t v);
TARVO_API int apiFLIMSetTREP(uint16_t v);
TARVO_API int apiFLIMSetRepetitions(uint16_t v);
TARVO_API int apiFLIMSetFlashDelay(uint16_t v);
TARVO_API int apiFLIMSetFlashWidth(uint16_t v);
TARVO_API uint16_t apiFLIMGetStep(void);

/* ---- Illumination --------------------------------------------------------------------------- */

/* The camera switches its illumination itself; these keep the pipeline's record of it. 0. */
TARVO_API int illuminationEnable(void);
TARVO_API int illuminationDisable(void);
TARVO_API int isIlluminationEnabled(void);

/* ---- Frame source --------------------------------------------------------------------------- */

/* A frame handed to the pipeline for decoding: info.frame_size bytes of samples at data. The
 * pipeline keeps the record until the frame is consumed and never writes the samples. */
typedef struct pru_image_record {
    tarvo_frame_info_t info; /* the frame's description */
    const uint16_t *data;    /* its samples, owned by the caller */
} pru_image_record;

/* Geometry for the configured part type (epc660: 320 columns, 2 halves of 120 rows; epc635:
 * 160 x 60, one half), no frame handed over; 0. */
TARVO_API int pruInit(void);
/* Columns and rows per half before reduction (negative values count as 0); 0. */
TARVO_API int pruSetSize(int width, int height);
/* Reduction 2^k, k clamped to 0..3; returns the reduction. */
TARVO_API int pruSetColReduction(int k);
TARVO_API int pruSetRowReduction(int k);
TARVO_API int pruGetColReduction(void);
TARVO_API int pruGetRowReduction(void);
/* Columns and rows per half after reduction. */
TARVO_API int pruGetNCols(void);
TARVO_API int pruGetNRowsPerHalf(void);
TARVO_API int pruGetNumberOfHalves(void);
/* Samples per pixel in a frame: 1, 2 or 4. */
TARVO_API int pruGetNDCS(void);
TARVO_API int pruSetDCS(int n);
TARVO_API int pruSetMinAmplitude(int amplitude);
TARVO_API int pruGetMinAmplitude(void);
/* Hands a frame over for the next pruGetImage; 0, or -1 for NULL. */
TARVO_API int pruSetImage(const pru_image_record *record);
/* One frame: the handed-over one, else one captured from g_zr_dev. *out designates
 * columns x DCS count x rows per half x halves samples (zeros when no frame of that size came;
 * a captured frame stays valid until the next call). Returns that sample count. */
TARVO_API int pruGetImage(const uint16_t **out);
/* 0. */
TARVO_API int pruRelease(void);

TARVO_END_DECLS

#endif /* TARVO_EPC_CONFIG_H */
