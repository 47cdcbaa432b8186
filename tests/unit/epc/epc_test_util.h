// Helpers of the EPC engine tests: a fixture that starts every test from
// the engine's load-time state with a log file to read back, frame and
// calibration-file builders, and a reference pixel written straight from
// the algorithm's description (one branch per rule, no shared code with
// the library's kernel apart from atan2_lut, which is tested on its own).
#pragma once

#include <glob.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "epc/epc_state.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_log.h"
#include "test_files.h"

namespace epc_test {

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvo::epc::reset_state();
        remove_calibration_files();
        tq_log_disable();
        ::unlink("epc.log");
        tq_log_enable(1, 0, "epc.log");
    }
    void TearDown() override {
        tq_log_disable();
        tarvo::epc::reset_state();
    }
    static std::string log_text() { return tarvo_test::read_file("epc.log"); }
    // Calibration files that earlier tests left in the working directory.
    static void remove_calibration_files() {
        for (const char *pattern : {"vexm_ex_*.bin", "epc635_*.bin", "grayscale*.txt"}) {
            glob_t g{};
            if (::glob(pattern, 0, nullptr, &g) == 0)
                for (size_t i = 0; i < g.gl_pathc; ++i) ::unlink(g.gl_pathv[i]);
            ::globfree(&g);
        }
    }
};

// Four planes of P samples each.
struct Frame {
    explicit Frame(size_t P) : P(P), s(4 * P, 2048) {}
    // Pixel at raw position pos with H = d3 - d1 and D = d2 - d0 around 2048.
    void set(size_t pos, int H, int D) {
        s[pos] = static_cast<uint16_t>(2048 - D / 2);
        s[2 * P + pos] = static_cast<uint16_t>(2048 - D / 2 + D);
        s[P + pos] = static_cast<uint16_t>(2048 - H / 2);
        s[3 * P + pos] = static_cast<uint16_t>(2048 - H / 2 + H);
    }
    void set_raw(size_t pos, uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
        s[pos] = a;
        s[P + pos] = b;
        s[2 * P + pos] = c;
        s[3 * P + pos] = d;
    }
    size_t P;
    std::vector<uint16_t> s;
};

inline void put16(std::string &b, uint16_t v) {
    b.push_back(static_cast<char>(v & 0xFF));
    b.push_back(static_cast<char>(v >> 8));
}
inline void put32(std::string &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void put_double(std::string &b, double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    put32(b, static_cast<uint32_t>(u));
    put32(b, static_cast<uint32_t>(u >> 32));
}

// An images file of n images of w x h pixels; value(k, p) gives image k at pixel p.
template <class F>
std::string images_file(int n, int w, int h, F value) {
    std::string b;
    b.reserve(static_cast<size_t>(n) * w * h * 2);
    for (int k = 0; k < n; ++k)
        for (int p = 0; p < w * h; ++p) put16(b, value(k, p));
    return b;
}

inline std::string images_name(int bank) {
    char buf[256];
    calibrationGetDistanceImagesName(buf, bank);
    return buf;
}
inline std::string param_name(int bank) {
    char buf[256];
    calibrationGetParamName(buf, bank);
    return buf;
}

// The constants of one call, computed the way the algorithm states them.
struct RefConsts {
    uint32_t g = 0;
    float l = 0, K = 0, m = 0;
    int o = 0;
    int N = 0;
};

inline RefConsts ref_consts() {
    const auto &s = tarvo::epc::state();
    RefConsts c;
    const int f = s.modulationFrequency;
    c.g = static_cast<uint32_t>(std::trunc(s.speed_of_light_div2 / f));
    c.l = static_cast<float>(s.gStepCalMM * 30000 / c.g);
    c.K = static_cast<float>(149896229.0 / (f * 1000.0));
    if (s.temperature_correction) {
        int slot = (s.partType == 4 || s.partType == 5) ? 1 : 0;
        int dT = s.sensor_temp - s.temp_cal;
        int dI = s.ib_temp - s.ib_temp_cal;
        c.m = static_cast<float>(dT) * static_cast<float>(30000.0 / c.g * s.temp_coef[slot]) +
              static_cast<float>(dI) * static_cast<float>(30000.0 / c.g * s.ib_temp_coef[slot]);
    }
    if (s.drnu_mode == 2 && s.default_offset_enabled == 1)
        c.o = static_cast<int>(std::trunc(885000.0 / (c.g / 10)));
    else if (s.drnu_mode == 2)
        c.o = s.offset_phase + s.offsetDRNU;
    else
        c.o = s.offset_phase;
    c.N = s.num_distances;
    return c;
}

// Reference distance of one pixel from H, D, the hysteresis verdict, the
// pixel's table entries (N of them) and the constants: a value 0..65535,
// or a code as -65300 (low amplitude, below the span) or -65500.
inline int ref_distance(int H, int D, bool valid, const std::vector<uint16_t> &entries, bool drnu,
                        const RefConsts &c) {
    if (!valid) return -65300;
    int phase = (atan2_lut(H, D) + 315000) % 30000;
    if (!drnu) return phase;
    float diff = static_cast<float>(phase - c.m);
    uint16_t mn = 65535, mx = 0;
    for (uint16_t e : entries) {
        mn = std::min(mn, e);
        mx = std::max(mx, e);
    }
    if (static_cast<float>(mn) >= diff) return -65300;
    if (diff >= static_cast<float>(mx)) return -65500;
    int L = static_cast<int>((diff - mn) * c.N / (mx - mn));
    if (L > c.N - 2) L = c.N - 2;  // stay in the pixel's own last segment
    int M = entries[static_cast<size_t>(L)], M1 = entries[static_cast<size_t>(L) + 1];
    float sum = static_cast<float>((diff - M) * c.l / (M1 - M) + static_cast<float>(c.l * L));
    return static_cast<uint16_t>(c.o + static_cast<int>(std::trunc(sum + 0.5)));
}

inline uint16_t ref_u16(int r) {
    return static_cast<uint16_t>(r < 0 ? -r : r);
}

inline float ref_metres(int r, const RefConsts &c) {
    if (r == -65300) return 65.3f;
    if (r == -65500) return 65.5f;
    return static_cast<float>(r * c.K / 30000);
}

}  // namespace epc_test
