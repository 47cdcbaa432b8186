// Internals of the distance kernel shared by its portable and vector paths:
// the per-call constants of one pass and the read-out order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo::epc {

// The float codes: 65.3 (low amplitude, below the span) and 65.5.
constexpr float k_code_low_amplitude_f = 65.3f;
constexpr float k_code_saturated_f = 65.5f;

// Everything one call needs, taken from the engine state once per call.
struct KernelPass {
    int mode = 0;  // 0..3
    void *dst = nullptr;
    const uint16_t *src = nullptr;
    size_t plane = 0;   // P: samples per DCS plane
    int C = 0, R = 0;   // columns and rows of the image
    bool drnu = false;  // table-based correction (modes 0 and 2)
    // Hysteresis.
    uint8_t *hyst = nullptr;
    int upper = 0, lower = 0;
    // Constants.
    float l = 0.0f;         // table step, phase units
    float K = 0.0f;         // metres per period
    float m = 0.0f;         // temperature term, phase units
    int o = 0;              // offset (taken modulo 2^16 in the result)
    int N = 0;              // entries per pixel
    float last_seg = 0.0f;  // N - 2 as float: highest segment index
    const uint16_t *table = nullptr, *mn = nullptr, *mx = nullptr;
    // Step-major copy of the table (entry of step k at k x stride + p), or
    // null when it does not match N; then the pixel-major table is read.
    const uint16_t *steps = nullptr;
    int stride = 0;
    const uint16_t *atan16 = nullptr;
    const int32_t *atan32 = nullptr;
};

// Output row of raw row i in an image of R rows: raw rows start at the
// centre and alternate upwards and downwards. An odd R leaves one raw row
// without a place in that order; it goes to the last row.
inline int output_row(int i, int R) {
    const int half = R / 2;
    int orow = (i & 1) ? half + i / 2 : half - 1 - i / 2;
    return orow < 0 ? R - 1 : orow;
}

// Fills `k` for one call; false (with an ERR line) when the call cannot run.
bool prepare_pass(const char *fn, int mode, void *dst, const uint16_t *src, int P, KernelPass &k);

// Portable pixels of raw row i from column j_begin to the end of the row.
void run_portable_pixels(const KernelPass &k, int i, int j_begin);

// The vector paths, when the processor has them. run_avx512 takes the
// distance modes only and returns false for the others.
bool kernel_vector_available();
void run_vector(const KernelPass &k);
bool kernel_avx512_available();
bool run_avx512(const KernelPass &k, bool cubic_atan);

const int32_t *atan2_table32();

}  // namespace tarvo::epc
