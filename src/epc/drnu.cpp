// DRNU calibration: file names, the parameter file, the distance images
// with their pixel-major table and per-pixel extremes, and the calibration
// accessors.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/byteio.h"
#include "epc/epc_state.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_log.h"

namespace tarvo::epc {

namespace {

constexpr size_t k_table_entries = static_cast<size_t>(k_max_distances) * k_sensor_pixels;

// Defaults of a bank's parameter set when no parameter file is found.
constexpr DrnuParams k_default_params{8364, 361, 298.2, 341};

// Process-wide tables of both banks (about 10.6 MB, zero until loaded).
uint16_t g_table[2][k_table_entries];
uint16_t g_max[2][k_sensor_pixels];
uint16_t g_min[2][k_sensor_pixels];
DrnuParams g_params[2];
// Step-major copies; two entries of padding so that a 32-bit vector gather
// of the very last entry stays inside the array.
uint16_t g_steps[2][k_table_entries + 2];
int g_steps_n[2] = {-1, -1};
int g_steps_pixels[2] = {0, 0};

std::string prefixed(const char *name) {
    const char *prefix = tarvo_path_get();
    return std::string(prefix ? prefix : "") + name;
}

// Size of an open file in bytes, or -1.
long file_size(FILE *f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return -1;
    long size = std::ftell(f);
    if (std::fseek(f, 0, SEEK_SET) != 0) return -1;
    return size;
}

void select_params(int bank) {
    ConfigState &s = state();
    const DrnuParams &p = g_params[bank];
    s.gStepCalMM = p.step_cal_mm;
    s.temp_cal = p.temp_cal;
    s.ib_temp_cal = p.ib_temp_cal;
    s.offsetDRNU = p.offset_drnu;
}

}  // namespace

DrnuBank drnu_bank(int bank) {
    int b = bank == 1 ? 1 : 0;
    return DrnuBank{g_table[b], g_max[b],      g_min[b],          &g_params[b],
                    g_steps[b], &g_steps_n[b], &g_steps_pixels[b]};
}

void drnu_rebuild_steps(int bank, int n, int pixels) {
    const int b = bank == 1 ? 1 : 0;
    n = std::clamp(n, 0, k_max_distances);
    pixels = std::clamp(pixels, 0, k_sensor_pixels);
    const size_t nn = static_cast<size_t>(n);
    for (size_t k = 0; k < nn; ++k) {
        uint16_t *row = g_steps[b] + k * k_sensor_pixels;
        const uint16_t *col = g_table[b] + k;
        for (size_t p = 0; p < static_cast<size_t>(pixels); ++p) row[p] = col[p * nn];
    }
    g_steps_n[b] = n;
    g_steps_pixels[b] = pixels;
}

void drnu_reset() {
    std::memset(g_table, 0, sizeof g_table);
    std::memset(g_max, 0, sizeof g_max);
    std::memset(g_min, 0, sizeof g_min);
    std::memset(g_steps, 0, sizeof g_steps);
    g_steps_n[0] = g_steps_n[1] = -1;
    g_steps_pixels[0] = g_steps_pixels[1] = 0;
    g_params[0] = g_params[1] = DrnuParams{};
}

// Offset that the DRNU path and the default offset use:
// trunc(885000 / maxDistanceCM - offsetDRNU), maxDistanceCM as uint16.
int new_offset_lsb(int offset_drnu) {
    uint16_t cm = max_distance_cm();
    double box = cm ? 885000.0 / cm : 0.0;
    return sat_int(box - offset_drnu);
}

}  // namespace tarvo::epc

using namespace tarvo::epc;

extern "C" {

TARVO_API int calibrationGetDistanceImagesName(char *buf, int bank) {
    if (!buf) return bank;
    const ConfigState &s = state();
    std::snprintf(buf, 256,
                  is_epc635(s.partType) ? "epc635_images_drnu_W%03i_C%03i_%s.bin"
                                        : "vexm_ex_images_drnu_W%03i_C%03i_%s.bin",
                  s.waferID, s.chipID, bank == 1 ? "10" : "20");
    return bank;
}

TARVO_API int calibrationGetParamName(char *buf, int bank) {
    if (!buf) return bank;
    const ConfigState &s = state();
    std::snprintf(buf, 256,
                  is_epc635(s.partType) ? "epc635_drnu_param_W%03i_C%03i_%s.bin"
                                        : "vexm_ex_drnu_param_W%03i_C%03i_%s.bin",
                  s.waferID, s.chipID, bank == 1 ? "10" : "20");
    return bank;
}

TARVO_API int calibrationLoadDRNU_LUT(void) {
    static const char *const fn = "calibrationLoadDRNU_LUT";
    ConfigState &s = state();
    const int bank = current_bank();
    char name[256];
    calibrationGetParamName(name, bank);
    std::string path = prefixed(name);

    DrnuParams p = k_default_params;
    FILE *f = tarvo::platform::open_file(path.c_str(), "rb");
    if (f) {
        long size = file_size(f);
        uint8_t buf[24] = {};
        size_t want = size > 0 ? static_cast<size_t>(size < 24 ? size : 24) : 0;
        size_t got = want ? std::fread(buf, 1, want, f) : 0;
        std::fclose(f);
        // The offset, the temperature and the step are needed: a shorter
        // (or unreadable) file is no calibration, and the defaults stay.
        if (size < 16 || got < 16) {
            TQ_WRN("[%s] %s: %ld bytes, too short; using the defaults\n", fn, path.c_str(), size);
        } else {
            tarvo::ByteReader r(buf, got);
            if (size == 24) {
                int32_t freq = r.i32();
                TQ_DBG("[%s] Clib Freq:%d k\n", fn, freq);
            }
            p.offset_drnu = r.i32();
            p.temp_cal = r.i32();
            uint64_t bits = static_cast<uint64_t>(r.u32());
            bits |= static_cast<uint64_t>(r.u32()) << 32;
            std::memcpy(&p.step_cal_mm, &bits, sizeof bits);
            if (r.remaining() >= 4)
                p.ib_temp_cal = static_cast<int32_t>(static_cast<uint32_t>(r.i32()) + 200u);
            else
                p.ib_temp_cal = static_cast<int32_t>(static_cast<uint32_t>(p.temp_cal) + 100u);
            TQ_DBG("[%s] gOffsetDRNU_Temp0:%d\n", fn, p.offset_drnu);
            TQ_DBG("[%s] gTempCal0:%d\n", fn, p.temp_cal);
            TQ_DBG("[%s] gTempCalIb0:%d\n", fn, p.ib_temp_cal);
            TQ_DBG("[%s] gStepCalMM0:%2.4f\n", fn, p.step_cal_mm);
        }
    }
    g_params[0] = g_params[1] = p;
    select_params(bank);
    s.default_offset_phase = new_offset_lsb(s.offsetDRNU);
    return 0;
}

TARVO_API int calibrationLoadDistanceImages(int bank) {
    static const char *const fn = "calibrationLoadDistanceImages";
    ConfigState &s = state();
    if (bank != 0 && bank != 1) {
        TQ_ERR("[%s] no bank %d\n", fn, bank);
        return -1;
    }
    const long w = s.calib_width, h = s.calib_height;
    if (w <= 0 || h <= 0 || w * h > k_sensor_pixels) {
        TQ_ERR("[%s] calibration size %ldx%ld does not fit the sensor\n", fn, w, h);
        return -1;
    }
    const size_t pixels = static_cast<size_t>(w * h);
    char name[256];
    calibrationGetDistanceImagesName(name, bank);
    std::string path = prefixed(name);

    FILE *f = tarvo::platform::open_file(path.c_str(), "rb");
    long size = f ? file_size(f) : 0;
    int n = size > 0 ? static_cast<int>(
                           std::min<long>(size / static_cast<long>(pixels * 2), k_max_distances))
                     : k_max_distances;
    if (s.modulationFrequency == 36000) n = 20;
    s.num_distances = n;
    if (!f) {
        TQ_DBG("[%s] Can not open %s file\n", fn, path.c_str());
        return -1;
    }
    TQ_DBG("[%s] %s\n", fn, path.c_str());

    // n <= 30 and pixels <= 82656: at most the 4.96 MB of a full table,
    // whatever the file's size.
    const size_t bytes = static_cast<size_t>(n) * pixels * 2;
    std::unique_ptr<uint8_t, decltype(&std::free)> buf(
        static_cast<uint8_t *>(std::malloc(bytes ? bytes : 1)), &std::free);
    if (!buf) {
        std::fclose(f);
        TQ_ERR("[%s] malloc failed\n", fn);
        std::exit(-3);
    }
    size_t got = bytes ? std::fread(buf.get(), 1, bytes, f) : 0;
    std::fclose(f);
    if (got != bytes) {
        TQ_ERR("[%s] Loading failed\n", fn);
        return -1;
    }

    uint16_t *table = g_table[bank];
    uint16_t *mx = g_max[bank];
    uint16_t *mn = g_min[bank];
    const size_t nn = static_cast<size_t>(n);
    for (size_t k = 0; k < nn; ++k) {
        const uint8_t *img = buf.get() + k * pixels * 2;
        for (size_t p = 0; p < pixels; ++p) table[p * nn + k] = tarvo::le16(img + 2 * p);
    }
    for (size_t p = 0; p < pixels; ++p) {
        uint16_t hi = 0, lo = 65535;
        for (size_t k = 0; k < nn; ++k) {
            uint16_t v = table[p * nn + k];
            if (v > hi) hi = v;
            if (v < lo) lo = v;
        }
        mx[p] = hi;
        mn[p] = lo;
    }
    drnu_rebuild_steps(bank, n, static_cast<int>(pixels));
    return 0;
}

TARVO_API int calibrationDataFileCheck(int bank) {
    static const char *const fn = "calibrationDataFileCheck";
    char name[256];
    calibrationGetDistanceImagesName(name, bank);
    std::string path = prefixed(name);
    FILE *f = tarvo::platform::open_file(path.c_str(), "rb");
    if (!f) {
        TQ_DBG("[%s] Can not open %s file\n", fn, path.c_str());
        return -1;
    }
    std::fclose(f);
    TQ_DBG("[%s] Find %s\n", fn, path.c_str());
    return 0;
}

TARVO_API uint16_t calibrateGetDistImagePixel(int index) {
    if (index < 0 || static_cast<size_t>(index) >= k_table_entries) return 0;
    return g_table[current_bank()][index];
}

TARVO_API int calibrateGetWidth(void) {
    return state().calib_width;
}
TARVO_API int calibrateGetHeight(void) {
    return state().calib_height;
}
TARVO_API void calibrateSetWidth(int width) {
    state().calib_width = width;
}
TARVO_API void calibrateSetHeight(int height) {
    state().calib_height = height;
}
TARVO_API int calibrateGetoffsetPhaseDefaultFPN(void) {
    return 0;
}
TARVO_API void calibrateSetDRNUCalibrateDelay(int delay) {
    state().drnuDelay = delay;
}
TARVO_API void calibrateSetDRNUDiffTemp(int diff) {
    state().diffTemp = diff;
}
TARVO_API void calibrateSetDRNUAverage(int frames) {
    state().numAveragedFrames = frames;
}
TARVO_API int calibrateGetTempCalib(void) {
    return state().temp_cal;
}
TARVO_API int calibrateGetIbTempCalib(void) {
    return state().ib_temp_cal;
}
TARVO_API double calibrateGetStepCalMM(void) {
    return state().gStepCalMM;
}
TARVO_API void calibrateSetNumDistances(int n) {
    state().num_distances = n < 0 ? 0 : (n > k_max_distances ? k_max_distances : n);
}
TARVO_API int calibrateGetNumDistances(void) {
    return state().num_distances;
}
TARVO_API double calibrateGetTempCoef(int partType) {
    return state().temp_coef[static_cast<size_t>(coef_slot(partType))];
}
TARVO_API void calibrateSetTempCoef(double coef, int partType) {
    state().temp_coef[static_cast<size_t>(coef_slot(partType))] = coef;
}
TARVO_API double calibrateGetIbTempCoef(int partType) {
    return state().ib_temp_coef[static_cast<size_t>(coef_slot(partType))];
}
TARVO_API void calibrateSetIbTempCoef(double coef, int partType) {
    state().ib_temp_coef[static_cast<size_t>(coef_slot(partType))] = coef;
}
TARVO_API void calibrateSetSpeedOfLightDiv2(double c2) {
    state().speed_of_light_div2 = c2;
}
TARVO_API double calibrateGetSpeedOfLightDiv2(void) {
    return state().speed_of_light_div2;
}
TARVO_API int calibrationGetOffsetDRNU(void) {
    return state().offsetDRNU;
}

}  // extern "C"
