// The EPC sensor looking at the physical scene. Per scene: rays, hits,
// amplitudes and phases. Per frame: temperature drift (a rotation of every
// pixel's phasor by the same angle), ambient offset, shot noise and the ADC
// range. Without noise the samples are chosen so that the sensor's
// arc-tangent decodes exactly the intended phase.
#include "scene/sensor.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "scene/optics.h"
#include "wire.h"

namespace tarvo::sim::phys {

namespace {

constexpr double k_c_half_mm =
    149896229.0;                       // speed of light / 2, mm/ms scale as the engine uses it
constexpr double k_coef_sensor = 2.2;  // engine's temperature coefficients
constexpr double k_coef_ib = 0.51765;

uint32_t output_row(uint32_t i, uint32_t rows) {
    const uint32_t half = rows / 2;
    return (i % 2 == 0) ? half - 1 - i / 2 : half + i / 2;
}

uint64_t splitmix(uint64_t &x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A standard normal deviate, close enough for shot noise: the sum of four
// uniform 16-bit parts of one random word (mean 0, variance 1).
double gauss(uint64_t &st) {
    const uint64_t r = splitmix(st);
    const double s = static_cast<double>(r & 0xFFFF) + static_cast<double>((r >> 16) & 0xFFFF) +
                     static_cast<double>((r >> 32) & 0xFFFF) + static_cast<double>(r >> 48);
    return (s / 65535.0 - 2.0) * 1.7320508075688772;
}

// The sensor's arc-tangent, as its read-out electronics compute it: table of
// 4096 entries over one octant, 3750 units per octant.
struct Atan {
    uint16_t t[4096];
    Atan() {
        for (int i = 0; i < 4096; ++i)
            t[i] = static_cast<uint16_t>(std::floor(std::atan(i / 4095.0) * 15000.0 / M_PI + 0.5));
    }
    int operator()(int64_t y, int64_t x) const {
        if (y == 0) return x < 0 ? 15000 : 0;
        int base = 0;
        if (y < 0) {
            y = -y;
            x = -x;
            base = 15000;
        }
        if (x <= 0) {
            const int64_t t0 = x;
            x = y;
            y = -t0;
            base += 7500;
        }
        if (y >= x) {
            base += 3750;
            const int64_t t0 = y;
            y = t0 - x;
            x = t0 + x;
        }
        // Sample differences are far below 2^19: a 32-bit division.
        if (y < (1 << 19))
            return base + t[static_cast<int32_t>(y * 4096) / static_cast<int32_t>(x)];
        return base + t[y * 4096 / x];
    }
};

const Atan &atan_table() {
    static const Atan a;
    return a;
}

// Decoded phase of (H, D): half a turn added to the arc-tangent.
int decoded(const Atan &a, int64_t H, int64_t D) {
    return (a(H, D) + 15000) % 30000;
}

bool near(int got, int want) {
    const int e = std::abs(got - want);
    return std::min(e, 30000 - e) <= 1;
}

// Integer (H, D) near radius `rad` whose decoded phase is `phase`.
bool exact_hd(int phase, double rad, int64_t &H, int64_t &D) {
    const Atan &a = atan_table();
    const int r = (phase + 15000) % 30000;
    const int q = r / 3750, v = r % 3750;
    const bool b15000 = q >= 4, b7500 = (q / 2) % 2 == 1, b3750 = q % 2 == 1;
    // Table indices that give v - 1 to v + 1: a reading within one unit
    // (0.4 mm at 12 MHz) of the intended phase. A narrower window would
    // leave faint pixels, whose samples are small, without an exact choice.
    const int lo = static_cast<int>(std::lower_bound(a.t, a.t + 4096, std::max(v - 1, 0)) - a.t);
    const int hi = static_cast<int>(std::upper_bound(a.t, a.t + 4096, v + 1) - a.t) - 1;
    // The samples rounded from the ideal phasor often decode exactly.
    {
        const double phi = phase * (2.0 * M_PI / 30000.0);
        const int64_t h0 = std::llround(-rad * std::sin(phi)),
                      d0 = std::llround(-rad * std::cos(phi));
        if ((h0 != 0 || d0 != 0) && near(decoded(a, h0, d0), phase)) {
            H = h0;
            D = d0;
            return true;
        }
    }
    // Ideal canonical point of that octant at radius rad.
    const double ang = v * (M_PI / 15000.0);
    double x0 = rad * std::cos(ang), y0 = rad * std::sin(ang);
    if (b3750) {
        // The octant fold maps (x, y) to (y + x, y - x): radius times sqrt 2.
        x0 = rad * std::cos(ang) * std::sqrt(2.0);
        (void)y0;
    }
    const int64_t xc = std::max<int64_t>(1, std::llround(x0));
    const int64_t reach = 64 + xc / 2;
    // Near the amplitude first; then, for phases close to an octant
    // boundary, whose exact readings need long vectors, larger amplitudes
    // up to what the ADC range holds about the level.
    const int64_t far = std::max<int64_t>(xc + reach, 3900);
    for (int64_t k = 0; k <= 2 * reach + (far - xc - reach); ++k) {
        const int64_t xp =
            k <= 2 * reach ? xc + ((k % 2) ? (k + 1) / 2 : -(k / 2)) : xc + k - reach;
        if (xp < 1) continue;
        for (int64_t yp = (lo * xp + 4095) / 4096; yp * 4096 / xp <= hi && yp < xp; ++yp) {
            int64_t xx = xp, yy = yp;
            if (b3750) {
                if ((xp + yp) % 2 != 0 || xp - yp < 2) continue;
                yy = (xp + yp) / 2;
                xx = (xp - yp) / 2;
            }
            int64_t hm = b7500 ? xx : yy, dm = b7500 ? -yy : xx;
            if (b15000) {
                hm = -hm;
                dm = -dm;
            }
            if (near(decoded(a, hm, dm), phase)) {
                H = hm;
                D = dm;
                return true;
            }
        }
    }
    return false;
}

// Exact readings by table. A vector (H, D) and every whole multiple of it
// decode to the same phase (the arc-tangent looks only at the ratio of the
// folded components), so per phase the primitive vectors that decode to
// it within one unit, of components up to k_table_reach, serve every
// amplitude: the multiple nearest to the wanted length. Phases that only
// long vectors reach (next to the octant boundaries) get the one the
// search above finds. Built once per process.
constexpr int k_table_reach = 160;

struct ExactTable {
    std::vector<uint32_t> first;              // 30001 offsets into vec
    std::vector<std::array<int32_t, 2>> vec;  // (H, D), shortest first per phase
    std::vector<float> len, inv_len;

    ExactTable() {
        const Atan &a = atan_table();
        std::vector<std::array<int32_t, 3>> all;  // phase, H, D
        for (int h = -k_table_reach; h <= k_table_reach; ++h)
            for (int d = -k_table_reach; d <= k_table_reach; ++d) {
                if (std::gcd(h, d) != 1) continue;
                const int ph = decoded(a, h, d);
                for (int q = -1; q <= 1; ++q) all.push_back({(ph + q + 30000) % 30000, h, d});
            }
        std::sort(all.begin(), all.end(), [](const auto &x, const auto &y) {
            return x[0] != y[0] ? x[0] < y[0]
                                : x[1] * x[1] + x[2] * x[2] < y[1] * y[1] + y[2] * y[2];
        });
        first.assign(30001, 0);
        size_t at = 0;
        for (int ph = 0; ph < 30000; ++ph) {
            first[static_cast<size_t>(ph)] = static_cast<uint32_t>(vec.size());
            const size_t from = vec.size();
            for (; at < all.size() && all[at][0] == ph; ++at)
                vec.push_back({all[at][1], all[at][2]});
            int64_t H = 0, D = 0;
            if (vec.size() == from && exact_hd(ph, 2.0 * k_table_reach, H, D)) {
                const int64_t g = std::gcd(H, D);
                vec.push_back({static_cast<int32_t>(H / g), static_cast<int32_t>(D / g)});
            }
        }
        first[30000] = static_cast<uint32_t>(vec.size());
        len.reserve(vec.size());
        inv_len.reserve(vec.size());
        for (const auto &v : vec) {
            len.push_back(static_cast<float>(std::hypot(v[0], v[1])));
            inv_len.push_back(1.0f / len.back());
        }
    }

    // A multiple of a vector of `phase` whose length is within 2 % (or half
    // a count) of `rad`, else the nearest one; false when the phase has none.
    bool pick(int phase, double rad, int64_t &H, int64_t &D) const {
        const uint32_t b = first[static_cast<size_t>(phase)],
                       e = first[static_cast<size_t>(phase) + 1];
        const double good = std::max(0.5, 0.02 * rad);
        double best = 1e300;
        for (uint32_t i = b; i < e && best > good; ++i) {
            // Shortest first: once a single vector is too long by more than
            // the best error, every later one is as well.
            if (len[i] - rad > best) break;
            const int64_t k = std::max<int64_t>(1, static_cast<int64_t>(rad * inv_len[i] + 0.5));
            const double err = std::fabs(static_cast<double>(k) * len[i] - rad);
            if (err < best) {
                best = err;
                H = k * vec[i][0];
                D = k * vec[i][1];
            }
        }
        return b != e;
    }
};

const ExactTable &exact_table() {
    static const ExactTable t;
    return t;
}

// Integer (H, D) near the phasor (h, d) = rad (-sin, -cos) of `phase`
// whose reading is `phase` within one unit: the rounded phasor when it
// reads right, else the table's nearest multiple.
void exact_vector(int phase, double rad, double h, double d, int64_t &H, int64_t &D) {
    // Rounded half away from zero, without a library call.
    H = static_cast<int64_t>(h + (h < 0 ? -0.5 : 0.5));
    D = static_cast<int64_t>(d + (d < 0 ? -0.5 : 0.5));
    if ((H != 0 || D != 0) && near(decoded(atan_table(), H, D), phase)) return;
    exact_table().pick(phase, rad, H, D);
}

// Samples about the level b for the vector (H, D): H = DCS3 - DCS1,
// D = DCS2 - DCS0, both pairs centred on b, clipped to the ADC range.
std::array<int, 4> samples_of(int64_t H, int64_t D, int b) {
    const int64_t d1 = b - (H >> 1), d0 = b - (D >> 1);
    auto clip = [](int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 0, 4095)); };
    return {clip(d0), clip(d1), clip(d0 + D), clip(d1 + H)};
}

uint16_t adc(double v) {
    return static_cast<uint16_t>(std::clamp<double>(std::lround(v), 0.0, 4095.0));
}

}  // namespace

uint32_t range_mm(uint32_t f_khz) {
    return f_khz ? static_cast<uint32_t>(k_c_half_mm / f_khz) : 1;
}

double drift_units(uint32_t f_khz, int sensor_t, int ib_t) {
    const double g = range_mm(f_khz);
    return (sensor_t - k_cal_temp) * (30000.0 / g * k_coef_sensor) +
           (ib_t - k_cal_ib_temp) * (30000.0 / g * k_coef_ib);
}

std::vector<float> fixed_pattern(uint16_t chip_id, uint16_t wafer_id, int w, int h) {
    // A smooth gradient over the array, column stripes of the read-out and
    // a per-pixel part: 40 to 120 units (17 to 50 mm at 12 MHz).
    uint64_t st = (uint64_t{wafer_id} << 16 | chip_id) * 0x2545F4914F6CDD1Dull + 7;
    std::vector<float> col(static_cast<size_t>(w));
    for (float &c : col) c = static_cast<float>(splitmix(st) % 2001) / 100.0f - 10.0f;
    std::vector<float> e(static_cast<size_t>(w) * h);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const double gx = w > 1 ? static_cast<double>(c) / (w - 1) : 0.0;
            const double gy = h > 1 ? static_cast<double>(r) / (h - 1) : 0.0;
            const double pix = static_cast<double>(splitmix(st) % 4001) / 100.0 - 20.0;
            e[static_cast<size_t>(r) * w + c] = static_cast<float>(
                80.0 + 20.0 * gx - 15.0 * gy + col[static_cast<size_t>(c)] + pix);
        }
    return e;
}

std::array<int, 2> temperatures(const SceneConfig &sc, double seconds) {
    if (sc.temperature_c) {
        const int t = static_cast<int>(std::lround(*sc.temperature_c * 10.0));
        return {t, t};
    }
    const double rise = 1.0 - std::exp(-std::max(seconds, 0.0) / 120.0);
    return {static_cast<int>(std::lround(300.0 + 150.0 * rise)),
            static_cast<int>(std::lround(300.0 + 170.0 * rise))};
}

std::array<int, 4> exact_samples(int phase, double amp, int b) {
    const double rad = 2.0 * amp, phi = phase * (2.0 * M_PI / 30000.0);
    int64_t H = 0, D = 0;
    exact_vector(phase, rad, -rad * std::sin(phi), -rad * std::cos(phi), H, D);
    return samples_of(H, D, b);
}

Model::Model(const SceneConfig &sc, uint16_t chip_id, uint16_t wafer_id, int w, int h,
             uint32_t f_khz)
    : sc_(sc), w_(w), h_(h), f_(f_khz) {
    const size_t n = static_cast<size_t>(w) * h;
    radial_.assign(n, 0.0f);
    xyz_.assign(3 * n, 0.0f);
    amp_.assign(n, 0.0f);
    phase_.assign(n, 0.0f);
    const std::vector<float> fpn = fixed_pattern(chip_id, wafer_id, w, h);
    const std::vector<SceneObject> objs = objects_of(sc);
    const std::vector<Vec3> &rays = pixel_rays(w, h);
    const double units_per_m = 30000.0 / (range_mm(f_khz) / 1000.0);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const size_t p = static_cast<size_t>(r) * w + c;
            const Vec3 &d = rays[p];
            const Hit hit = cast(objs, d);
            if (!hit.hit) continue;
            radial_[p] = static_cast<float>(hit.t);
            for (int a = 0; a < 3; ++a) xyz_[3 * p + a] = static_cast<float>(hit.t * d[a]);
            amp_[p] = static_cast<float>(k_amp_1m * hit.reflectivity / (hit.t * hit.t));
            phase_[p] = static_cast<float>(std::fmod(hit.t * units_per_m + fpn[p], 30000.0));
        }
    cos_.resize(n);
    sin_.resize(n);
    for (size_t p = 0; p < n; ++p) {
        const double phi = phase_[p] * (2.0 * M_PI / 30000.0);
        cos_[p] = static_cast<float>(std::cos(phi));
        sin_[p] = static_cast<float>(std::sin(phi));
    }
}

SceneTruth Model::truth() const {
    return {w_, h_, radial_, xyz_};
}

namespace {
bool same_exposure(const Exposure &a, const Exposure &b) {
    return a.f_khz == b.f_khz && a.intg_us == b.intg_us && a.sensor_t == b.sensor_t &&
           a.ib_t == b.ib_t && a.hdr == b.hdr && a.in_sync == b.in_sync;
}
}  // namespace

void Model::prepare(const Exposure &e) const {
    if (sc_.noise || (!kept_.empty() && same_exposure(e, kept_e_))) return;
    kept_.assign(static_cast<size_t>(w_) * h_ * 8, 0);
    draw(e, kept_);
    kept_e_ = e;
}

void Model::render(const Exposure &e, std::span<uint8_t> out) const {
    if (sc_.noise) {
        draw(e, out);
        return;
    }
    prepare(e);
    const size_t n = std::min(out.size(), kept_.size());
    std::copy(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(n), out.begin());
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), uint8_t{0});
}

void Model::draw(const Exposure &e, std::span<uint8_t> out) const {
    std::fill(out.begin(), out.end(), uint8_t{0});
    const size_t plane = static_cast<size_t>(w_) * h_;
    const double drift = drift_units(e.f_khz, e.sensor_t, e.ib_t);
    const double t_rel = e.intg_us / k_ref_intg_us;
    // Dark level plus ambient light collected over the integration time.
    double b = 1860.0 + 0.26 * e.intg_us * sc_.ambient_light;
    if (!e.in_sync) b += 300.0;
    const int bi = static_cast<int>(std::lround(b));
    uint64_t st = sc_.seed * 0x9E3779B97F4A7C15ull ^ (e.frame_seq + 1) * 0xD1B54A32D192ED03ull;
    std::vector<uint16_t> px(4 * plane);
    // Phase plus drift rounded to the nearest unit by truncation: the drift
    // is kept a positive number of whole periods above its value.
    const double drift_round = std::fmod(drift, 30000.0) + 30000.0 + 0.5;
    const double cd = std::cos(drift * (2.0 * M_PI / 30000.0));
    const double sd = std::sin(drift * (2.0 * M_PI / 30000.0));
    for (int r = 0; r < h_; ++r) {
        // HDR: the second row of each pair is the short (quarter) exposure.
        const double gain = (e.hdr && (r % 2 == 1)) ? 0.25 * t_rel : t_rel;
        for (int c = 0; c < w_; ++c) {
            const size_t p = static_cast<size_t>(r) * w_ + c;
            const double amp = amp_[p] * gain;
            uint16_t *o = &px[4 * p];
            // The drift turns every phasor by the same angle.
            const double ca = amp * (cos_[p] * cd - sin_[p] * sd);
            const double sa = amp * (sin_[p] * cd + cos_[p] * sd);
            if (!sc_.noise) {
                int target = static_cast<int>(phase_[p] + drift_round) % 30000;
                if (target < 0) target += 30000;
                int64_t H = 0, D = 0;
                exact_vector(target, 2.0 * amp, -2.0 * sa, -2.0 * ca, H, D);
                const auto s = samples_of(H, D, bi);
                for (int k = 0; k < 4; ++k) o[k] = static_cast<uint16_t>(s[static_cast<size_t>(k)]);
                continue;
            }
            const double mean[4] = {b + ca, b + sa, b - ca, b - sa};
            for (int k = 0; k < 4; ++k) {
                // Shot noise: the spread grows with the square root of the
                // collected signal (about 0.05 count per count^0.5).
                const double m = std::max(mean[k], 1.0);
                o[k] = adc(m + 0.05 * std::sqrt(m) * gauss(st));
            }
        }
    }
    for (uint32_t k = 0; k < 4; ++k)
        for (uint32_t i = 0; i < static_cast<uint32_t>(h_); ++i) {
            const uint32_t orow = output_row(i, static_cast<uint32_t>(h_));
            for (uint32_t j = 0; j < static_cast<uint32_t>(w_); ++j) {
                const size_t at = 2 * (k * plane + size_t{i} * w_ + j);
                if (at + 2 > out.size()) return;
                wire::put16(&out[at], px[4 * (size_t{orow} * w_ + j) + k]);
            }
        }
}

}  // namespace tarvo::sim::phys
