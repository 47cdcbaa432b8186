// The distance kernel: the arc-tangent table, the amplitude hysteresis and
// the one-pass conversion of four DCS planes into distance or amplitude
// images, with the table-based (DRNU) and temperature correction.
//
// Arithmetic, fixed so that every path gives the same bits:
//   g  = trunc(c2 / f)                        32-bit (no 16-bit wrap)
//   l  = float(gStepCalMM * 30000.0 / g)      computed in double
//   K  = float(149896229.0 / (f * 1000.0))
//   m  = float(dT) * float(30000.0 / g * c) + float(dI) * float(30000.0 / g * cIB)
//   diff = float(phase) - m; L, sum: single-precision operations in the
//   order written; E = o + trunc(double(sum) + 0.5); F = float(E) * K / 30000.0f.
// No fused multiply-add anywhere (the pragma below), so the portable path
// and the vector paths (kernel_avx2.cpp, kernel_avx512.cpp) agree to the bit.
#include <cmath>
#include <cstring>

#include "epc/calc_pixel.h"
#include "epc/epc_state.h"
#include "epc/kernel_impl.h"
#include "log/log.h"

#pragma STDC FP_CONTRACT OFF

namespace tarvo::epc {

namespace {

alignas(64) uint16_t g_atan[4096];
alignas(64) int32_t g_atan32[4096];  // the same table, 32 bits wide, for vector gathers
bool g_atan_ready = false;
KernelPath g_widest = KernelPath::avx512;

void build_atan_table() {
    for (int i = 0; i < 4096; ++i) {
        double v = std::atan(i / 4095.0) * 15000.0 / M_PI;
        g_atan[i] = static_cast<uint16_t>(std::floor(v + 0.5));
        g_atan32[i] = g_atan[i];
    }
    g_atan_ready = true;
}

inline void ensure_atan() {
    if (!g_atan_ready) build_atan_table();
}

template <int Mode>
inline void store_code(void *dst, int out, int code) {
    if constexpr (Mode == 0 || Mode == 1)
        static_cast<uint16_t *>(dst)[out] = static_cast<uint16_t>(code);
    else
        static_cast<float *>(dst)[out] =
            code == EPC_CODE_SATURATED ? k_code_saturated_f : k_code_low_amplitude_f;
}

// One pixel, in the order the algorithm is written. The reference for the
// vector path and the tail of every row.
template <int Mode, bool Drnu>
inline void pixel(const KernelPass &k, int pos, int out, void *dst) {
    const uint16_t *src = k.src;
    const size_t P = k.plane;
    unsigned d0 = src[pos] & 0xFFFu;
    unsigned d1 = src[P + pos] & 0xFFFu;
    unsigned d2 = src[2 * P + pos] & 0xFFFu;
    unsigned d3 = src[3 * P + pos] & 0xFFFu;
    if (d0 == 0 || d0 == 4095 || d1 == 0 || d1 == 4095 || d2 == 0 || d2 == 4095 || d3 == 0 ||
        d3 == 4095) {
        store_code<Mode>(dst, out, EPC_CODE_SATURATED);
        return;
    }
    int H = static_cast<int>(d3) - static_cast<int>(d1);
    int D = static_cast<int>(d2) - static_cast<int>(d0);
    int w = H * H + D * D;
    if constexpr (Mode == 1 || Mode == 3) {
        uint16_t E =
            static_cast<uint16_t>(static_cast<int>(std::sqrt(static_cast<float>(w)) * 0.5f));
        if constexpr (Mode == 1)
            static_cast<uint16_t *>(dst)[out] = E;
        else
            static_cast<float *>(dst)[out] = static_cast<float>(E);
        return;
    } else {
        // Hysteresis (hysteresisUpdate, inlined).
        if (!hysteresis_step(k.hyst[pos], w / 4, k.upper, k.lower)) {
            store_code<Mode>(dst, out, EPC_CODE_LOW_AMPLITUDE);
            return;
        }
        int phase = (atan2_lut(H, D) + 315000) % 30000;
        uint16_t E;
        if constexpr (Drnu) {
            float diff = static_cast<float>(phase) - k.m;
            const int mn = k.mn[out], mx = k.mx[out];
            if (static_cast<float>(mn) >= diff) {
                store_code<Mode>(dst, out, EPC_CODE_LOW_AMPLITUDE);
                return;
            }
            if (diff >= static_cast<float>(mx)) {
                store_code<Mode>(dst, out, EPC_CODE_SATURATED);
                return;
            }
            // Segment index, kept inside the pixel's own last segment.
            float q = (diff - static_cast<float>(mn)) * static_cast<float>(k.N) /
                      static_cast<float>(mx - mn);
            q = q < k.last_seg ? q : k.last_seg;
            q = q > 0.0f ? q : 0.0f;
            int L = static_cast<int>(q);
            int M, M1;
            if (k.steps) {
                const uint16_t *e = k.steps + static_cast<size_t>(L) * k.stride + out;
                M = e[0];
                M1 = e[k.stride];
            } else {
                const uint16_t *e = k.table + static_cast<size_t>(out) * k.N + L;
                M = e[0];
                M1 = e[1];
            }
            float sum = (diff - static_cast<float>(M)) * k.l / static_cast<float>(M1 - M) +
                        k.l * static_cast<float>(L);
            if (!(sum >= -2147483648.0f && sum < 2147483648.0f)) {
                // A flat segment or absurd constants: the phase cannot be placed.
                store_code<Mode>(dst, out, EPC_CODE_SATURATED);
                return;
            }
            int t = static_cast<int>(static_cast<double>(sum) + 0.5);
            E = static_cast<uint16_t>(static_cast<uint32_t>(k.o) + static_cast<uint32_t>(t));
        } else {
            E = static_cast<uint16_t>(phase);
        }
        if constexpr (Mode == 0)
            static_cast<uint16_t *>(dst)[out] = E;
        else
            static_cast<float *>(dst)[out] = static_cast<float>(E) * k.K / 30000.0f;
    }
}

template <int Mode, bool Drnu>
void rows_portable(const KernelPass &k, int row_begin, int row_end) {
    for (int i = row_begin; i < row_end; ++i) {
        const int orow = output_row(i, k.R);
        for (int j = 0; j < k.C; ++j) pixel<Mode, Drnu>(k, i * k.C + j, orow * k.C + j, k.dst);
    }
}

}  // namespace

bool prepare_pass(const char *fn, int mode, void *dst, const uint16_t *src, int P, KernelPass &k) {
    ConfigState &s = state();
    if (mode < 0 || mode > 3 || !dst || !src || P <= 0) {
        TQ_ERR("[%s] bad arguments: mode=%d, dst=%p, src=%p, P=%d\n", fn, mode, dst,
               static_cast<const void *>(src), P);
        return false;
    }
    const int64_t C = s.cols, R = static_cast<int64_t>(s.rows_per_half) * s.halves;
    if (C < 0 || R < 0 || C * R > k_sensor_pixels || C * R > P) {
        TQ_ERR("[%s] image %lldx%lld does not fit the %dx%d sensor or the %d-sample planes\n", fn,
               static_cast<long long>(C), static_cast<long long>(R), k_sensor_cols, k_sensor_rows,
               P);
        return false;
    }
    k.mode = mode;
    k.dst = dst;
    k.src = src;
    k.plane = static_cast<size_t>(P);
    k.C = static_cast<int>(C);
    k.R = static_cast<int>(R);
    k.hyst = s.hyst_state.data();
    k.upper = s.hyst_upper;
    k.lower = s.hyst_lower;
    k.drnu = (mode == 0 || mode == 2) && s.drnu_mode == 2;
    const int f = s.modulationFrequency;
    if ((mode == 2 || k.drnu) && f <= 0) {
        TQ_ERR("[%s] modulation frequency %d kHz\n", fn, f);
        return false;
    }
    if (mode == 2) k.K = static_cast<float>(149896229.0 / (f * 1000.0));
    if (k.drnu) {
        // The unambiguous range in millimetres, kept in 32 bits: a 16-bit
        // value wraps below about 2288 kHz.
        const double gd = s.speed_of_light_div2 / f;
        if (!(gd >= 10.0 && gd < 4294967296.0)) {
            TQ_ERR("[%s] unambiguous range %f mm out of range\n", fn, gd);
            return false;
        }
        const uint32_t g = static_cast<uint32_t>(gd);
        k.l = static_cast<float>(s.gStepCalMM * 30000.0 / g);
        if (s.temperature_correction) {
            const int slot = coef_slot(s.partType);
            // Calibration temperatures come from a file: take the
            // differences in 64 bits so that no value can overflow them.
            const int64_t dT = static_cast<int64_t>(s.sensor_temp) - s.temp_cal;
            const int64_t dI = static_cast<int64_t>(s.ib_temp) - s.ib_temp_cal;
            const float ct =
                static_cast<float>(30000.0 / g * s.temp_coef[static_cast<size_t>(slot)]);
            const float ci =
                static_cast<float>(30000.0 / g * s.ib_temp_coef[static_cast<size_t>(slot)]);
            k.m = static_cast<float>(dT) * ct + static_cast<float>(dI) * ci;
        }
        if (s.default_offset_enabled == 1)
            k.o = static_cast<int>(885000.0 / (g / 10));
        else
            k.o = static_cast<int>(static_cast<uint32_t>(s.offset_phase) +
                                   static_cast<uint32_t>(s.offsetDRNU));
        k.N = s.num_distances < 0
                  ? 0
                  : (s.num_distances > k_max_distances ? k_max_distances : s.num_distances);
        k.last_seg = static_cast<float>(k.N - 2);
        DrnuBank b = drnu_bank(current_bank());
        k.table = b.table;
        k.mn = b.min;
        k.mx = b.max;
        if (*b.steps_n == k.N && k.C * k.R <= *b.steps_pixels) {
            k.steps = b.steps;
            k.stride = k_sensor_pixels;
        }
    }
    return true;
}

const uint16_t *atan2_table() {
    ensure_atan();
    return g_atan;
}
const int32_t *atan2_table32() {
    ensure_atan();
    return g_atan32;
}

void kernel_reset() {
    std::memset(g_atan, 0, sizeof g_atan);
    std::memset(g_atan32, 0, sizeof g_atan32);
    g_atan_ready = false;
    g_widest = KernelPath::avx512;
}

void kernel_limit_path(KernelPath widest) {
    g_widest = widest;
}
void kernel_force_portable(bool on) {
    g_widest = on ? KernelPath::portable : KernelPath::avx512;
}

void run_portable_pixels(const KernelPass &k, int i, int j_begin) {
    const int orow = output_row(i, k.R);
    for (int j = j_begin; j < k.C; ++j) {
        const int pos = i * k.C + j, out = orow * k.C + j;
        switch (k.mode) {
            case 0:
                if (k.drnu)
                    pixel<0, true>(k, pos, out, k.dst);
                else
                    pixel<0, false>(k, pos, out, k.dst);
                break;
            case 1:
                pixel<1, false>(k, pos, out, k.dst);
                break;
            case 2:
                if (k.drnu)
                    pixel<2, true>(k, pos, out, k.dst);
                else
                    pixel<2, false>(k, pos, out, k.dst);
                break;
            default:
                pixel<3, false>(k, pos, out, k.dst);
                break;
        }
    }
}

namespace {

void run_portable(const KernelPass &k) {
    switch (k.mode) {
        case 0:
            if (k.drnu)
                rows_portable<0, true>(k, 0, k.R);
            else
                rows_portable<0, false>(k, 0, k.R);
            break;
        case 1:
            rows_portable<1, false>(k, 0, k.R);
            break;
        case 2:
            if (k.drnu)
                rows_portable<2, true>(k, 0, k.R);
            else
                rows_portable<2, false>(k, 0, k.R);
            break;
        default:
            rows_portable<3, false>(k, 0, k.R);
            break;
    }
}

}  // namespace

}  // namespace tarvo::epc

using namespace tarvo::epc;

extern "C" {

TARVO_API int atan2lut_Init(void) {
    build_atan_table();
    return 0;
}

TARVO_API int atan2_lut(int y_in, int x_in) {
    if (y_in == 0) return x_in < 0 ? 15000 : 0;
    ensure_atan();
    // 64-bit arithmetic: no argument can overflow a negation or a sum.
    int64_t y = y_in, x = x_in;
    int base = 0;
    if (y < 0) {
        y = -y;
        x = -x;
        base = 15000;
    }
    if (x <= 0) {
        int64_t t = x;
        x = y;
        y = -t;
        base += 7500;
    }
    if (y >= x) {
        base += 3750;
        int64_t t = y;
        y = t - x;
        x = t + x;
    }
    // 0 <= y < x here, so the index stays below 4096.
    return base + g_atan[y * 4096 / x];
}

TARVO_API int hysteresisUpdate(int pos, int a2) {
    ConfigState &s = state();
    if (pos < 0 || pos >= k_sensor_pixels) return 0;
    return hysteresis_step(s.hyst_state[static_cast<size_t>(pos)], a2, s.hyst_upper, s.hyst_lower);
}

TARVO_API void hysteresisSetThresholds(int m, int h) {
    ConfigState &s = state();
    s.hysteresis = h;
    s.hyst_upper = static_cast<int>(static_cast<unsigned>(m) * static_cast<unsigned>(m));
    unsigned d = static_cast<unsigned>(m) - static_cast<unsigned>(h);
    s.hyst_lower = static_cast<int>(d * d);
    s.hyst_state.fill(0);
}

TARVO_API void hysteresisUpdateThresholds(int m) {
    hysteresisSetThresholds(m, state().hysteresis);
}

TARVO_API int calcDefPiDelayGetDataSorted_opt(int mode, void *dst, const uint16_t *src, int P) {
    static const char *const fn = "calcDefPiDelayGetDataSorted_opt";
    KernelPass k;
    if (!prepare_pass(fn, mode, dst, src, P, k)) return 0;
    ensure_atan();
    k.atan16 = g_atan;
    k.atan32 = g_atan32;
    if (k.C > 0 && k.R > 0) {
        if (g_widest >= KernelPath::avx512_gather && kernel_avx512_available() &&
            run_avx512(k, g_widest >= KernelPath::avx512)) {
        } else if (g_widest >= KernelPath::avx2 && kernel_vector_available()) {
            run_vector(k);
        } else {
            run_portable(k);
        }
    }
    return P;
}

TARVO_API int _epc_DCSxn_raw2dist(float *dst, const uint16_t *src, int width, int height) {
    if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > 0x7FFFFFFF) return 0;
    return calcDefPiDelayGetDataSorted_opt(2, dst, src, width * height);
}

}  // extern "C"
