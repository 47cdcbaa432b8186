// Fuzz target of the DRNU file loaders and the table correction that reads
// what they load. An input is a small header, a parameter file and an
// images file:
//   byte 0      switches: bit 0 temperature correction, bit 1 default offset,
//               bit 2 external modulation (bank 0), bit 3 oversized geometry
//   byte 1, 2   calibration width and height (1..32)
//   byte 3      frequency mode (mod 7)
//   byte 4      parameter file length (mod 40)
//   then        the parameter file, then the images file (the rest)
// Both files are written to the working directory, loaded, and a frame of
// the calibration's size is converted in every distance mode.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "epc/epc_state.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_log.h"

namespace {

void write(const char *name, const uint8_t *p, size_t n) {
    FILE *f = std::fopen(name, "wb");
    if (!f) return;
    if (n) std::fwrite(p, 1, n, f);
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        tq_log_disable();
        return true;
    }();
    (void)once;
    if (size < 5) return 0;
    auto &s = tarvo::epc::state();
    s = tarvo::epc::ConfigState{};
    tarvo::epc::build_frequency_table(0x00, 0x17);
    const uint8_t sw = data[0];
    int w = 1 + data[1] % 32, h = 1 + data[2] % 32;
    if (sw & 8) {
        w = 329;
        h = 252;
    }
    const int mode = data[3] % 7;
    const size_t plen = std::min<size_t>(data[4] % 40, size - 5);
    const uint8_t *param = data + 5;
    const uint8_t *images = param + plen;
    const size_t ilen = size - 5 - plen;

    s.currentFreq = mode;
    s.modulationFrequency = s.modulationFrequencies[static_cast<size_t>(mode)];
    epcSetExtModEnable(sw & 4);
    const int bank = (sw & 4) ? 0 : 1;
    char name[256];
    calibrationGetParamName(name, mode == 2 ? 1 : 0);
    write(name, param, plen);
    calibrationGetDistanceImagesName(name, bank);
    write(name, images, ilen);

    calibrateSetWidth(w);
    calibrateSetHeight(h);
    calibrationLoadDRNU_LUT();
    configLoadParameters();
    const int loaded = calibrationLoadDistanceImages(bank);
    (void)calibrationDataFileCheck(bank);

    // Convert a frame of the calibration's size (the images bytes again as
    // samples) with the tables just loaded.
    if (loaded == 0 && w * h <= 32 * 32) {
        s.halves = 1;
        pruSetSize(w, h);
        s.drnu_mode = 2;
        s.temperature_correction = sw & 1;
        s.default_offset_enabled = (sw & 2) ? 1 : 0;
        int16_t temps[2] = {static_cast<int16_t>(data[1] * 7 - 500),
                            static_cast<int16_t>(data[2] * 5 - 300)};
        temperatureSetTemperatureByFrameHeader(temps);
        const size_t P = static_cast<size_t>(w) * h;
        std::vector<uint16_t> frame(4 * P);
        for (size_t i = 0; i < frame.size(); ++i)
            frame[i] = ilen ? static_cast<uint16_t>(images[i % ilen] * 16 + (i & 15)) : 2048;
        std::vector<float> out(P);
        for (int m = 0; m < 4; ++m) {
            tarvo::epc::kernel_force_portable(m & 1);
            calcDefPiDelayGetDataSorted_opt(m, out.data(), frame.data(), static_cast<int>(P));
        }
        tarvo::epc::kernel_force_portable(false);
    }
    return 0;
}
