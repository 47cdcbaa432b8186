// The grayscale gain/offset text file of the chip: gains and offsets per
// pixel, kept for the stand-alone calibration routines (the distance
// kernel does not use them).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "epc/epc_state.h"
#include "log/log.h"
#include "platform/platform.h"

namespace tarvo::epc {

namespace {

std::vector<double> g_gain, g_offset;

// One text line of any length; false at the end of the file.
bool read_line(FILE *f, std::string &line) {
    line.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n') return true;
        line.push_back(static_cast<char>(c));
    }
    return !line.empty();
}

// Up to `cols` blank-separated decimal numbers of a line into out[0..].
void parse_row(const std::string &line, int cols, double *out) {
    const char *p = line.c_str();
    for (int c = 0; c < cols; ++c) {
        char *end = nullptr;
        double v = std::strtod(p, &end);
        if (end == p) break;
        out[c] = v;
        p = end;
    }
}

}  // namespace

const std::vector<double> &grayscale_gain() {
    return g_gain;
}
const std::vector<double> &grayscale_offset() {
    return g_offset;
}

// Loads "./grayscale660_gain_offset_W%03i_C%03i.txt" (epc635: "grayscale635")
// for the current geometry; returns 1 when the file opened.
int grayscale_load() {
    static const char *const fn = "configInit";
    ConfigState &s = state();
    char name[256];
    std::snprintf(name, sizeof name, "./grayscale%s_gain_offset_W%03i_C%03i.txt",
                  is_epc635(s.partType) ? "635" : "660", s.waferID, s.chipID);
    FILE *f = platform::open_file(name, "r");
    if (!f) {
        TQ_DBG("[%s] Could not open %s file.\n", fn, name);
        return 0;
    }
    TQ_DBG("[%s] %s\n", fn, name);
    const int rows = s.rows_per_half * s.halves, cols = s.cols;
    const size_t pixels = rows > 0 && cols > 0 ? static_cast<size_t>(rows) * cols : 0;
    g_gain.assign(pixels, 0.0);
    g_offset.assign(pixels, 0.0);
    std::string line;
    for (int r = 0; r < rows; ++r) {
        if (!read_line(f, line)) {
            TQ_WRN("[%s] error gain: %d\n", fn, r + 1);
            continue;
        }
        parse_row(line, cols, g_gain.data() + static_cast<size_t>(r) * cols);
    }
    for (int r = 0; r < rows; ++r) {
        if (!read_line(f, line)) {
            TQ_WRN("[%s] error offset: %d\n", fn, r + 1);
            continue;
        }
        parse_row(line, cols, g_offset.data() + static_cast<size_t>(r) * cols);
    }
    std::fclose(f);
    return 1;
}

}  // namespace tarvo::epc
