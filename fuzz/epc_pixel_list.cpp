// Fuzzes the defective-pixel list: arbitrary file contents are loaded,
// mapped onto a read-out window and applied to an image. The first input
// bytes choose the window and the geometry; the rest is the file. Checks
// the list limit, that every mapped pixel lies in the window, and that the
// correction writes nothing beyond the image (guard values after it).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "epc/epc_state.h"
#include "epc/pipeline.h"
#include "fuzz_check.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_log.h"

using fuzz::check;

namespace {

const char *list_path() {
    static char path[64];
    if (!path[0]) std::snprintf(path, sizeof path, "pixel_list_%d.txt", static_cast<int>(getpid()));
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tq_log_disable();
    // The loader prints a line per W or E entry; keep the fuzzer's output readable.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    auto &s = tarvo::epc::state();
    s.roi_x0 = static_cast<uint16_t>(data[0] % 64 * 2);
    s.roi_x1 = static_cast<uint16_t>(s.roi_x0 + 5 + data[1] % 64 * 2);
    s.roi_y0 = static_cast<uint8_t>(data[2] % 32 * 2);
    s.dual_mgx = data[3] & 1;
    s.col_reduction = (data[3] & 2) ? 2 : 1;
    s.row_reduction = (data[3] & 4) ? 2 : 1;
    s.halves = 2;
    pruSetSize(s.roi_x1 - s.roi_x0 + 1, (data[3] >> 3) % 16 + 1);

    FILE *f = std::fopen(list_path(), "wb");
    if (!f) return 0;
    std::fwrite(data + 4, 1, size - 4, f);
    std::fclose(f);
    imageCorrectionLoad(list_path());
    check(imageCorrectionGetCount() <= 1024, "list limit");
    imageCorrectionTransform();

    int n = 0;
    const tarvo::epc::BadPixel *t = tarvo::epc::bad_pixels_transformed(&n);
    check(n <= imageCorrectionGetCount(), "transformed count");
    for (int i = 0; i < n; ++i)
        check(t[i].x >= s.roi_x0 && t[i].x <= s.roi_x1 && t[i].y >= s.roi_y0, "pixel in window");

    const size_t values = static_cast<size_t>(pruGetNCols()) *
                          static_cast<size_t>(pruGetNRowsPerHalf() * pruGetNumberOfHalves());
    std::vector<uint16_t> img(values + 16, 0xA5A5);
    for (size_t i = 0; i < values; ++i) img[i] = static_cast<uint16_t>(i);
    uint16_t *p = img.data();
    imageCorrectionEnable(1);
    imageCorrect(&p);
    for (size_t i = values; i < img.size(); ++i) check(img[i] == 0xA5A5, "write beyond the image");
    std::remove(list_path());
    return 0;
}
