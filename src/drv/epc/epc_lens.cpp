// The process-wide lens record of the EPC driver: its built-in default and
// the text file "lens_param.txt" under the path prefix that replaces it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "drv/epc/epc_drv.h"
#include "log/log.h"
#include "platform/platform.h"

namespace tarvo::drv::epc {

namespace {

constexpr const char *k_fn = "_tq_update_len_param";
constexpr const char *k_lens_file = "lens_param.txt";
// A lens file is a few hundred bytes; more than this is not one.
constexpr long k_lens_file_max = 64 * 1024;

constexpr tq_lens_param_t k_default_lens = {
    157.262,
    122.083,
    210.783,
    204.817,
    {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
    320,
    240,
};

// The record as last published (null: the default). Readers (clouds, map
// builds) take a reference and read a whole record however often it is
// replaced.
Published<tq_lens_param_t> g_lens;

// "%lf" of the line's first token: the field keeps its value when the
// line holds no number.
void take_double(const std::string &line, double &field) {
    const char *p = line.c_str();
    char *end = nullptr;
    const double v = std::strtod(p, &end);
    if (end != p) field = v;
}

// "%i" (decimal, 0x hexadecimal, 0 octal), saturated to the int32 range.
void take_int(const std::string &line, int32_t &field) {
    const char *p = line.c_str();
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, 0);
    if (end == p) return;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    field = static_cast<int32_t>(v);
}

// Lines 1 to 4: the principal point and the focal lengths.
struct CentreLine {
    double tq_lens_param_t::*field;
    const char *format;
};
constexpr CentreLine k_centre_lines[4] = {{&tq_lens_param_t::cx, "[%s] Cx:%3.5f\n"},
                                          {&tq_lens_param_t::cy, "[%s] Cy:%3.5f\n"},
                                          {&tq_lens_param_t::fx, "[%s] Fx:%3.5f\n"},
                                          {&tq_lens_param_t::fy, "[%s] Fy:%3.5f\n"}};

void store_line(int i, const std::string &line, tq_lens_param_t &rec) {
    if (i >= 1 && i <= 4) {
        const CentreLine &c = k_centre_lines[i - 1];
        take_double(line, rec.*c.field);
        TQ_DBG(c.format, k_fn, rec.*c.field);
    } else if (i >= 5 && i <= 9) {
        take_double(line, rec.dcoeff[i - 5]);
        TQ_DBG("[%s] dcoeff[%d]:%3.5f\n", k_fn, i - 5, rec.dcoeff[i - 5]);
    } else if (i == 10 || i == 11) {
        int32_t &field = i == 10 ? rec.img_w : rec.img_h;
        take_int(line, field);
        TQ_DBG(i == 10 ? "[%s] img_w = %d\n" : "[%s] img_h = %d\n", k_fn, field);
    }
    // Lines after the eleventh are read and ignored.
}

}  // namespace

tq_lens_param_t lens_record() {
    const std::shared_ptr<const tq_lens_param_t> rec = g_lens.load();
    return rec ? *rec : k_default_lens;
}

void set_lens_record(const tq_lens_param_t &rec) {
    try {
        g_lens.store(std::make_shared<const tq_lens_param_t>(rec));
    } catch (const std::bad_alloc &) {
        // Out of memory: the record stays as it was.
    }
}

void lens_record_reset() {
    g_lens.store(nullptr);
}

LensMapRef build_lens_map(const tq_lens_param_t &lens) {
    try {
        auto m = std::make_shared<LensMap>();
        if (tq_calib_len_init_map(&m->map, &lens) <= 0) return nullptr;
        return m;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int parse_lens_text(const char *text, size_t len, tq_lens_param_t &rec) {
    int lines = 0;
    size_t pos = 0;
    while (pos < len) {
        size_t end = pos;
        while (end < len && text[end] != '\n') ++end;
        // Only the first blank-separated token counts; embedded NULs end it.
        std::string line(text + pos, end - pos);
        line.resize(std::char_traits<char>::length(line.c_str()));
        store_line(++lines, line, rec);
        pos = end + 1;
    }
    return lines;
}

int _tq_update_len_param(tarvo_dev_t *dev) {
    const std::string path = path_prefix(dev) + k_lens_file;
    FILE *f = platform::open_file(path.c_str(), "rb");
    if (!f) {
        TQ_DBG("[%s] %s Open failed, use default param\n", k_fn, path.c_str());
        return 0;
    }
    std::string text;
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (text.size() + got > static_cast<size_t>(k_lens_file_max)) break;
        text.append(buf, got);
    }
    std::fclose(f);
    tq_lens_param_t rec = lens_record();
    const int lines = parse_lens_text(text.data(), text.size(), rec);
    set_lens_record(rec);
    if (lines == 11) {
        TQ_DBG("[%s] Reload lens param ok\n", k_fn);
        return 1;
    }
    TQ_WRN("[%s] Param number maybe not right\n", k_fn);
    return 0;
}

}  // namespace tarvo::drv::epc
