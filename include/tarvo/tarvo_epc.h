/*
 * libtarvo: the EPC distance engine.
 *
 * The engine keeps everything it knows about an EPC time-of-flight sensor in
 * one process-wide state: chip identity, modulation frequency, integration
 * times, read-out window, correction switches, calibration constants, the
 * DRNU tables and the temperatures of the last frame. It programs the chip
 * through the register bridge i2c(), which turns every chip-register access
 * into a register transfer (register space 1) on the bound camera, and turns
 * the four DCS sample planes of a frame into distance or amplitude images.
 *
 * The names keep the engine's lower camel case. "addr" is the chip address
 * (32 on every camera); it only takes part in range checks.
 *
 * How to read the entries below. Unless an entry says otherwise:
 *  - Results: a setter (void) stores its argument in the state as given and
 *    cannot fail; a getter returns what the state holds (after the last
 *    configInit() or setter, or the load-time value after reset) and cannot
 *    fail either. Entries that can fail say how, with their log lines.
 *  - Blocking: the call does not block. Entries that talk to the camera say
 *    "Blocks": the register bridge i2c() and everything that programs the
 *    chip through it, epc_adapter_init(), configInit() and the image fetch
 *    of the engine's own pipeline. A register or parameter transfer blocks
 *    for as long as the camera's command channel takes (about one second at
 *    most per transfer); a fetch that captures a frame up to a few seconds.
 *    The DRNU loaders read files.
 *  - Threads: "one thread". The state has no lock and serves one EPC camera
 *    at a time. Besides the application's own calls here, the EPC driver
 *    uses the engine for the camera bound to it: describing each frame (on
 *    the thread inside a collecting call: temperatures, geometry) and
 *    decoding it (on the thread of tarvo_frame_get_distance() and
 *    tarvo_frame_get_gray(): current image, switches, integration time).
 *    So while that camera captures or decodes, make no call here from
 *    another thread. A camera decoded on one thread at a time, with the
 *    engine's own calls made on that thread too, is safe.
 *  - Ownership: the engine allocates and frees its own tables and buffers;
 *    a pointer it hands out (the kernels' *image) points into its own
 *    process-wide buffer, which the next call of the same family overwrites.
 *
 * Units: phase units count a full modulation period as 30000; temperatures
 * are 0.1 degC; frequencies kHz; integration times microseconds.
 */
#ifndef TARVO_EPC_H
#define TARVO_EPC_H

#include "tarvo_types.h"

TARVO_BEGIN_DECLS

/** Raw sensor array of the EPC chip: 328 x 252 positions. */
#define EPC_SENSOR_PIXELS 82656
/** Most calibration steps (entries per pixel) a DRNU table holds. */
#define EPC_MAX_DISTANCES 30
/** Number of modulation frequency modes. */
#define EPC_FREQ_MODES 7

/** Distance codes of the kernel: low amplitude, saturated or out of range. */
#define EPC_CODE_LOW_AMPLITUDE 65300
#define EPC_CODE_SATURATED 65500

/** The frame being decoded, as pruSetImage() receives it. */
typedef struct epc_image {
    tarvo_frame_info_t info; /**< copy of the frame's information */
    const uint16_t *data;    /**< the frame's samples; owned by the caller */
} epc_image_t;

/* ------------------------------------------------------------------------
 * Engine state: identity, switches and geometry. Plain stores and loads of
 * the process-wide state; nothing reaches the camera.
 * ---------------------------------------------------------------------- */

/** Sets (non-zero) or clears the external modulation flag. */
TARVO_API void epcSetExtModEnable(int flag);
/** The external modulation flag, 0 or 1. */
TARVO_API int epcgetExtModEnable(void);

/**
 * Loads the engine's fixed parameter set (ambient-light factor 250,
 * temperature coefficients 2.2 and 0.51765 for the epc660, 1.56131 for the
 * epc635, speed of light / 2, DRNU procedure settings) and logs each value at
 * level DBG. Returns 0.
 */
TARVO_API int configLoadParameters(void);

/** Current modulation frequency in kHz. */
TARVO_API int configGetModulationFrequency(void);
/** Current frequency mode (0 to 6; a mode set directly may lie outside). */
TARVO_API int configGetModFreqMode(void);
/** Number of frequency modes: 7. */
TARVO_API int configGetModFreqCount(void);
/** Entry `mode` (0 to 6) of the frequency table in kHz; 0 for another mode. */
TARVO_API int configGetModFreq(int mode);
/** 3D integration time in microseconds. */
TARVO_API int configGetIntegrationTime3D(void);

/**
 * Calculation switches (pi-delay, dual MGX, pseudo-noise): the EPC driver
 * sets them from the frame format at the start of every decode; the
 * engine's own pipeline picks its kernel by them (calculationAmplitudeSorted()
 * and calculationDistanceSorted()); the camera decode's kernel does not
 * read them. The setters store flag != 0 as 1; the getters return 0 or 1.
 */
TARVO_API void calculationEnablePiDelay(int flag);
TARVO_API void calculationEnableDualMGX(int flag);
TARVO_API void calculationEnablePN(int flag);
TARVO_API int calculationIsPiDelay(void);
TARVO_API int calculationIsDualMGX(void);
TARVO_API int calculationIsPN(void);
/** Stores the HDR calculation switch only (configEnableHDR also programs the chip). */
TARVO_API void calculationEnableHDR(int flag);
/** The HDR calculation switch. */
TARVO_API int calculationIsHDR(void);
/** DRNU mode: 0 off, 2 table-based correction. */
TARVO_API int calculationGetEnableDRNU(void);
/** Temperature correction switch. */
TARVO_API int calculationGetEnableTemperature(void);

/** Phase offset (phase units) used by the kernel outside the default-offset rule; the getter
 * returns it. */
TARVO_API void calibrationSetOffsetPhase(int offset);
TARVO_API int calibrationGetOffsetPhase(void);
/** Value that calibrationEnableDefaultOffset() copies into the offset phase; the getter returns it.
 */
TARVO_API void calibrationSetDefaultOffsetPhase(int offset);
TARVO_API int calibrationGetDefaultOffsetPhase(void);
/** 1 when the default offset is enabled (the initial state), else 0. */
TARVO_API int calibrationIsDefaultEnabled(void);

/**
 * Stores the temperatures of the last frame header: p[0] the sensor, p[1]
 * the IB temperature, both 0.1 degC. A null pointer changes nothing.
 */
TARVO_API void temperatureSetTemperatureByFrameHeader(const int16_t *p);
/** Sensor and IB temperatures of the last frame header (0.1 degC); 0 before the first. */
TARVO_API int temperatureGetTemperatureByFrameHeader(void);
TARVO_API int temperatureGetIbTemperatureByFrameHeader(void);

/**
 * Sets the read-out geometry: raw columns and raw rows per half; the image
 * has cols / column reduction columns and rowsPerHalf / row reduction rows
 * per half (integer division). The kernel refuses a geometry larger than the
 * sensor (see calcDefPiDelayGetDataSorted_opt()).
 */
TARVO_API void pruSetSize(int cols, int rowsPerHalf);
/** Stores a copy of *image as the current image; null clears it. */
TARVO_API void pruSetImage(const epc_image_t *image);
/**
 * Copies the current image into *out; returns 1, or 0 (and zeroes *out)
 * when none is set. The camera decode hands its frame over for the length
 * of the decode only and clears it before returning.
 */
TARVO_API int pruGetCurrentImage(epc_image_t *out);
/**
 * Read-out geometry: raw columns, raw rows per half, halves (1 or 2) and
 * the column and row reductions (1 at load). The image has
 * pruGetNCols() / column reduction columns and pruGetNRowsPerHalf() x
 * halves / row reduction rows.
 */
TARVO_API int pruGetNCols(void);
TARVO_API int pruGetNRowsPerHalf(void);
TARVO_API int pruGetNumberOfHalves(void);
TARVO_API int pruGetColReduction(void);
TARVO_API int pruGetRowReduction(void);
/** Stores the minimum amplitude (no threshold change; see apiSetMinAmplitude()); the getter returns
 * it. */
TARVO_API void pruSetMinAmplitude(int amplitude);
TARVO_API int pruGetMinAmplitude(void);

/**
 * Chip identity, read from the camera by epc_adapter_init() (parameter 7)
 * and kept by configInit(): part type (4 and 5 are the epc635, which
 * selects the 160 x 60 geometry and its own coefficients), part version,
 * chip type (setting the part type or version recomputes chip_type =
 * version + 10 x type), IC version, wafer and chip id (16 bits each; they
 * name the DRNU files) and the chip address (32). Plain stores; nothing is
 * sent to the chip.
 */
TARVO_API void configSetPartType(int type);
TARVO_API int configGetPartType(void);
TARVO_API void configSetPartVersion(int version);
TARVO_API int configGetPartVersion(void);
TARVO_API int configGetChipType(void);
TARVO_API void configSetIcVersion(int version);
TARVO_API int configGetIcVersion(void);
TARVO_API void configSetWaferID(int wafer);
TARVO_API int configGetWaferID(void);
TARVO_API void configSetChipID(int chip);
TARVO_API int configGetChipID(void);
TARVO_API void configSetDeviceAddress(int addr);
TARVO_API int configGetDeviceAddress(void);

/** Logs the whole state at level DBG, one line per value. */
TARVO_API void printChipParam(void);

/* ------------------------------------------------------------------------
 * Chip registers. Every call here except the pure state setters blocks on
 * the bound camera's command channel. Register bridge failures are printed
 * on standard output; the setters do not check them.
 * ---------------------------------------------------------------------- */

/**
 * The register bridge. `op` (its low byte) selects: 'r' reads `count` chip
 * registers from `reg` on into data[0..count-1]; 'w' writes them from data;
 * 's' resets the chip (camera reset target 1); 'd' writes the device list
 * {32, 255} into data[0..1] without touching the camera; 'l' does nothing.
 * Transfers always go to the bound camera (register space 1).
 * Returns 0, or -1 for an address of 128 or more, a register of 256 or
 * more, a negative count, a null buffer where one is needed, an unknown op
 * or a failed transfer (each with a line on standard output).
 */
TARVO_API int i2c(int addr, int op, int reg, int count, unsigned char *data);

/**
 * Programs frequency mode `mode` (R133 divider, R128), stores the mode and
 * the frequency from the table (any mode other than 0 to 6 acts as 2 but is
 * stored as given), re-sends the 2D integration time in sensor mode 0 and
 * re-applies the 3D integration time.
 */
TARVO_API void configSetModulationFrequency(int mode, int addr);
/**
 * configSetModulationFrequency() for modes 0 to 6 only, then forgets the
 * background-difference reference and updates the calibration constants for
 * the new frequency (calibrationUpdateFrequency()). Returns 0, or -1 (and
 * does nothing) for another mode.
 */
TARVO_API int apiSetModulationFrequency(int mode, int addr);

/**
 * Sets the 3D integration time (microseconds). In HDR the HDR counts are
 * programmed; in sensor mode 1 the camera's integration-time parameter is
 * set; otherwise only the state changes. Returns 0, or -1 above 4000 (or
 * negative), changing nothing.
 */
TARVO_API int configSetIntegrationTime3D(int t);
/** Sets the second HDR integration time and programs the HDR counts; -1 above 4000. */
TARVO_API int configSetIntegrationTime3DHDR(int t);
/** Programs R158-R163 from the two integration times and the modulation clock. */
TARVO_API void configSetIntegrationTimesHDR(void);

/** Switches read-out HDR on or off (R148, R146, R34/37/40/43); returns flag as 0/1. */
TARVO_API int configEnableHDR(int flag, int addr);
/** Background suppression: bits 4-5 of R34, R37, R40, R43. */
TARVO_API void configEnableABS(int flag, int addr);
/** configEnableABS() and forgets the background-difference reference; returns flag. */
TARVO_API int apiEnableABS(int flag, int addr);
/**
 * Sets the read-out window (columns x0..x1, rows y0..y1 of one half): x0
 * even, x1 odd in 5..327, y0 even, y1 odd in 1..125, at least 6 x 2 pixels
 * (times the reductions). Writes R150-R155 and the geometry. Returns 0, or
 * -1 with a line on standard output for a bad window.
 */
TARVO_API int apiSetROI(int x0, int x1, int y0, int y1, int addr);
/** Minimum amplitude: sets the hysteresis thresholds and clears the hysteresis state. */
TARVO_API void apiSetMinAmplitude(int amplitude);
/** Hysteresis width: sets the thresholds and clears the hysteresis state. */
TARVO_API void apiSetHysteresis(int hysteresis);
/** Same as calibrationEnableDefaultOffset(). */
TARVO_API void apiEnableDefaultOffset(int flag);
/** Stores the ADC-overflow switch (adcOverflowEnable()); apiIsAdcOverflowEnabled() returns it as 0
 * or 1. */
TARVO_API void apiEnableAdcOverflow(int flag);
TARVO_API int apiIsAdcOverflowEnabled(void);
/** DRNU mode (0 or 2): R113-R115, R174 and the offsets. */
TARVO_API void calculationSetEnableDRNU(int mode);
/** Temperature correction switch: R113-R115 and R174. */
TARVO_API void calculationSetEnableTemperature(int flag);
/** Non-zero: the offset phase takes the default offset phase; stores the switch. */
TARVO_API void calibrationEnableDefaultOffset(int flag);
/** Selects the calibration constants of the current frequency and sets the offsets. */
TARVO_API void calibrationUpdateFrequency(void);

/* ------------------------------------------------------------------------
 * DRNU calibration tables. Files live under the library's path prefix.
 * Bank 1 serves frequency mode 2, bank 0 every other mode.
 * ---------------------------------------------------------------------- */

/**
 * Loads the DRNU parameter file of the current bank (16, 20 or 24 bytes;
 * a missing or shorter file gives the defaults 8364, 361, 298.2 mm, 341)
 * into both banks' parameter sets and sets the default offset phase.
 * Returns 0. Reads a file; one thread.
 */
TARVO_API int calibrationLoadDRNU_LUT(void);
/**
 * Loads the DRNU images file of `bank` (0 or 1) into that bank's tables and
 * sets the number of distances. Returns 0, or -1 when the file is missing,
 * short, the bank is unknown or the calibration geometry is larger than the
 * sensor (the bank's tables then stay as they were). Ends the process with
 * status -3 when the 4.96 MB read buffer cannot be allocated.
 */
TARVO_API int calibrationLoadDistanceImages(int bank);
/** 0 when the images file of `bank` can be opened, else -1. */
TARVO_API int calibrationDataFileCheck(int bank);
/**
 * Writes the images (parameter) file name of `bank` into `buf`, which must
 * hold 256 characters ("vexm_ex_images_drnu_W007_C012_10.bin",
 * "vexm_ex_drnu_param_W007_C012_10.bin"; wafer and chip id of the state;
 * the name is relative to the library's path prefix). Returns bank.
 */
TARVO_API int calibrationGetDistanceImagesName(char *buf, int bank);
TARVO_API int calibrationGetParamName(char *buf, int bank);
/** Distance-table entry `index` (pixel x N + step) of the current bank; 0 out of range. */
TARVO_API uint16_t calibrateGetDistImagePixel(int index);
/** Calibration geometry (see calibrateSetWidth()). */
TARVO_API int calibrateGetWidth(void);
TARVO_API int calibrateGetHeight(void);
/**
 * Calibration geometry of the images file (320 x 240 by default). A
 * geometry of more than 328 x 252 pixels makes the images load fail.
 */
TARVO_API void calibrateSetWidth(int width);
TARVO_API void calibrateSetHeight(int height);
/** Returns 0. */
TARVO_API int calibrateGetoffsetPhaseDefaultFPN(void);
/**
 * Settings of the DRNU calibration procedure (delay between steps, allowed
 * temperature drift, frames averaged per step). Stored only: no camera path
 * reads them.
 */
TARVO_API void calibrateSetDRNUCalibrateDelay(int delay);
TARVO_API void calibrateSetDRNUDiffTemp(int diff);
TARVO_API void calibrateSetDRNUAverage(int frames);
/**
 * Constants of the loaded DRNU parameter file: sensor and IB temperature
 * at calibration (0.1 degC) and the calibration step in millimetres (the
 * defaults when no file was loaded).
 */
TARVO_API int calibrateGetTempCalib(void);
TARVO_API int calibrateGetIbTempCalib(void);
TARVO_API double calibrateGetStepCalMM(void);
/** Entries per pixel, clamped to 0..30; the getter returns it (set by the images load). */
TARVO_API void calibrateSetNumDistances(int n);
TARVO_API int calibrateGetNumDistances(void);
/**
 * Temperature coefficients of the sensor and the IB temperature, one slot
 * for the epc660 and one for the epc635 (part types 4 and 5);
 * configLoadParameters() sets them.
 */
TARVO_API double calibrateGetTempCoef(int partType);
TARVO_API void calibrateSetTempCoef(double coef, int partType);
TARVO_API double calibrateGetIbTempCoef(int partType);
TARVO_API void calibrateSetIbTempCoef(double coef, int partType);
/** Speed of light / 2 in the engine's units (configLoadParameters() sets it). */
TARVO_API void calibrateSetSpeedOfLightDiv2(double c2);
TARVO_API double calibrateGetSpeedOfLightDiv2(void);
/** Phase offset of the loaded DRNU parameter file (8364 by default). */
TARVO_API int calibrationGetOffsetDRNU(void);

/* ------------------------------------------------------------------------
 * Distance and amplitude kernel.
 * ---------------------------------------------------------------------- */

/** Builds the 4096-entry arc-tangent table. Returns 0. */
TARVO_API int atan2lut_Init(void);
/** atan2(y, x) mapped to 0..2 pi, in phase units 0..29999 (table based). */
TARVO_API int atan2_lut(int y, int x);
/**
 * Amplitude hysteresis of raw position `pos` for the squared amplitude
 * `a2`: 1 valid, 0 invalid. A position outside the sensor array is invalid.
 */
TARVO_API int hysteresisUpdate(int pos, int a2);
/** Thresholds from minimum amplitude `m` and hysteresis `h`; clears the state. */
TARVO_API void hysteresisSetThresholds(int m, int h);
/** Thresholds from `m` and the stored hysteresis; clears the state. */
TARVO_API void hysteresisUpdateThresholds(int m);

/**
 * One pass over a frame of four DCS planes of `P` samples each (src holds
 * 4 x P little-endian uint16). `mode`: 0 distance in phase units (uint16),
 * 1 amplitude (uint16), 2 distance in metres (float), 3 amplitude (float).
 * dst receives C x R elements of that type, C the columns and R the rows
 * (rows per half x halves) of the read-out geometry, in image order.
 * Distance codes: 65300 (65.3) low amplitude or below the calibrated span,
 * 65500 (65.5) a sample at 0 or 4095 or beyond the calibrated span.
 * Returns P; 0 (nothing written, an ERR line) when the geometry is larger
 * than the sensor array or than P, the mode is unknown, a pointer is null
 * or the modulation frequency is not positive.
 */
TARVO_API int calcDefPiDelayGetDataSorted_opt(int mode, void *dst, const uint16_t *src, int P);
/** calcDefPiDelayGetDataSorted_opt() in mode 2 with P = width x height. */
TARVO_API int _epc_DCSxn_raw2dist(float *dst, const uint16_t *src, int width, int height);

/* ------------------------------------------------------------------------
 * Start-up.
 * ---------------------------------------------------------------------- */

/**
 * Binds the engine to the open camera `dev` and configures it: reads the
 * chip identity (parameter 7), runs configInit(), sets the default offset
 * -6600, background suppression, ADC-overflow check, frequency mode 2 (0
 * with external modulation), minimum amplitude 30, window 4..323 x 6..125
 * and hysteresis 20. Returns non-zero on success; 0 (and unbinds) when the
 * chip identity cannot be read. With dev null it starts the library,
 * opens the first camera itself (which binds it through the EPC driver)
 * and sets a 6144000-byte frame buffer; returns 1 on success, 0 when no
 * camera could be opened. Blocks on the camera; one thread.
 */
TARVO_API int epc_adapter_init(tarvo_dev_t *dev);
/**
 * Unbinds; after a stand-alone start also closes that camera and the
 * library (blocks for the close, up to about 3.5 s). Nothing when unbound.
 */
TARVO_API void epc_adapter_uninit(void);
/** The bound camera, or null. Never blocks. */
TARVO_API tarvo_dev_t *epc_adapter_get_dev(void);
/**
 * Brings the engine into its working state: chip registers, frequency
 * table, geometry, grayscale gain/offset file, DRNU parameter and image
 * files, correction switches, arc-tangent table. Returns 0: register
 * failures are printed by the bridge and not checked; missing DRNU files
 * switch the corrections they feed off (the open logs nothing more). The
 * EPC driver's calibration reload runs it again. Blocks on the camera (a
 * few dozen register transfers) and reads the calibration files.
 */
TARVO_API int configInit(int addr);

/* ------------------------------------------------------------------------
 * The engine's own pipeline: DCS calculator, kernel family, image filters
 * and temporal filtering, for applications that drive the engine directly
 * (the camera decode uses none of it). Process-wide state, no lock: one
 * thread at a time, like the rest of the engine. Nothing here blocks except
 * the image fetch (pruGetImage() and the kernels) when it has to capture a
 * frame from the bound camera (up to a few seconds).
 *
 * Images are row-major arrays of 16-bit values of the current geometry:
 * C = pruGetNCols() columns and R = pruGetNRowsPerHalf() x
 * pruGetNumberOfHalves() rows. Values above 65299 are invalid-pixel codes.
 * ---------------------------------------------------------------------- */

/** Invalid-pixel code of the kernels: a saturated sample (raw 4095). */
#define EPC_CODE_SAT_SAMPLE 65400
/** Largest value that is a measurement; everything above is a code. */
#define EPC_CODE_VALID_MAX 65299

/**
 * Prepares the calculator for a kernel: amplitude divider (1 for two
 * samples per pixel, 2 for four; a value below 1 is taken as 1) and the
 * minimum amplitude copied from the geometry.
 */
TARVO_API void calculatorInit(int divider);
/**
 * Loads a pixel of two samples: masked samples DCS0, DCS1 (DCS2 and DCS3
 * take the ADC-overflow minimum), saturation from the raw samples,
 * arg2 = 2048 - DCS0 and arg1 = 2048 - DCS1 (samples / 16 first for part
 * types 4 and 5). `position` is the pixel's hysteresis position; `tag` is
 * not used by the formulas.
 */
TARVO_API void calculatorSetArgs2DCS(unsigned s0, unsigned s1, int position, int tag);
/** Loads a pixel of four samples: arg1 = DCS3 - DCS1, arg2 = DCS2 - DCS0 (>> 4 for types 4, 5). */
TARVO_API void calculatorSetArgs4DCS(unsigned s0, unsigned s1, unsigned s2, unsigned s3,
                                     int position, int tag);
/** The loaded pixel's two quadrature values. */
TARVO_API int calculatorGetArg1(void);
TARVO_API int calculatorGetArg2(void);
/**
 * Sine amplitude of the loaded pixel: trunc(sqrt(arg1^2 + arg2^2) / divider)
 * as a 16-bit value; -136 when saturated, -36 on ADC overflow.
 */
TARVO_API int calculatorGetAmpSine(void);
/**
 * Sine distance (phase units, low 16 bits) and amplitude (high 16 bits) of
 * the loaded pixel, through the amplitude hysteresis. Codes fill both
 * halves: 65400 saturated, 65500 ADC overflow, 65300 low amplitude.
 */
TARVO_API uint32_t calculatorGetDistAndAmpSine(void);
/** PN amplitude: (|arg1| + |arg2|) / divider; -136 saturated, -36 ADC overflow. */
TARVO_API int calculatorGetAmpPN(void);
/**
 * PN distance trunc(|arg1| / (|arg1| + |arg2|) x 30000 + 0.5) and amplitude
 * as calculatorGetDistAndAmpSine() packs them. When |arg1| + |arg2| is 0
 * the pixel carries no signal and gets the low-amplitude code 65300.
 */
TARVO_API uint32_t calculatorGetDistAndAmpPN(void);
/** Square root of q in single precision: bit-level estimate and one Newton step. */
TARVO_API float sqrt2(int q);
/** AND mask applied to every sample (0x0FFF at load; 0xFFFF for part types 4, 5). */
TARVO_API unsigned calculatorGetPixelMask(void);
TARVO_API void calculatorSetPixelMask(unsigned mask);

/** Saturation flag of the current pixel: set when a raw sample equals 4095, else cleared. */
TARVO_API void saturationSet1DCS(unsigned s0);
TARVO_API void saturationSet2DCS(unsigned s0, unsigned s1);
TARVO_API void saturationSet4DCS(unsigned s0, unsigned s1, unsigned s2, unsigned s3);
/** Saturation check switch (off at load). */
TARVO_API void saturationEnable(int flag);
/** The saturation flag when the check is enabled, else 0. */
TARVO_API int saturationCheck(void);
/** ADC-overflow limits (1 and 4094 at load) and switch (apiEnableAdcOverflow()). */
TARVO_API void adcOverflowSetMin(int value);
TARVO_API void adcOverflowSetMax(int value);
TARVO_API int adcOverflowGetMin(void);
TARVO_API int adcOverflowGetMax(void);
TARVO_API void adcOverflowEnable(int flag);
TARVO_API int adcOverflowIsEnabled(void);
/** 1 when the switch is on and a sample given lies below the minimum or above the maximum. */
TARVO_API int adcOverflowCheck1DCS(unsigned s0);
TARVO_API int adcOverflowCheck2DCS(unsigned s0, unsigned s1);
TARVO_API int adcOverflowCheck4DCS(unsigned s0, unsigned s1, unsigned s2, unsigned s3);

/**
 * Read-out order iterators. Default: pixel k (input index k) of `pixels`
 * goes, with 2 halves, to row R/2 - 1 - r (first C pixels of a raw row) or
 * R/2 + r (next C), else to row R - 1 - r. MGX: walks `samples` skipping
 * every second raw row; rows R/4 - 1 - r and R/4 + r with 2 halves, else
 * R/2 - 1 - r. Next() returns the input index and stores the output index
 * (row x C + column) in *out, or -1 when that row lies outside the image.
 * R is kept as an 8-bit value.
 */
TARVO_API void iteratorDefaultInit(int pixels, int C, int R);
TARVO_API int iteratorDefaultHasNext(void);
TARVO_API int iteratorDefaultNext(int *out);
TARVO_API void iteratorMGXInit(int samples, int C, int R);
TARVO_API int iteratorMGXHasNext(void);
TARVO_API int iteratorMGXNext(int *out);

/**
 * Fetches the image a kernel works on into *image (S = C x R x DCS count
 * samples): the current image (pruSetImage(), which is then cleared), or
 * one frame captured from the bound camera (capture started and stopped
 * here when none runs). A current image shorter than the geometry is
 * copied and padded with zeros; a failed or wrongly sized capture hands out
 * a zeroed buffer (see pruLastImageFailed()). Returns S, or 0 (and leaves
 * *image alone) when image is null or the geometry exceeds the sensor.
 * Blocks while it captures.
 */
TARVO_API int pruGetImage(uint16_t **image);
/** 1 when the last image fetch could not deliver a frame (its image is zeros). */
TARVO_API int pruLastImageFailed(void);

/**
 * The kernel family. `type` 0: distance image; 1: amplitude image; 2:
 * distance image followed by the amplitude image. Each fetches its image
 * (pruGetImage()), points *image at its own process-wide output buffer and
 * returns the number of elements there (pixels, twice that for type 2).
 * After a failed fetch every element is 65500. Returns 0 (with an ERR
 * line, *image untouched) for a null pointer, an unknown type or a
 * geometry larger than the sensor. Def/MGX: sample layout; PiDelay: four
 * samples per pixel; PN: pseudo-noise formulas.
 */
TARVO_API int calcDefNoPiDelayGetDataSorted(int type, uint16_t **image);
TARVO_API int calcDefPiDelayGetDataSorted(int type, uint16_t **image);
TARVO_API int calcMGXNoPiDelayGetDataSorted(int type, uint16_t **image);
TARVO_API int calcMGXPiDelayGetDataSorted(int type, uint16_t **image);
TARVO_API int calcPNDefNoPiDelayGetDataSorted(int type, uint16_t **image);
TARVO_API int calcPNDefPiDelayGetDataSorted(int type, uint16_t **image);
TARVO_API int calcPNMGXNoPiDelayGetDataSorted(int type, uint16_t **image);
TARVO_API int calcPNMGXPiDelayGetDataSorted(int type, uint16_t **image);
/** DCS-sum filter of calcDefPiDelayGetDataSorted() (off at load). */
TARVO_API void calculationEnableDcsSumFilter(int flag);
TARVO_API int calculationIsDcsSumFilter(void);
/** The kernel the pi-delay, dual-MGX and PN switches select, type 1; returns its count. */
TARVO_API int calculationAmplitudeSorted(uint16_t **image);
/**
 * The selected kernel with type 0 (2), then on the distance image: pixel
 * correction, spatial filter, temporal averaging, background difference and
 * temporal filtering. The offset phase is 0 during the kernel when DRNU
 * correction is on and restored afterwards. Returns the kernel's count.
 */
TARVO_API int calculationDistanceSorted(uint16_t **image);
TARVO_API int calculationDistanceAndAmplitudeSorted(uint16_t **image);

/**
 * Loads the defective-pixel list: one pixel per line, column in characters
 * 1-3, row in 5-7, direction (W NW N NE E SE S SW) in 9-10. At most 1024
 * entries; further lines are counted and logged as ignored. A line without
 * digits in both number fields is skipped; an unknown direction is kept as
 * "unknown" and never corrected. Returns the result of closing the file, or
 * 0 when it cannot be opened (the list is then empty). Reads the file.
 */
TARVO_API int imageCorrectionLoad(const char *path);
/** Entries loaded by the last imageCorrectionLoad(). */
TARVO_API int imageCorrectionGetCount(void);
/** Entries imageCorrectionTransform() kept for the current window. */
TARVO_API int imageCorrectionGetTransformedCount(void);
/** Correction switch; returns flag. apiEnableImageCorrection() forwards. */
TARVO_API int imageCorrectionEnable(int flag);
TARVO_API int apiEnableImageCorrection(int flag);
/** Maps the list onto the current read-out window; returns the loaded count. */
TARVO_API int imageCorrectionTransform(void);
/** Replaces every listed pixel with its neighbour, in list order, when enabled. */
TARVO_API void imageCorrect(uint16_t **image);
/**
 * Copies the neighbour of `index` in `direction` (0 W .. 7 SW) into it and
 * returns the value; returns the pixel's value unchanged (65535 when the
 * index is outside the image) for an unknown direction or a neighbour
 * outside the image.
 */
TARVO_API int imageCorrectCopyPixel(int unused, int index, int direction, uint16_t **image);
/**
 * Spatial filter: 0 none, 1 four-neighbour average, 2 eight-neighbour
 * average, 3 (and above) none. Returns the stored mode. The averages keep
 * codes, replace a valid pixel with the rounded mean of the valid values
 * among itself and its neighbours inside the image, and mark it 65300
 * when fewer than half of those neighbours (rounded up) are valid.
 */
TARVO_API int imageSetProcessing(int mode);
TARVO_API int apiSetImageProcessing(int mode);
TARVO_API void imageProcess(uint16_t **image);
TARVO_API void imageAverageFourConnectivity(uint16_t **image);
TARVO_API void imageAverageEightConnectivity(uint16_t **image);
/**
 * Temporal averaging weight n (0 or negative gives 1); returns it (as does
 * the forwarder apiSetImageAveraging()). Averaging (imageAverage(), in
 * place) runs for n >= 2.
 */
TARVO_API int imageSetNumberOfPicture(int n);
TARVO_API int apiSetImageAveraging(int n);
TARVO_API void imageAverage(uint16_t **image);
/** Forgets the background reference. */
TARVO_API void imageDifferenceInit(void);
/** Background-difference threshold (0 off); forgets the reference; returns t.
 * apiSetImageDifferenceThreshold() forwards. */
TARVO_API int imageDifferenceSetThreshold(int t);
TARVO_API int apiSetImageDifferenceThreshold(int t);
/** First image after a reset becomes the reference; later values closer than t to it become 65300.
 */
TARVO_API void imageDifference(uint16_t **image);

/**
 * Temporal filtering of every value up to 29999 by the mode: 0 off, 1
 * fixed gain, 2 Kalman, 3 change-driven gain. Codes pass unchanged.
 */
TARVO_API void calculationFalmanFiltering(uint16_t **image);
/** Fixed-gain smoother of one pixel (0 .. 82655); returns the new estimate. */
TARVO_API double calculationSimpleKalmanFilter(double z, int pixel, double gain);
/** Scalar Kalman step of one pixel with process noise q and measurement variance r. */
TARVO_API double calculationKalmanFilter(double z, int pixel, double q, double r);
/** Error covariance of every pixel to 1.0. */
TARVO_API void calculationInitKalman(void);
/** Mode (0..3); every pixel's sample count restarts. */
TARVO_API void calculationEnableKalman(int mode);
/**
 * Filter constants: K the gain of mode 1 and the largest gain of mode 3,
 * Kdiff the numerator of mode 3's gain Kdiff / |change|, Q the process
 * noise of mode 2. Stored as given.
 */
TARVO_API void calculationSetKalmanK(double k);
TARVO_API void calculationSetKalmanKdiff(double kdiff);
TARVO_API void calculationSetKalmanQ(double q);
/** which 1: smoother threshold; any other: Kalman threshold (phase units). */
TARVO_API void calculationSetKalmanThreshold(int which, int value);
/** Consecutive steady measurements (closer than the smoother threshold) after which the smoother
 * holds a pixel; stored as given. */
TARVO_API void calculationSetKalmanNumCheck(int n);
/** The gain used for the last pixel of modes 1 and 3. */
TARVO_API double calculationGetKalmanGain(void);
/**
 * Forwarders of the calls above; each returns 0. apiSetKalmanThreshold()
 * sets the smoother threshold (which 1), apiSetKalmanThreshold2() the
 * Kalman threshold.
 */
TARVO_API int apiEnableKalman(int mode);
TARVO_API int apiSetKalmanK(double k);
TARVO_API int apiSetKalmanKdiff(double kdiff);
TARVO_API int apiSetKalmanQ(double q);
TARVO_API int apiSetKalmanNumCheck(int n);
TARVO_API int apiSetKalmanThreshold(int value);
TARVO_API int apiSetKalmanThreshold2(int value);

TARVO_END_DECLS

#endif /* TARVO_EPC_H */
