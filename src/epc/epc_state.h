// The EPC engine's process-wide state and the internal helpers its parts
// share. One instance, reached through tarvo::epc::state(); no lock (one
// camera and one decoding thread at a time).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "tarvo/tarvo_epc.h"

namespace tarvo::epc {

// The engine's messages to standard output (its register bridge and its
// own pipeline print there, not to the log): printf-formatted, flushed at
// once.
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

constexpr int k_sensor_cols = 328;
constexpr int k_sensor_rows = 252;
constexpr int k_sensor_pixels = EPC_SENSOR_PIXELS;
constexpr int k_max_distances = EPC_MAX_DISTANCES;
constexpr int k_chip_addr = 32;
constexpr int k_reg_space = 1;  // register target of the EPC chip on the camera

// Calibration constants of one bank.
struct DrnuParams {
    int32_t offset_drnu = 0;
    int32_t temp_cal = 0;
    double step_cal_mm = 0.0;
    int32_t ib_temp_cal = 0;
};

struct ConfigState {
    // Binding and identity.
    tarvo_dev_t *dev = nullptr;
    bool standalone = false;  // the adapter opened dev itself
    // A stand-alone start whose camera was closed with tarvo_dev_close: its
    // tarvo_init is still to be ended by epc_adapter_uninit.
    bool standalone_closed = false;
    int devAddress = 0;
    int partType = 0;
    int partVersion = 0;
    int icType = 0;
    int chip_type = 0;
    uint16_t waferID = 0;
    uint16_t chipID = 0;
    int sequencerVersion = 0;
    bool ext_mod = false;

    // Modulation and integration.
    int currentFreq = 2;
    int modulationFrequency = 12000;
    std::array<uint16_t, EPC_FREQ_MODES> modulationFrequencies{};
    int currentMode = 0;
    int integrationTime2D = 700;
    int integrationTime3D = 700;
    int integrationTime3DHDR = 700;
    int nDCSTOF = 4;
    int absEnabled = 1;
    int isFLIM = 0;
    int dcs_add_threshold = 8000;
    double ambientLightFactor = 0.0;
    double ambientLightFactorOrg = 0.0;

    // Read-out window and geometry.
    uint16_t roi_x0 = 4, roi_x1 = 323;
    uint8_t roi_y0 = 6, roi_y1 = 125;
    int raw_cols = 320, raw_rows_per_half = 120;
    int cols = 320;
    int rows_per_half = 120;
    int halves = 2;
    int col_reduction = 1, row_reduction = 1;
    int dcs_count = 4;
    bool have_image = false;
    epc_image_t image{};
    int calib_width = 320, calib_height = 240;
    int num_distances = 30;
    int calib_col_limit = 0, calib_row_limit = 0;

    // Distance calculation switches and constants.
    int pi_delay = 0, dual_mgx = 0, pn = 0, hdr = 0;
    int drnu_mode = 0;
    int temperature_correction = 0;
    int min_amplitude = 0;
    int hysteresis = 0;
    int hyst_upper = 0, hyst_lower = 0;
    std::array<uint8_t, k_sensor_pixels> hyst_state{};
    int offset_phase = 0;
    int default_offset_phase = 0;
    int default_offset_enabled = 1;
    int offsetDRNU = 0;
    int temp_cal = 0, ib_temp_cal = 0;
    double gStepCalMM = 0.0;
    double speed_of_light_div2 = 149896229.0;
    // Slot 0: epc660 and every other part; slot 1: part types 4 and 5 (epc635).
    std::array<double, 2> temp_coef{1.7, 1.56131};
    std::array<double, 2> ib_temp_coef{1.29, 1.56131};
    uint16_t adc_min = 1, adc_max = 4094;
    int adc_overflow_enabled = 0;
    uint16_t pixel_mask = 0x0FFF;
    int16_t sensor_temp = 0, ib_temp = 0;

    // Printed-only switches and settings.
    int enabledDRNU = 0, enabledDRNU2 = 0, enabledGrayscale = 0;
    int enabledTemperatureCorrection = 0, enabledAmbientLightCorrection = 0;
    int correctionBGMode = 0;
    int gPrint = 0;
    uint8_t gX = 0, gY = 0, gM = 0, gC = 0;
    int gL = 0, gZ = -268;
    int diffTemp = 0, drnuDelay = 0, numAveragedFrames = 0;

    // Background-difference reference of the image filters: forgotten by
    // the ROI, ABS, HDR and frequency setters.
    bool image_diff_have_ref = false;
};

ConfigState &state();

// Back to the values the library starts with (tests, and nothing else;
// the DRNU tables and the arc-tangent table are reset as well).
void reset_state();

// Slot of the temperature coefficients for a part type.
inline int coef_slot(int part_type) {
    return (part_type == 4 || part_type == 5) ? 1 : 0;
}
inline bool is_epc635(int part_type) {
    return part_type == 4 || part_type == 5;
}

// Bank of the DRNU tables that the current frequency mode uses.
inline int current_bank() {
    return state().currentFreq == 2 ? 1 : 0;
}

// DCS add threshold for an integration time.
int dcs_add_threshold_for(int integration_time_3d);

// maxDistanceCM of the offset rules: trunc(c2 / (f x 10)) as uint16.
uint16_t max_distance_cm();

// newOffsetLSB: trunc(885000 / maxDistanceCM - offsetDRNU).
int new_offset_lsb(int offset_drnu);

// A double converted to int, saturating at the int range (NaN gives 0), so
// that values from files or setters can never make a conversion undefined.
inline int sat_int(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(v);
}

// --- DRNU tables (drnu.cpp) ---
// The kernel reads entry (pixel p, step k) of the table as steps[k x
// k_sensor_pixels + p] when `steps_n` equals the number of distances in
// force and the image has at most `steps_pixels` pixels: the same values as the pixel-major table,
// laid out step by step so that neighbouring pixels, which mostly sit in the same segment, read
// neighbouring entries (a few cache lines per row instead of one per pixel).
struct DrnuBank {
    uint16_t *table;  // k_max_distances x k_sensor_pixels, pixel-major
    uint16_t *max;    // k_sensor_pixels
    uint16_t *min;    // k_sensor_pixels
    DrnuParams *params;
    uint16_t *steps;    // k_max_distances x k_sensor_pixels (+2 padding), step-major
    int *steps_n;       // N the step-major copy was made for; -1 none
    int *steps_pixels;  // pixels it covers (from 0)
};
DrnuBank drnu_bank(int bank);
void drnu_reset();
// Rebuilds the step-major copy of a bank from its pixel-major table for N
// entries per pixel and the first `pixels` pixels (after a load, or after
// a test or benchmark filled the table itself).
void drnu_rebuild_steps(int bank, int n, int pixels = k_sensor_pixels);

// --- Kernel (kernel.cpp) ---
// The arc-tangent table (4096 entries).
const uint16_t *atan2_table();
void kernel_reset();
// The kernel paths, slowest first. The kernel takes the widest one the
// processor has, up to the limit set here (tests and benchmarks compare
// them; every path gives the same bits).
// avx512_gather is the AVX-512 path with the arc-tangent table gathered
// rather than computed.
enum class KernelPath { portable, avx2, avx512_gather, avx512 };
void kernel_limit_path(KernelPath widest);
// kernel_limit_path(portable) when on, no limit when off.
void kernel_force_portable(bool on);
bool kernel_vector_available();  // AVX2
bool kernel_avx512_available();
// The AVX-512 path computes the arc-tangent table values instead of
// gathering them, once its cubics have matched all 4096 entries.
bool kernel_avx512_cubic_atan();

// --- Registers (registers.cpp) ---
// One-byte register helpers on top of the bridge.
uint8_t reg_read(int reg);
void reg_write(int reg, uint8_t value);
void reg_modify(int reg, uint8_t clear_mask, uint8_t set_mask);

// --- Grayscale gain/offset file (grayscale.cpp) ---
int grayscale_load();
const std::vector<double> &grayscale_gain();
const std::vector<double> &grayscale_offset();

// --- Start-up (adapter.cpp) ---
// The driver's end of a camera: unbinds the engine when it is bound to
// `dev`. Never closes the camera nor ends the library, since it runs in
// the middle of that camera's close.
void adapter_release(tarvo_dev_t *dev);
void build_frequency_table(uint8_t r129, uint8_t r130);
uint32_t sysclk_khz(uint8_t r129, uint8_t r130);

}  // namespace tarvo::epc
