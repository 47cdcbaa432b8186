// Fuzz target of the EPC driver's parsers of camera and file input:
//   byte 0 even: the rest is a stored calibration image as the camera sends
//                it (17-byte header, ZIP payload); it is written as
//                "fz/calibration.bin" and unpacked as at open: header,
//                payload copy, ZIP extraction into the prefix "fz/",
//                package split into the two DRNU files.
//   byte 0 odd:  the rest is a "lens_param.txt", parsed into a lens record,
//                which the driver's lens scaling then uses.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "drv/epc/epc_drv.h"
#include "tarvo/tarvo.h"

namespace {

namespace de = tarvo::drv::epc;

void write(const char *name, const uint8_t *p, size_t n) {
    FILE *f = std::fopen(name, "wb");
    if (!f) return;
    if (n) std::fwrite(p, 1, n, f);
    std::fclose(f);
}

// Every file of an input lands under the path prefix "fz/", which is
// emptied again afterwards (archives may hold any entries).
void cleanup() {
    std::error_code ec;
    std::filesystem::remove_all("fz", ec);
    std::filesystem::create_directory("fz", ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        tq_log_disable();
        tarvo_path_cfg("fz/");
        return true;
    }();
    (void)once;
    if (size < 1) return 0;
    const uint8_t *body = data + 1;
    const size_t n = size - 1;
    if (data[0] % 2 == 0) {
        static de::epc_drv_state_t st{};
        std::strcpy(st.param_name[1], "fz_param.bin");
        std::strcpy(st.images_name[1], "fz_images.bin");
        tarvo_drv_t row{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, &st};
        de::CalibHeader h;
        de::parse_calib_header(body, n, h);
        write("fz/calibration.bin", body, n);
        de::_calib_pk_parse(&row);
        cleanup();
    } else {
        tq_lens_param_t rec{};
        de::parse_lens_text(reinterpret_cast<const char *>(body), n, rec);
        de::lens_record() = rec;
        tq_lens_param_t out{};
        tarvo_drv_t row{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr};
        g_tarvo_driver_op_epc.lens_param_get(&row, &out, 320, 240);
        g_tarvo_driver_op_epc.lens_param_get(&row, &out, rec.img_w, rec.img_h);
        de::lens_record_reset();
    }
    return 0;
}
