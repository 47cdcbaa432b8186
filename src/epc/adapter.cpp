// Start-up of the EPC engine: binding to an open camera (or opening the
// first camera itself), reading the chip identity, and configInit, which
// brings chip, tables and switches into their working state.
#include <cstdio>

#include "common/byteio.h"
#include "epc/epc_state.h"
#include "log/log.h"
#include "tarvo/tarvo_dev.h"
#include "tarvo/tarvo_log.h"

namespace tarvo::epc {

namespace {

constexpr int R_DEMOD_DELAY = 139;
constexpr int R_DLL = 174;
constexpr int R_SYSCLK_DIV = 129;
constexpr int R_SYSCLK = 130;
constexpr int R_EPC635_TRIM = 203;

// The host adapter start for an open camera.
int bind_and_configure(tarvo_dev_t *dev) {
    ConfigState &s = state();
    s.dev = dev;
    configSetPartType(2);
    tarvo_param_item_t item{};
    item.param_id = TARVO_PARAM_CHIP_INFO;
    if (!tarvo_param_batch_get(dev, &item, 1)) {
        tarvo::epc::say("Get chip info failed\n");
        s.dev = nullptr;
        return 0;
    }
    ByteReader r(item.param_val, sizeof item.param_val);
    const uint16_t version = r.u16();
    configSetPartVersion(version);
    configSetIcVersion(version);
    configSetChipID(r.u16());
    configSetWaferID(r.u16());
    configSetDeviceAddress(k_chip_addr);
    configInit(k_chip_addr);
    calibrationSetDefaultOffsetPhase(-6600);
    apiEnableDefaultOffset(1);
    apiEnableABS(1, k_chip_addr);
    apiEnableAdcOverflow(1);
    apiSetModulationFrequency(s.ext_mod ? 0 : 2, k_chip_addr);
    apiSetMinAmplitude(30);
    apiSetROI(4, 323, 6, 125, k_chip_addr);
    apiSetHysteresis(20);
    return 1;
}

}  // namespace

uint32_t sysclk_khz(uint8_t r129, uint8_t r130) {
    return ((r130 & 0x1Fu) * 4000u + 4000u) >> ((r129 >> 4) & 3u);
}

void build_frequency_table(uint8_t r129, uint8_t r130) {
    ConfigState &s = state();
    const uint32_t clk = sysclk_khz(r129, r130);
    s.modulationFrequencies[0] = 36000;
    for (int i = 1; i < EPC_FREQ_MODES; ++i)
        s.modulationFrequencies[static_cast<size_t>(i)] =
            static_cast<uint16_t>(clk / (4u << (i - 1)));
}

}  // namespace tarvo::epc

using namespace tarvo::epc;

extern "C" {

TARVO_API int configInit(int addr) {
    (void)addr;
    ConfigState &s = state();
    // Demodulation delay, then bypass the delay-locked loop.
    reg_write(R_DEMOD_DELAY, 2);
    reg_write(R_DLL, 1);
    reg_modify(R_DLL, 0, 0x01);

    const bool small = is_epc635(s.partType);
    s.calib_width = small ? 160 : 320;
    s.calib_height = small ? 60 : 240;
    s.gX = 0x10;
    s.gY = 0x39;
    s.gM = 0x34;
    s.gC = 0x8D;
    s.gL = 0;
    s.gZ = -268;
    s.sequencerVersion = 9;
    s.isFLIM = 0;
    s.modulationFrequency = 12000;

    const uint8_t r130 = reg_read(R_SYSCLK);
    const uint8_t r129 = reg_read(R_SYSCLK_DIV);
    build_frequency_table(r129, r130);

    s.num_distances = 30;
    s.halves = small ? 1 : 2;
    pruSetSize(small ? 160 : 320, small ? 60 : 120);
    s.dcs_count = 4;
    pruSetImage(nullptr);

    if (small) {
        s.pixel_mask = 0xFFFF;
        s.adc_min = 16;
        s.adc_max = 65503;
        reg_write(R_EPC635_TRIM, 99);
        s.calib_col_limit = 168 - 8;
        s.calib_row_limit = 72 - 12;
    }

    s.enabledGrayscale = grayscale_load();

    s.enabledDRNU = 1;
    calibrationLoadDRNU_LUT();
    s.enabledAmbientLightCorrection = 0;
    configLoadParameters();

    s.enabledDRNU2 = 1;
    const int bank = s.ext_mod ? 0 : 1;
    if (calibrationLoadDistanceImages(bank) != 0) {
        s.enabledDRNU2 = 0;
        if (bank == 1) s.enabledDRNU = 0;
    }
    // The temporal filter history belongs to the engine's own pipeline
    // (kalman.cpp); the camera path does not use it.
    calculationInitKalman();

    if (s.enabledDRNU2) {
        calculationSetEnableDRNU(2);
        s.enabledTemperatureCorrection = 1;
        calculationSetEnableTemperature(1);
    }
    printChipParam();
    atan2lut_Init();
    return 0;
}

TARVO_API int epc_adapter_init(tarvo_dev_t *dev) {
    ConfigState &s = state();
    if (dev) return bind_and_configure(dev);

    if (s.standalone || s.standalone_closed) epc_adapter_uninit();
    tarvo_init(nullptr);
    tarvo_log_cfg(1, 1, 5);
    tarvo_dev_t *opened = tarvo_dev_open(nullptr);
    if (!opened) {
        tarvo_uninit();
        return 0;
    }
    // The EPC driver binds the engine while the camera opens; a camera
    // whose driver did not is bound here.
    if (s.dev != opened && !bind_and_configure(opened)) {
        tarvo_dev_close(opened);
        tarvo_uninit();
        return 0;
    }
    s.standalone = true;
    tarvo_cap_set_frame_buffer(opened, nullptr, 6144000);
    return 1;
}

TARVO_API void epc_adapter_uninit(void) {
    ConfigState &s = state();
    tarvo_dev_t *dev = s.dev;
    const bool standalone = s.standalone;
    // Unbind first: closing the camera runs the driver's uninit, which
    // calls here again and must find nothing left to do.
    s.dev = nullptr;
    s.standalone = false;
    if (!standalone) {
        // The stand-alone camera was closed with tarvo_dev_close.
        if (s.standalone_closed) {
            s.standalone_closed = false;
            tarvo_uninit();
        }
        return;
    }
    tarvo::epc::say("close dev..\n");
    tarvo_dev_close(dev);
    tarvo_uninit();
    tarvo::epc::say("uninit done..\n");
}

TARVO_API tarvo_dev_t *epc_adapter_get_dev(void) {
    return state().dev;
}

}  // extern "C"

namespace tarvo::epc {

void adapter_release(tarvo_dev_t *dev) {
    ConfigState &s = state();
    if (!dev || s.dev != dev) return;
    s.dev = nullptr;
    if (s.standalone) {
        s.standalone = false;
        s.standalone_closed = true;
    }
}

}  // namespace tarvo::epc
