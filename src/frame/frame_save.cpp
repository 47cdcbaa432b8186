// Frame files, writing: "TQ_DIST" and "TQ_GRAY" header lines at offset 0,
// then frames of samples in little-endian order.
#include <unistd.h>

#include <bit>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "common/byteio.h"
#include "frame/frame_units.h"
#include "log/log.h"
#include "platform/fd.h"
#include "tarvo/tarvo_frame.h"

namespace {

namespace units = tarvo::frame_units;
using tarvo::platform::seek_fd;
using tarvo::platform::write_fd;

const char kSaveDist[] = "tarvo_frame_save_distance";
const char kSaveGray[] = "tarvo_frame_save_gray";

// Byte counts in messages are ints.
int clamp_int(int64_t v) {
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// Writes the header line when the descriptor is at offset 0. False after a
// short write, which the caller reports.
bool write_header_at_start(int fd, const char *fmt, int img_w, int img_h) {
    if (seek_fd(fd, 0, SEEK_CUR) != 0) return true;
    char line[256];
    const int len = std::snprintf(line, sizeof line, fmt, img_w, img_h);
    return write_fd(fd, line, static_cast<size_t>(len)) == len;
}

// Converts `n` samples with `conv` into a buffer of `Bytes`-byte samples and
// writes it. Returns false (without a message) when memory runs out, and
// otherwise stores the write's result in *written.
template <int Bytes, typename Conv>
bool write_converted(int fd, const float *in, int64_t n, Conv conv, int64_t *written, bool *oom) {
    const size_t size = static_cast<size_t>(n) * Bytes;
    *oom = false;
    if (size == 0) {
        *written = 0;
        return true;
    }
    auto *buf = static_cast<uint8_t *>(std::malloc(size));
    if (!buf) {
        *oom = true;
        return false;
    }
    tarvo::ByteWriter w(buf, size);
    for (int64_t i = 0; i < n; ++i) {
        if constexpr (Bytes == 4)
            w.u32(conv(in[i]));
        else if constexpr (Bytes == 2)
            w.u16(conv(in[i]));
        else
            w.u8(conv(in[i]));
    }
    *written = write_fd(fd, buf, size);
    std::free(buf);
    return true;
}

// Floats as they are: straight from the caller's buffer on a little-endian
// host, through the little-endian writer elsewhere.
int64_t write_f32(int fd, const float *in, int64_t n, bool *oom) {
    *oom = false;
    if constexpr (std::endian::native == std::endian::little) {
        return write_fd(fd, in, static_cast<size_t>(n) * 4);
    } else {
        int64_t written = 0;
        write_converted<4>(
            fd, in, n, [](float v) { return std::bit_cast<uint32_t>(v); }, &written, oom);
        return written;
    }
}

}  // namespace

extern "C" {

TARVO_API int tarvo_frame_save_distance(int fd, int format, const float *dist, int dist_len,
                                        int img_w, int img_h) {
    static const char *const kHeaders[] = {"TQ_DIST,F32,%d,%d\n", "TQ_DIST,U32,%d,%d\n",
                                           "TQ_DIST,U16,%d,%d\n"};
    static const char *const kDataErr[] = {"[%s] faile to save TQ_DIST F32 data: %d bytes\n",
                                           "[%s] faile to save TQ_DIST U32 data: %d bytes\n",
                                           "[%s] faile to save TQ_DIST U16 data: %d bytes\n"};
    if (format < TARVO_FRAME_SAVE_F32 || format > TARVO_FRAME_SAVE_U16) {
        TQ_ERR("[%s] wrong distance save format: %d\n", kSaveDist, format);
        return 0;
    }
    if (img_w <= 0 || img_h <= 0) {
        TQ_ERR("[%s] wrong image size: %dx%d\n", kSaveDist, img_w, img_h);
        return 0;
    }
    // Only whole frames are written.
    const int64_t frame = static_cast<int64_t>(img_w) * img_h;
    const int64_t count = dist_len > 0 ? frame * (dist_len / frame) : 0;
    if (count > 0 && !dist) {
        TQ_ERR("[%s] no image data: dist_len=%d\n", kSaveDist, dist_len);
        return 0;
    }
    if (!write_header_at_start(fd, kHeaders[format], img_w, img_h)) {
        TQ_ERR("[%s] faile to save TQ_DIST header\n", kSaveDist);
        return 0;
    }

    const int64_t bytes = count * (format == TARVO_FRAME_SAVE_U16 ? 2 : 4);
    int64_t written = 0;
    bool oom = false;
    if (format == TARVO_FRAME_SAVE_F32)
        written = write_f32(fd, dist, count, &oom);
    else if (format == TARVO_FRAME_SAVE_U32)
        write_converted<4>(fd, dist, count, units::dist_u32, &written, &oom);
    else
        write_converted<2>(fd, dist, count, units::dist_u16, &written, &oom);
    if (oom) {
        TQ_ERR("[%s] malloc failed!\n", kSaveDist);
        return 0;
    }
    if (written != bytes) {
        TQ_ERR(kDataErr[format], kSaveDist, clamp_int(bytes));
        return 0;
    }
    return 1;
}

TARVO_API int tarvo_frame_save_gray(int fd, int format, const float *gray, int gray_len, int img_w,
                                    int img_h) {
    if (format != TARVO_FRAME_SAVE_U8 && format != TARVO_FRAME_SAVE_U16) {
        TQ_ERR("[%s] wrong gray save format: %d\n", kSaveGray, format);
        return 0;
    }
    if (img_w <= 0 || img_h <= 0) {
        TQ_ERR("[%s] wrong image size: %dx%d\n", kSaveGray, img_w, img_h);
        return 0;
    }
    const int64_t frame = static_cast<int64_t>(img_w) * img_h;
    // Every frame of a file has the header's size; a shorter one would shift
    // every frame after it, so an image smaller than one frame is refused.
    if (gray_len < frame) {
        TQ_ERR("[%s] gray image shorter than one frame: %d < %dx%d\n", kSaveGray, gray_len, img_w,
               img_h);
        return 0;
    }
    const int64_t n = frame;
    if (!gray) {
        TQ_ERR("[%s] no image data: gray_len=%d\n", kSaveGray, gray_len);
        return 0;
    }
    const bool u8 = format == TARVO_FRAME_SAVE_U8;
    if (!write_header_at_start(fd, u8 ? "TQ_GRAY,U8,%d,%d\n" : "TQ_GRAY,U16,%d,%d\n", img_w,
                               img_h)) {
        TQ_ERR("[%s] faile to save TQ_GRAY header\n", kSaveGray);
        return 0;
    }

    const int64_t bytes = n * (u8 ? 1 : 2);
    int64_t written = 0;
    bool oom = false;
    if (u8)
        write_converted<1>(fd, gray, n, units::gray_u8, &written, &oom);
    else
        write_converted<2>(fd, gray, n, units::gray_u16, &written, &oom);
    if (oom) {
        TQ_ERR("[%s] malloc failed!\n", kSaveGray);
        return 0;
    }
    if (written != bytes) {
        if (u8)
            TQ_ERR("[%s] faile to save TQ_GRAY U8 data: %d bytes\n", kSaveGray, clamp_int(bytes));
        else
            TQ_ERR("[%s] faile to save TQ_GRAY U16 data: %d bytes\n", kSaveGray, clamp_int(bytes));
        return 0;
    }
    return 1;
}

}  // extern "C"
