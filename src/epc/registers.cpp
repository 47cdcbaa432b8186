// The EPC chip's registers: the register bridge to the bound camera and
// the setters of frequency, integration times, HDR, background
// suppression, read-out window, correction switches, amplitude thresholds
// and phase offsets. The bridge prints its failures on standard output;
// the setters carry on with whatever byte a failed read left.
#include <cmath>
#include <cstdio>
#include <vector>

#include "epc/epc_state.h"
#include "log/log.h"
#include "tarvo/tarvo_dev.h"

namespace tarvo::epc {

namespace {

// Register numbers (decimal chip addresses).
constexpr int R_ABS_HDR[4] = {34, 37, 40, 43};  // bits 4-5 ABS, low nibble HDR pattern
constexpr int R_CORR = 113;                     // R113-R115: cleared on a switch change
constexpr int R_MOD_CTRL = 128;
constexpr int R_SYSCLK_DIV = 129;
constexpr int R_SYSCLK = 130;
constexpr int R_MOD_DIV = 133;
constexpr int R_HDR_RO2 = 146;  // bit 3
constexpr int R_HDR_RO1 = 148;  // bit 7
constexpr int R_ROI = 150;      // R150-R155
constexpr int R_HDR_COUNT2 = 158, R_HDR_MULT = 160, R_HDR_COUNT1 = 162;
constexpr int R_DLL = 174;

// Frequency modes: modulation clock divider (R133) and table entry.
struct FreqMode {
    uint8_t divider;
    int entry;
};
constexpr FreqMode k_freq_modes[EPC_FREQ_MODES] = {{0, 0}, {0, 1},  {1, 2}, {3, 3},
                                                   {7, 4}, {15, 5}, {31, 6}};

// Low nibbles of R34, R37, R40, R43 with read-out HDR on and off.
constexpr uint8_t k_hdr_on[4] = {0, 5, 10, 15};
constexpr uint8_t k_hdr_off[4] = {4, 1, 14, 11};

bool set_param_u16(int id, int value) {
    tarvo_param_item_t item{};
    item.param_id = static_cast<uint32_t>(id);
    item.param_val_len = 2;
    item.param_val[0] = static_cast<uint8_t>(value);
    item.param_val[1] = static_cast<uint8_t>(static_cast<unsigned>(value) >> 8);
    return tarvo_param_batch_set(state().dev, &item, 1);
}

void write16(int reg, unsigned value) {
    uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    i2c(k_chip_addr, 'w', reg, 2, b);
}

void clear_correction_registers() {
    uint8_t zero[3] = {0, 0, 0};
    i2c(k_chip_addr, 'w', R_CORR, 3, zero);
    reg_write(R_DLL, state().drnu_mode ? 4 : 1);
}

void update_3d_state(int t) {
    ConfigState &s = state();
    s.integrationTime3D = t;
    s.dcs_add_threshold = dcs_add_threshold_for(t);
}

// configSetIntegrationTime3D from its second step on (no range check).
void apply_integration_time_3d(int t) {
    ConfigState &s = state();
    if (s.hdr) {
        s.integrationTime3D = t;
        configSetIntegrationTimesHDR();
    } else if (s.currentMode == 1) {
        set_param_u16(TARVO_PARAM_INTG_TIME, t);
        update_3d_state(t);
    } else {
        update_3d_state(t);
    }
    s.ambientLightFactor =
        s.integrationTime3D > 0 ? s.ambientLightFactorOrg / std::sqrt(s.integrationTime3D) : 0.0;
}

// Maps the defective-pixel list onto the new window (image_filters.cpp);
// on the camera path the list is empty and this does nothing.
void remap_bad_pixels() {
    imageCorrectionTransform();
}

}  // namespace

uint8_t reg_read(int reg) {
    uint8_t v = 0;
    i2c(k_chip_addr, 'r', reg, 1, &v);
    return v;
}

void reg_write(int reg, uint8_t value) {
    i2c(k_chip_addr, 'w', reg, 1, &value);
}

void reg_modify(int reg, uint8_t clear_mask, uint8_t set_mask) {
    uint8_t v = reg_read(reg);
    reg_write(reg, static_cast<uint8_t>((v & ~clear_mask) | set_mask));
}

}  // namespace tarvo::epc

using namespace tarvo::epc;

extern "C" {

TARVO_API int i2c(int addr, int op, int reg, int count, unsigned char *data) {
    if (addr < 0 || addr >= 128) {
        tarvo::epc::say("Device address is out of range.\n");
        return -1;
    }
    if (reg < 0 || reg >= 256) {
        tarvo::epc::say("Register address is out of range.\n");
        return -1;
    }
    if (count > 257) tarvo::epc::say("rw much data: %d\n", count);
    const int code = op & 0xFF;
    const bool transfer = code == 'r' || code == 'w';
    if (transfer && (count < 0 || (count > 0 && !data))) {
        tarvo::epc::say("bad buffer: %d bytes at %p\n", count, static_cast<void *>(data));
        return -1;
    }
    tarvo_dev_t *dev = state().dev;
    switch (code) {
        case 'r': {
            std::vector<uint32_t> vals(static_cast<size_t>(count));
            if (!tarvo_reg_batch_read(dev, k_reg_space, static_cast<uint32_t>(reg), vals.data(),
                                      static_cast<unsigned>(count))) {
                tarvo::epc::say("reg read faild!\n");
                return -1;
            }
            for (int i = 0; i < count; ++i)
                data[i] = static_cast<uint8_t>(vals[static_cast<size_t>(i)]);
            return 0;
        }
        case 'w': {
            std::vector<uint32_t> vals(static_cast<size_t>(count));
            for (int i = 0; i < count; ++i) vals[static_cast<size_t>(i)] = data[i];
            if (!tarvo_reg_batch_write(dev, k_reg_space, static_cast<uint32_t>(reg), vals.data(),
                                       static_cast<unsigned>(count))) {
                tarvo::epc::say("reg write fail!\n");
                return -1;
            }
            return 0;
        }
        case 's':
            if (!tarvo_dev_reset(dev, 1)) {
                tarvo::epc::say("software reset failed!\n");
                return -1;
            }
            return 0;
        case 'd':
            if (!data) return -1;
            data[0] = 32;
            data[1] = 255;
            return 0;
        case 'l':
            tarvo::epc::say("uncompleted function : %s!\n", "<i2c device reload>");
            return 0;
        default:
            tarvo::epc::say(
                "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' "
                "(software reset) are allowed.\n");
            return -1;
    }
}

TARVO_API void configSetModulationFrequency(int mode, int addr) {
    (void)addr;
    ConfigState &s = state();
    const FreqMode fm = (mode >= 0 && mode < EPC_FREQ_MODES) ? k_freq_modes[mode] : k_freq_modes[2];
    s.currentFreq = mode;
    s.modulationFrequency = s.modulationFrequencies[static_cast<size_t>(fm.entry)];
    reg_write(R_MOD_DIV, fm.divider);
    reg_write(R_MOD_CTRL, mode == 0 ? 127 : 63);
    if (s.integrationTime2D <= 1000000 && s.currentMode == 0)
        set_param_u16(TARVO_PARAM_INTG_TIME, s.integrationTime2D);
    if (s.integrationTime3D > 4000) return;
    apply_integration_time_3d(s.integrationTime3D);
}

TARVO_API int apiSetModulationFrequency(int mode, int addr) {
    if (mode < 0 || mode >= EPC_FREQ_MODES) return -1;
    configSetModulationFrequency(mode, addr);
    state().image_diff_have_ref = false;
    calibrationUpdateFrequency();
    return 0;
}

TARVO_API int configSetIntegrationTime3D(int t) {
    if (static_cast<unsigned>(t) > 4000u) return -1;
    apply_integration_time_3d(t);
    return 0;
}

TARVO_API int configSetIntegrationTime3DHDR(int t) {
    if (static_cast<unsigned>(t) > 4000u) return -1;
    state().integrationTime3DHDR = t;
    configSetIntegrationTimesHDR();
    return 0;
}

TARVO_API void configSetIntegrationTimesHDR(void) {
    const ConfigState &s = state();
    const uint8_t d = reg_read(R_MOD_DIV);
    const uint8_t r130 = reg_read(R_SYSCLK);
    const uint8_t r129 = reg_read(R_SYSCLK_DIV);
    // Modulation clock period in ns and the integration unit in us.
    const double clk_khz = static_cast<double>(sysclk_khz(r129, r130)) / ((d & 0x1F) + 1);
    const double T = 1000000.0 / clk_khz;
    const double U = T * 65536.0 / 1000.0;
    const int t1 = s.integrationTime3D, t2 = s.integrationTime3DHDR;
    const int M = std::max(sat_int(t1 / U + 1), sat_int(t2 / U + 1));
    const int c1 = t1 > 0 && M > 0 ? sat_int(static_cast<double>(t1) / M * 1000.0 / T - 1) : 0;
    const int c2 = t2 > 0 && M > 0 ? sat_int(static_cast<double>(t2) / M * 1000.0 / T - 1) : 0;
    write16(R_HDR_MULT, static_cast<unsigned>(M) & 0xFFFFu);
    write16(R_HDR_COUNT1, static_cast<unsigned>(c1) & 0xFFFFu);
    write16(R_HDR_COUNT2, static_cast<unsigned>(c2) & 0xFFFFu);
}

TARVO_API int configEnableHDR(int flag, int addr) {
    (void)addr;
    const bool on = flag != 0;
    reg_modify(R_HDR_RO1, 0x80, on ? 0x80 : 0);
    for (int i = 0; i < 4; ++i) reg_modify(R_ABS_HDR[i], 0x0F, on ? k_hdr_on[i] : k_hdr_off[i]);
    reg_modify(R_HDR_RO2, 0x08, on ? 0x08 : 0);
    state().hdr = on ? 1 : 0;
    remap_bad_pixels();
    configSetIntegrationTimesHDR();
    state().image_diff_have_ref = false;
    return on ? 1 : 0;
}

TARVO_API void configEnableABS(int flag, int addr) {
    (void)addr;
    for (int r : R_ABS_HDR) reg_modify(r, 0x30, flag ? 0x30 : 0);
    state().absEnabled = flag;
}

TARVO_API int apiEnableABS(int flag, int addr) {
    configEnableABS(flag, addr);
    state().image_diff_have_ref = false;
    return flag;
}

TARVO_API int apiSetROI(int x0, int x1, int y0, int y1, int addr) {
    (void)addr;
    ConfigState &s = state();
    if (x0 < 0 || (x0 & 1) || !(x1 & 1) || x1 < 5 || x1 > 327 || x1 < x0) {
        tarvo::epc::say("bad x coordinates\n");
        return -1;
    }
    if (y0 < 0 || (y0 & 1) || !(y1 & 1) || y1 < 1 || y1 > 125 || y1 < y0) {
        tarvo::epc::say("bad y coordinates\n");
        return -1;
    }
    const int min_w = 6 * s.col_reduction, min_h = 2 * s.row_reduction;
    if (x1 - x0 + 1 < min_w || y1 - y0 + 1 < min_h) {
        tarvo::epc::say("size too small: min size = %i x %i\n", min_w, min_h);
        return -1;
    }
    uint8_t b[6] = {static_cast<uint8_t>(x0 >> 8), static_cast<uint8_t>(x0),
                    static_cast<uint8_t>(x1 >> 8), static_cast<uint8_t>(x1),
                    static_cast<uint8_t>(y0),      static_cast<uint8_t>(y1)};
    i2c(k_chip_addr, 'w', R_ROI, 6, b);
    s.roi_x0 = static_cast<uint16_t>(x0);
    s.roi_x1 = static_cast<uint16_t>(x1);
    s.roi_y0 = static_cast<uint8_t>(y0);
    s.roi_y1 = static_cast<uint8_t>(y1);
    pruSetSize(x1 - x0 + 1, y1 - y0 + 1);
    remap_bad_pixels();
    s.image_diff_have_ref = false;
    return 0;
}

TARVO_API void apiSetMinAmplitude(int amplitude) {
    state().min_amplitude = amplitude;
    hysteresisSetThresholds(amplitude, state().hysteresis);
}

TARVO_API void apiSetHysteresis(int hysteresis) {
    hysteresisSetThresholds(state().min_amplitude, hysteresis);
}

TARVO_API void calibrationEnableDefaultOffset(int flag) {
    ConfigState &s = state();
    if (flag) s.offset_phase = s.default_offset_phase;
    s.default_offset_enabled = flag != 0 ? 1 : 0;
}

TARVO_API void apiEnableDefaultOffset(int flag) {
    calibrationEnableDefaultOffset(flag);
}
TARVO_API void apiEnableAdcOverflow(int flag) {
    state().adc_overflow_enabled = flag;
}
TARVO_API int apiIsAdcOverflowEnabled(void) {
    return state().adc_overflow_enabled;
}

TARVO_API void calculationSetEnableDRNU(int mode) {
    ConfigState &s = state();
    s.drnu_mode = mode;
    clear_correction_registers();
    if (mode == 0) {
        s.default_offset_phase = 0;
        return;
    }
    const int lsb = new_offset_lsb(s.offsetDRNU);
    s.default_offset_phase = lsb;
    s.offset_phase = lsb;
}

TARVO_API void calculationSetEnableTemperature(int flag) {
    state().temperature_correction = flag;
    clear_correction_registers();
}

TARVO_API void calibrationUpdateFrequency(void) {
    ConfigState &s = state();
    if (s.drnu_mode == 0) return;
    const DrnuParams &p = *drnu_bank(current_bank()).params;
    s.gStepCalMM = p.step_cal_mm;
    s.temp_cal = p.temp_cal;
    s.ib_temp_cal = p.ib_temp_cal;
    s.offsetDRNU = p.offset_drnu;
    const uint16_t cm = max_distance_cm();
    const double box = cm ? 885000.0 / cm : 0.0;
    const int lsb = new_offset_lsb(s.offsetDRNU);
    if (s.gPrint >= 1) {
        tarvo::epc::say(
            "offsetDRNU= %d  maxDistanceCM= %d  boxLSB= %2.4f newOffsetLSB= %d "
            "gStepCalMM = %2.4f\n",
            s.offsetDRNU, cm, box, lsb, s.gStepCalMM);
    }
    s.offset_phase = lsb;
    s.default_offset_phase = lsb;
}

}  // extern "C"
