// Frame files, reading: header parsing at offset 0, the remembered header
// per kind of file, and frame conversion into the caller's buffer.
#include <unistd.h>

#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/byteio.h"
#include "frame/frame_units.h"
#include "log/log.h"
#include "platform/fd.h"
#include "tarvo/tarvo_frame.h"

namespace {

namespace units = tarvo::frame_units;
using tarvo::platform::read_fd;
using tarvo::platform::seek_fd;

constexpr size_t kHeaderMax = 256;
// Frames are read through a buffer of at most this size, so that a header
// claiming a huge frame costs no more memory than the file really holds.
constexpr size_t kChunkMax = size_t{4} << 20;

struct Header {
    int w = 0;
    int h = 0;
    int format = 0;
};

struct HeaderPattern {
    const char *prefix;  // the literal text before "%d,%d"
    int format;
};

// One kind of frame file: its patterns in the order they are tried, and the
// header last parsed for it.
struct FileKind {
    const char *fn;
    HeaderPattern patterns[3];
    std::mutex mu;
    Header last;
};

FileKind g_dist{"tarvo_frame_load_distance",
                {{"TQ_DIST,F32,", TARVO_FRAME_SAVE_F32},
                 {"TQ_DIST,U32,", TARVO_FRAME_SAVE_U32},
                 {"TQ_DIST,U16,", TARVO_FRAME_SAVE_U16}},
                {},
                {}};
FileKind g_gray{
    "tarvo_frame_load_gray",
    {{"TQ_GRAY,U8,", TARVO_FRAME_SAVE_U8}, {"TQ_GRAY,U16,", TARVO_FRAME_SAVE_U16}, {nullptr, 0}},
    {},
    {}};

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A decimal integer as scanf's %d reads it (leading white space, optional
// sign). Numbers that do not fit an int, or are negative, are refused:
// they describe no frame.
bool parse_count(const char *&p, const char *end, int *out) {
    while (p < end && is_space(*p)) ++p;
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
    if (p == end || *p < '0' || *p > '9') return false;
    int64_t v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        v = v * 10 + (*p++ - '0');
        if (v > INT_MAX) return false;
    }
    if (neg && v != 0) return false;
    *out = static_cast<int>(v);
    return true;
}

// Matches the header text (up to its first NUL) against the patterns.
bool parse_header(const char *text, size_t len, const FileKind &kind, Header *out) {
    const char *end = text + strnlen(text, len);
    for (const HeaderPattern &pat : kind.patterns) {
        if (!pat.prefix) break;
        const size_t plen = std::strlen(pat.prefix);
        if (static_cast<size_t>(end - text) < plen || std::memcmp(text, pat.prefix, plen) != 0)
            continue;
        const char *p = text + plen;
        Header h;
        if (!parse_count(p, end, &h.w) || p == end || *p++ != ',' || !parse_count(p, end, &h.h))
            continue;
        h.format = pat.format;
        *out = h;
        return true;
    }
    return false;
}

// Reads and parses the header at offset 0 and leaves the descriptor at the
// first frame. False after logging.
bool read_header(int fd, FileKind &kind) {
    char buf[kHeaderMax + 1];
    const int64_t got = read_fd(fd, buf, kHeaderMax);
    if (got < 1) {
        TQ_ERR("[%s] faile to load TQ file header\n", kind.fn);
        return false;
    }
    const void *nl = std::memchr(buf, '\n', static_cast<size_t>(got));
    const size_t len =
        nl ? static_cast<size_t>(static_cast<const char *>(nl) - buf) + 1 : kHeaderMax;
    Header h;
    if (!parse_header(buf, len < static_cast<size_t>(got) ? len : static_cast<size_t>(got), kind,
                      &h)) {
        TQ_ERR("[%s] faile to load TQ file header\n", kind.fn);
        kind.last.w = 0;
        kind.last.h = 0;
        return false;
    }
    kind.last = h;
    if (seek_fd(fd, static_cast<int64_t>(len), SEEK_SET) != static_cast<int64_t>(len)) {
        TQ_ERR("[%s] faile to load TQ file header\n", kind.fn);
        return false;
    }
    return true;
}

size_t sample_size(int format) {
    switch (format) {
        case TARVO_FRAME_SAVE_F32:
        case TARVO_FRAME_SAVE_U32:
            return 4;
        case TARVO_FRAME_SAVE_U16:
            return 2;
        default:
            return 1;
    }
}

// Converts the samples of one chunk; `first` is the index of its first
// sample in the frame, and only samples below `m` are stored.
void convert(const uint8_t *buf, size_t n, int format, bool gray, int64_t first, int64_t m,
             float *dst) {
    const int64_t stop = first + static_cast<int64_t>(n) < m ? first + static_cast<int64_t>(n) : m;
    tarvo::ByteReader r(buf, n * sample_size(format));
    for (int64_t i = first; i < stop; ++i) {
        switch (format) {
            case TARVO_FRAME_SAVE_F32:
                dst[i] = std::bit_cast<float>(r.u32());
                break;
            case TARVO_FRAME_SAVE_U32:
                dst[i] = units::mm_u32_to_m(r.u32());
                break;
            case TARVO_FRAME_SAVE_U16:
                dst[i] = gray ? static_cast<float>(r.u16()) : units::mm_u16_to_m(r.u16());
                break;
            default:
                dst[i] = static_cast<float>(r.u8());
                break;
        }
    }
}

int load_frame(FileKind &kind, bool gray, int fd, float *dst, int dst_len, int *w_out, int *h_out) {
    std::lock_guard<std::mutex> lock(kind.mu);
    if (seek_fd(fd, 0, SEEK_CUR) == 0 && !read_header(fd, kind)) return 0;
    const Header h = kind.last;
    if (h.w <= 0 || h.h <= 0) return 0;

    const size_t ss = sample_size(h.format);
    const int64_t samples = static_cast<int64_t>(h.w) * h.h;  // < 2^62
    const uint64_t bytes = static_cast<uint64_t>(samples) * ss;
    size_t chunk = bytes < kChunkMax ? static_cast<size_t>(bytes) : kChunkMax;
    // A regular file that holds less than the frame needs a buffer just
    // larger than what is left in it: the first read then comes up short,
    // as it would with the full buffer, before anything is converted.
    const int64_t size = tarvo::platform::file_size_fd(fd);
    const int64_t pos = seek_fd(fd, 0, SEEK_CUR);
    if (size >= 0 && pos >= 0) {
        const uint64_t left = size > pos ? static_cast<uint64_t>(size - pos) : 0;
        if (left < chunk) chunk = static_cast<size_t>(left / ss + 1) * ss;
    }
    auto *buf = static_cast<uint8_t *>(std::malloc(chunk));
    if (!buf) {
        TQ_ERR("[%s] malloc failed!\n", kind.fn);
        return 0;
    }
    const int64_t m = (dst && dst_len >= 1) ? (dst_len < samples ? dst_len : samples) : 0;
    uint64_t done = 0;
    while (done < bytes) {
        const size_t want = bytes - done < chunk ? static_cast<size_t>(bytes - done) : chunk;
        const int64_t r = read_fd(fd, buf, want);
        if (r < 0 || static_cast<uint64_t>(r) != want) {
            const int64_t ret = r < 0 ? r : static_cast<int64_t>(done) + r;
            TQ_ERR("[%s] read %d date failed: ret= %d\n", kind.fn,
                   bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes),
                   ret > INT_MAX ? INT_MAX : static_cast<int>(ret));
            std::free(buf);
            return 0;
        }
        convert(buf, want / ss, h.format, gray, static_cast<int64_t>(done / ss), m, dst);
        done += want;
    }
    std::free(buf);
    if (w_out) *w_out = h.w;
    if (h_out) *h_out = h.h;
    return static_cast<int>(m);
}

}  // namespace

extern "C" {

TARVO_API int tarvo_frame_load_distance(int fd, float *dst, int dst_len, int *w_out, int *h_out) {
    return load_frame(g_dist, false, fd, dst, dst_len, w_out, h_out);
}

TARVO_API int tarvo_frame_load_gray(int fd, float *dst, int dst_len, int *w_out, int *h_out) {
    return load_frame(g_gray, true, fd, dst, dst_len, w_out, h_out);
}

}  // extern "C"
