// Image steps of the engine's distance pipeline, in place on a 16-bit
// distance image of the current geometry: defective-pixel correction from
// a listed neighbour, the four- and eight-neighbour averaging filters,
// temporal averaging over frames and the background difference.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "epc/epc_state.h"
#include "epc/pipeline.h"
#include "log/log.h"
#include "platform/platform.h"

namespace tarvo::epc {

namespace {

constexpr uint16_t k_valid_max = EPC_CODE_VALID_MAX;
constexpr uint16_t k_code_low = EPC_CODE_LOW_AMPLITUDE;

std::array<BadPixel, k_bad_pixel_max> g_list{};
int g_count = 0;
std::array<BadPixel, k_bad_pixel_max> g_transformed{};
int g_transformed_count = 0;
int g_correction = 0;
uint8_t g_processing = 0;
uint32_t g_pictures = 0;
std::array<uint16_t, k_sensor_pixels> g_average{};
int g_diff_threshold = 0;
std::array<uint16_t, k_sensor_pixels> g_reference{};

const char *const k_dir_names[8] = {"W", "NW", "N", "NE", "E", "SE", "S", "SW"};

// Number of values an image of the current geometry holds; 0 when the
// geometry is not a sensor image.
size_t image_values() {
    PipeGeometry g;
    return pipe_geometry(g) ? g.pixels() : 0;
}

// Decimal value of the fixed field [from, from + len) of a line: leading
// blanks, then digits; -1 when the field holds no digit.
int field(const char *line, size_t n, size_t from, size_t len) {
    size_t i = from, end = std::min(n, from + len);
    while (i < end && line[i] == ' ') ++i;
    if (i >= end || line[i] < '0' || line[i] > '9') return -1;
    int v = 0;
    while (i < end && line[i] >= '0' && line[i] <= '9') v = v * 10 + (line[i++] - '0');
    return v;
}

// Index of the neighbour of k in direction dir in an image of C columns,
// or -1 when it lies outside the image of `values` values.
long neighbour(long k, int dir, long C, long values) {
    static const int dx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    static const int dy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
    if (dir < 0 || dir > 7 || C <= 0) return -1;
    const long col = k % C + dx[dir];
    const long n = k + dy[dir] * C + dx[dir];
    // The column test keeps W and E neighbours from wrapping into the
    // neighbouring row.
    if (col < 0 || col >= C || n < 0 || n >= values) return -1;
    return n;
}

// Averages each valid pixel with the valid ones among its neighbours
// (dx, dy lists of `nn` offsets) inside the image; see imageSetProcessing().
void average_neighbours(uint16_t *img, const int *dx, const int *dy, int nn) {
    PipeGeometry g;
    if (!img || !pipe_geometry(g)) return;
    const int C = g.C, R = g.R;
    std::vector<uint16_t> in(img, img + g.pixels());
    for (int y = 0; y < R; ++y) {
        for (int x = 0; x < C; ++x) {
            const size_t k =
                static_cast<size_t>(y) * static_cast<size_t>(C) + static_cast<size_t>(x);
            if (in[k] > k_valid_max) continue;  // codes stay
            uint32_t sum = in[k], cnt = 1;
            int present = 0, valid = 0;
            for (int i = 0; i < nn; ++i) {
                const int u = x + dx[i], v = y + dy[i];
                if (u < 0 || u >= C || v < 0 || v >= R) continue;
                ++present;
                const uint16_t w =
                    in[static_cast<size_t>(v) * static_cast<size_t>(C) + static_cast<size_t>(u)];
                if (w > k_valid_max) continue;
                ++valid;
                sum += w;
                ++cnt;
            }
            if (valid < (present + 1) / 2)
                img[k] = k_code_low;
            else
                img[k] = static_cast<uint16_t>((sum + cnt / 2) / cnt);
        }
    }
}

}  // namespace

void image_filters_reset() {
    g_list = {};
    g_count = 0;
    g_transformed = {};
    g_transformed_count = 0;
    g_correction = 0;
    g_processing = 0;
    g_pictures = 0;
    g_average = {};
    g_diff_threshold = 0;
    g_reference = {};
}

const BadPixel *bad_pixels(int *count) {
    if (count) *count = g_count;
    return g_list.data();
}
const BadPixel *bad_pixels_transformed(int *count) {
    if (count) *count = g_transformed_count;
    return g_transformed.data();
}

}  // namespace tarvo::epc

using namespace tarvo::epc;

extern "C" {

TARVO_API int imageCorrectionLoad(const char *path) {
    static const char *const fn = "imageCorrectionLoad";
    g_count = 0;
    FILE *f = path ? tarvo::platform::open_file(path, "rb") : nullptr;
    if (!f) {
        TQ_WRN("[%s] Can not open %s\n", fn, path ? path : "(null)");
        return 0;
    }
    char buf[256];
    unsigned ignored = 0, skipped = 0;
    while (std::fgets(buf, sizeof buf, f)) {
        size_t n = std::strlen(buf);
        const bool whole = n > 0 && buf[n - 1] == '\n';
        if (!whole && !std::feof(f)) {
            // Longer than a piece: the rest of the line is not part of
            // any field, so it is dropped rather than read as a new line.
            int c;
            while ((c = std::fgetc(f)) != EOF && c != '\n') {
            }
        }
        if (g_count >= k_bad_pixel_max) {
            ++ignored;
            continue;
        }
        const int x = field(buf, n, 0, 3), y = field(buf, n, 4, 3);
        if (x < 0 || y < 0) {
            ++skipped;
            continue;
        }
        char dir[3] = {0, 0, 0};
        if (n > 8) dir[0] = buf[8];
        if (n > 9 && buf[9] != '\r' && buf[9] != '\n') dir[1] = buf[9];
        if (dir[0] == '\r' || dir[0] == '\n') dir[0] = 0;
        BadPixel &e = g_list[static_cast<size_t>(g_count)];
        e = BadPixel{};
        e.x = static_cast<uint16_t>(x);
        e.y = static_cast<uint16_t>(y);
        e.direction = k_dir_unknown;
        for (uint8_t d = 0; d < 8; ++d)
            if (std::strcmp(dir, k_dir_names[d]) == 0) e.direction = d;
        if (e.direction == 0) tarvo::epc::say("strN == W\n");
        if (e.direction == 4) tarvo::epc::say("strN == E\n");
        ++g_count;
    }
    if (skipped) TQ_WRN("[%s] %u lines without a column and a row skipped\n", fn, skipped);
    if (ignored)
        TQ_WRN("[%s] list full at %d pixels: %u further lines ignored\n", fn, k_bad_pixel_max,
               ignored);
    return std::fclose(f);
}

TARVO_API int imageCorrectionGetCount(void) {
    return g_count;
}
TARVO_API int imageCorrectionGetTransformedCount(void) {
    return g_transformed_count;
}

TARVO_API int imageCorrectionEnable(int flag) {
    g_correction = flag;
    return flag;
}
TARVO_API int apiEnableImageCorrection(int flag) {
    return imageCorrectionEnable(flag);
}

TARVO_API int imageCorrectionTransform(void) {
    const ConfigState &s = state();
    const int x0 = s.roi_x0, x1 = s.roi_x1, y0 = s.roi_y0;
    const int D = s.dual_mgx ? 2 : (s.row_reduction > 0 ? s.row_reduction : 1);
    const int cr = s.col_reduction > 0 ? s.col_reduction : 1;
    const int C = s.cols;
    g_transformed_count = 0;
    for (int i = 0; i < g_count; ++i) {
        BadPixel &e = g_list[static_cast<size_t>(i)];
        const int x = e.x, y = e.y, d = e.direction;
        if (x < x0 || x > x1 || y < y0 || y > 251 - y0) continue;
        const bool west = d == 0 || d == 1 || d == 7, east = d == 3 || d == 4 || d == 5;
        if ((x == x0 && west) || (x == x1 && east) || (y == y0 && d != 0 && d != 4)) {
            tarvo::epc::say("pixel %i,%i can not be corrected\n", x, y);
            continue;
        }
        e.index = C * ((y - y0) / D) + (x - x0) / cr;
        g_transformed[static_cast<size_t>(g_transformed_count++)] = e;
    }
    return g_count;
}

TARVO_API int imageCorrectCopyPixel(int /*unused*/, int index, int direction, uint16_t **image) {
    const size_t values = image_values();
    if (!image || !*image || index < 0 || static_cast<size_t>(index) >= values) return 65535;
    uint16_t *img = *image;
    if (direction < 0 || direction > 7) {
        tarvo::epc::say("unknown neighbour, check image_correction.txt\n");
        return img[index];
    }
    const long n = neighbour(index, direction, state().cols, static_cast<long>(values));
    if (n >= 0) img[index] = img[n];
    return img[index];
}

TARVO_API void imageCorrect(uint16_t **image) {
    if (!g_correction || !image || !*image) return;
    for (int i = 0; i < g_transformed_count; ++i) {
        const BadPixel &e = g_transformed[static_cast<size_t>(i)];
        imageCorrectCopyPixel(0, e.index, e.direction, image);
    }
}

TARVO_API int imageSetProcessing(int mode) {
    g_processing = static_cast<uint8_t>(mode < 0 || mode > 3 ? 3 : mode);
    return g_processing;
}
TARVO_API int apiSetImageProcessing(int mode) {
    return imageSetProcessing(mode);
}

TARVO_API void imageAverageFourConnectivity(uint16_t **image) {
    static const int dx[4] = {-1, 1, 0, 0}, dy[4] = {0, 0, -1, 1};
    if (image) average_neighbours(*image, dx, dy, 4);
}

TARVO_API void imageAverageEightConnectivity(uint16_t **image) {
    static const int dx[8] = {-1, -1, 0, 1, 1, 1, 0, -1}, dy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
    if (image) average_neighbours(*image, dx, dy, 8);
}

TARVO_API void imageProcess(uint16_t **image) {
    if (g_processing == 1) imageAverageFourConnectivity(image);
    if (g_processing == 2) imageAverageEightConnectivity(image);
}

TARVO_API int imageSetNumberOfPicture(int n) {
    g_pictures = n <= 0 ? 1u : static_cast<uint32_t>(n);
    return static_cast<int>(g_pictures);
}
TARVO_API int apiSetImageAveraging(int n) {
    return imageSetNumberOfPicture(n);
}

TARVO_API void imageAverage(uint16_t **image) {
    if (g_pictures < 2 || !image || !*image) return;
    uint16_t *img = *image;
    const size_t values = image_values();
    const uint64_t n = g_pictures;
    for (size_t k = 0; k < values; ++k) {
        uint16_t a = g_average[k];
        const uint16_t v = img[k];
        if (a > k_valid_max) a = v;  // restart after a code
        if (v <= k_valid_max) {
            const uint16_t m = static_cast<uint16_t>((a * (n - 1) + v) / n);
            img[k] = m;
            g_average[k] = m;
        } else {
            g_average[k] = v;
        }
    }
}

TARVO_API void imageDifferenceInit(void) {
    state().image_diff_have_ref = false;
}

TARVO_API int imageDifferenceSetThreshold(int t) {
    g_diff_threshold = t;
    imageDifferenceInit();
    return t;
}
TARVO_API int apiSetImageDifferenceThreshold(int t) {
    return imageDifferenceSetThreshold(t);
}

TARVO_API void imageDifference(uint16_t **image) {
    if (!g_diff_threshold || !image || !*image) return;
    uint16_t *img = *image;
    const size_t values = image_values();
    ConfigState &s = state();
    if (!s.image_diff_have_ref) {
        std::copy(img, img + values, g_reference.begin());
        s.image_diff_have_ref = true;
        return;
    }
    for (size_t k = 0; k < values; ++k) {
        const int diff = static_cast<int>(img[k]) - static_cast<int>(g_reference[k]);
        if (std::abs(diff) < g_diff_threshold) img[k] = k_code_low;
    }
}

}  // extern "C"
