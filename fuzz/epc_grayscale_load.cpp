// Fuzzes the grayscale gain/offset text file: arbitrary contents are loaded
// for a geometry taken from the first input bytes. Checks that both tables
// hold one value per pixel whatever the file holds (short, long, missing or
// unreadable lines), and AddressSanitizer sees any row written past.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "epc/epc_state.h"
#include "fuzz_check.h"
#include "tarvo/tarvo_log.h"

using fuzz::check;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tq_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    auto &s = tarvo::epc::state();
    s.partType = (data[0] & 1) ? 4 : 2;
    s.waferID = 7;
    s.chipID = 12;
    s.halves = (data[0] & 2) ? 2 : 1;
    s.cols = data[1] % 24;
    s.rows_per_half = data[2] % 16;
    char name[96];
    std::snprintf(name, sizeof name, "./grayscale%s_gain_offset_W007_C012.txt",
                  (data[0] & 1) ? "635" : "660");
    FILE *f = std::fopen(name, "wb");
    if (!f) return 0;
    std::fwrite(data + 3, 1, size - 3, f);
    std::fclose(f);
    // Tables of exactly the last size, so that a row written past the end
    // lands outside the allocation, where AddressSanitizer sees it.
    std::vector<double>().swap(const_cast<std::vector<double> &>(tarvo::epc::grayscale_gain()));
    std::vector<double>().swap(const_cast<std::vector<double> &>(tarvo::epc::grayscale_offset()));
    check(tarvo::epc::grayscale_load() == 1, "the file opened");
    const size_t pixels = static_cast<size_t>(s.cols) * s.rows_per_half * s.halves;
    check(tarvo::epc::grayscale_gain().size() == pixels, "one gain per pixel");
    check(tarvo::epc::grayscale_offset().size() == pixels, "one offset per pixel");
    std::remove(name);
    return 0;
}
