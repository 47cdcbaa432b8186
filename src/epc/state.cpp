// The EPC engine's process-wide state: initial values, the plain accessors
// of identity, switches and geometry, the fixed parameter load and the
// state dump.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "epc/epc_state.h"
#include "log/log.h"

namespace tarvo::epc {

void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
}

}  // namespace tarvo::epc

namespace tarvo::epc {

namespace {
ConfigState g_state;
}  // namespace

ConfigState &state() {
    return g_state;
}

void reset_state() {
    g_state.~ConfigState();
    new (&g_state) ConfigState();
    drnu_reset();
    kernel_reset();
}

int dcs_add_threshold_for(int t) {
    if (t <= 150) return 80;
    return static_cast<int>(80 + (t - 150) * 0.10811);
}

uint16_t max_distance_cm() {
    const ConfigState &s = g_state;
    if (s.modulationFrequency == 0) return 0;
    double v = s.speed_of_light_div2 / (static_cast<double>(s.modulationFrequency) * 10.0);
    // Taken as a 16-bit unsigned value; only in-range values are converted
    // so that an absurd frequency cannot make the conversion undefined.
    if (!(v >= 0.0 && v < 4294967296.0)) return 0;
    return static_cast<uint16_t>(static_cast<uint32_t>(v));
}

}  // namespace tarvo::epc

using tarvo::epc::state;

extern "C" {

TARVO_API void epcSetExtModEnable(int flag) {
    state().ext_mod = flag != 0;
}
TARVO_API int epcgetExtModEnable(void) {
    return state().ext_mod ? 1 : 0;
}

TARVO_API int configLoadParameters(void) {
    static const char *const fn = "configLoadParameters";
    auto &s = state();
    s.ambientLightFactorOrg = 250.0;
    TQ_DBG("[%s] ambientLightFactor = %2.4f\n", fn, s.ambientLightFactorOrg);
    s.gPrint = 0;
    TQ_DBG("[%s] print = %d\n", fn, s.gPrint);
    s.diffTemp = 7;
    TQ_DBG("[%s] diffTemp = %d\n", fn, s.diffTemp);
    s.drnuDelay = 5000;
    TQ_DBG("[%s] drnuDelay = %d\n", fn, s.drnuDelay);
    s.numAveragedFrames = 25;
    TQ_DBG("[%s] numAveragedFrames = %d\n", fn, s.numAveragedFrames);
    s.temp_coef[1] = 1.56131;
    TQ_DBG("[%s] epc635_TemperatureCoeff = %2.6f\n", fn, s.temp_coef[1]);
    s.temp_coef[0] = 2.2;
    TQ_DBG("[%s] epc660_TemperatureCoeff = %2.6f\n", fn, s.temp_coef[0]);
    s.speed_of_light_div2 = 149896229.0;
    TQ_DBG("[%s] speed of light div 2 = %2.2f\n", fn, s.speed_of_light_div2);
    s.ib_temp_coef[0] = 0.51765;
    TQ_DBG("[%s] epc660_IbTemperatureCoeff = %2.6f\n", fn, s.ib_temp_coef[0]);
    s.ambientLightFactor =
        s.integrationTime3D > 0 ? s.ambientLightFactorOrg / std::sqrt(s.integrationTime3D) : 0.0;
    return 0;
}

TARVO_API int configGetModulationFrequency(void) {
    return state().modulationFrequency;
}
TARVO_API int configGetModFreqMode(void) {
    return state().currentFreq;
}
TARVO_API int configGetModFreqCount(void) {
    return EPC_FREQ_MODES;
}
TARVO_API int configGetModFreq(int mode) {
    if (mode < 0 || mode >= EPC_FREQ_MODES) return 0;
    return state().modulationFrequencies[static_cast<size_t>(mode)];
}
TARVO_API int configGetIntegrationTime3D(void) {
    return state().integrationTime3D;
}

TARVO_API void calculationEnablePiDelay(int flag) {
    state().pi_delay = flag;
}
TARVO_API void calculationEnableDualMGX(int flag) {
    state().dual_mgx = flag;
}
TARVO_API void calculationEnablePN(int flag) {
    state().pn = flag;
}
TARVO_API int calculationIsPiDelay(void) {
    return state().pi_delay;
}
TARVO_API int calculationIsDualMGX(void) {
    return state().dual_mgx;
}
TARVO_API int calculationIsPN(void) {
    return state().pn;
}
TARVO_API void calculationEnableHDR(int flag) {
    state().hdr = flag;
}
TARVO_API int calculationIsHDR(void) {
    return state().hdr;
}
TARVO_API int calculationGetEnableDRNU(void) {
    return state().drnu_mode;
}
TARVO_API int calculationGetEnableTemperature(void) {
    return state().temperature_correction;
}

TARVO_API void calibrationSetOffsetPhase(int offset) {
    state().offset_phase = offset;
}
TARVO_API int calibrationGetOffsetPhase(void) {
    return state().offset_phase;
}
TARVO_API void calibrationSetDefaultOffsetPhase(int offset) {
    state().default_offset_phase = offset;
}
TARVO_API int calibrationGetDefaultOffsetPhase(void) {
    return state().default_offset_phase;
}
TARVO_API int calibrationIsDefaultEnabled(void) {
    return state().default_offset_enabled;
}

TARVO_API void temperatureSetTemperatureByFrameHeader(const int16_t *p) {
    if (!p) return;
    state().sensor_temp = p[0];
    state().ib_temp = p[1];
}
TARVO_API int temperatureGetTemperatureByFrameHeader(void) {
    return state().sensor_temp;
}
TARVO_API int temperatureGetIbTemperatureByFrameHeader(void) {
    return state().ib_temp;
}

TARVO_API void pruSetSize(int cols, int rowsPerHalf) {
    auto &s = state();
    s.raw_cols = cols;
    s.raw_rows_per_half = rowsPerHalf;
    s.cols = s.col_reduction ? cols / s.col_reduction : cols;
    s.rows_per_half = s.row_reduction ? rowsPerHalf / s.row_reduction : rowsPerHalf;
}

TARVO_API void pruSetImage(const epc_image_t *image) {
    auto &s = state();
    if (image) {
        s.image = *image;
        s.have_image = true;
    } else {
        s.image = epc_image_t{};
        s.have_image = false;
    }
}

TARVO_API int pruGetCurrentImage(epc_image_t *out) {
    if (!out) return 0;
    *out = state().image;
    return state().have_image ? 1 : 0;
}

TARVO_API int pruGetNCols(void) {
    return state().cols;
}
TARVO_API int pruGetNRowsPerHalf(void) {
    return state().rows_per_half;
}
TARVO_API int pruGetNumberOfHalves(void) {
    return state().halves;
}
TARVO_API int pruGetColReduction(void) {
    return state().col_reduction;
}
TARVO_API int pruGetRowReduction(void) {
    return state().row_reduction;
}
TARVO_API void pruSetMinAmplitude(int amplitude) {
    state().min_amplitude = amplitude;
}
TARVO_API int pruGetMinAmplitude(void) {
    return state().min_amplitude;
}

TARVO_API void configSetPartType(int type) {
    auto &s = state();
    s.partType = type;
    s.chip_type = s.partVersion + 10 * s.partType;
}
TARVO_API int configGetPartType(void) {
    return state().partType;
}
TARVO_API void configSetPartVersion(int version) {
    auto &s = state();
    s.partVersion = version;
    s.chip_type = s.partVersion + 10 * s.partType;
}
TARVO_API int configGetPartVersion(void) {
    return state().partVersion;
}
TARVO_API int configGetChipType(void) {
    return state().chip_type;
}
TARVO_API void configSetIcVersion(int version) {
    state().icType = version;
}
TARVO_API int configGetIcVersion(void) {
    return state().icType;
}
TARVO_API void configSetWaferID(int wafer) {
    state().waferID = static_cast<uint16_t>(wafer);
}
TARVO_API int configGetWaferID(void) {
    return state().waferID;
}
TARVO_API void configSetChipID(int chip) {
    state().chipID = static_cast<uint16_t>(chip);
}
TARVO_API int configGetChipID(void) {
    return state().chipID;
}
TARVO_API void configSetDeviceAddress(int addr) {
    state().devAddress = addr;
}
TARVO_API int configGetDeviceAddress(void) {
    return state().devAddress;
}

TARVO_API void printChipParam(void) {
    static const char *const fn = "printChipParam";
    const auto &s = state();
    TQ_DBG("[%s] *** device type and IDs: \n", fn);
    TQ_DBG("[%s] chip_type: %d \n", fn, s.chip_type);
    TQ_DBG("[%s] icType: %d \n", fn, s.icType);
    TQ_DBG("[%s] partVersion: %d \n", fn, s.partVersion);
    TQ_DBG("[%s] waferID: %d \n", fn, s.waferID);
    TQ_DBG("[%s] chipID: %d \n", fn, s.chipID);
    TQ_DBG("[%s] sequencerVersion: %d \n", fn, s.sequencerVersion);
    TQ_DBG("[%s] devAddress: 0x%x \n", fn, static_cast<unsigned>(s.devAddress));
    TQ_DBG("[%s] currentMode: %d \n", fn, s.currentMode);
    TQ_DBG("[%s] currentFreq: %d \n", fn, s.currentFreq);
    TQ_DBG("[%s] modulationFrequency: %d \n", fn, s.modulationFrequency);
    for (int i = 0; i < EPC_FREQ_MODES; ++i)
        TQ_DBG("[%s] modulationFrequencies[%d]: %d \n", fn, i,
               s.modulationFrequencies[static_cast<size_t>(i)]);
    TQ_DBG("[%s] *** runtime settings: \n", fn);
    TQ_DBG("[%s] integrationTime2D: %d \n", fn, s.integrationTime2D);
    TQ_DBG("[%s] integrationTime3D: %d \n", fn, s.integrationTime3D);
    TQ_DBG("[%s] integrationTime3DHDR: %d \n", fn, s.integrationTime3DHDR);
    TQ_DBG("[%s] nDCSTOF: %d \n", fn, s.nDCSTOF);
    TQ_DBG("[%s] absEnabled: %d \n", fn, s.absEnabled);
    TQ_DBG("[%s] isFLIM: %d \n", fn, s.isFLIM);
    TQ_DBG("[%s] *** calibration/correction settings: \n", fn);
    TQ_DBG("[%s] correctionBGMode: %d \n", fn, s.correctionBGMode);
    TQ_DBG("[%s] enabledDRNU: %d \n", fn, s.enabledDRNU);
    TQ_DBG("[%s] enabledDRNU2: %d \n", fn, s.enabledDRNU2);
    TQ_DBG("[%s] enabledGrayscale: %d \n", fn, s.enabledGrayscale);
    TQ_DBG("[%s] enabledTemperatureCorrection: %d \n", fn, s.enabledTemperatureCorrection);
    TQ_DBG("[%s] enabledAmbientLightCorrection: %d \n", fn, s.enabledAmbientLightCorrection);
    TQ_DBG("[%s] *** Print level: \n", fn);
    TQ_DBG("[%s] gPrint: %d \n", fn, s.gPrint);
    TQ_DBG("[%s] *** trimming values for temperature readout level: \n", fn);
    TQ_DBG("[%s] gX: 0x%x \n", fn, static_cast<unsigned>(s.gX));
    TQ_DBG("[%s] gY: 0x%x \n", fn, static_cast<unsigned>(s.gY));
    TQ_DBG("[%s] gM: %d \n", fn, s.gM);
    TQ_DBG("[%s] gC: %d \n", fn, s.gC);
    TQ_DBG("[%s] gL: %d \n", fn, s.gL);
    TQ_DBG("[%s] gZ: %d \n", fn, s.gZ);
}

}  // extern "C"
