// The TI OP8241 stub driver: fixed 320 x 240 geometry and a plain decode of
// 12-bit amplitude and phase pairs.
#include "common/byteio.h"
#include "tarvo/tarvo_drv.h"

namespace {

bool ti_init(tarvo_drv_t *drv, tarvo_dev_t *dev) {
    if (drv) drv->dev = dev;
    return true;
}

void ti_uninit(tarvo_drv_t *) {}

bool ti_frame_get_info(tarvo_drv_t *, tarvo_frame_info_t *info, const tq_frame_hdr_t *hdr) {
    if (!info || !hdr) return false;
    // The frame is described as 320 x 240 whatever its header says, but a
    // frame whose size is no whole number of pixels of its own geometry
    // (320 x 240 when the header leaves it out) is damaged: refused.
    const uint32_t w = hdr->width ? hdr->width : 320;
    const uint32_t h = hdr->height ? hdr->height : 240;
    if (hdr->frlen % (w * h) != 0) return false;
    info->frame_size = hdr->frlen;
    info->frame_format = hdr->frfmt;
    info->frame_idx = hdr->fridx;
    info->width = 320;
    info->height = 240;
    info->frame_bpp = 4;
    info->reserved0 = 0;
    info->reserved1 = 0;
    return true;
}

int ti_frame_decode(tarvo_drv_t *, void *dst, uint32_t dst_bytes, int out_kind, const uint16_t *src,
                    uint32_t src_bytes, const tarvo_frame_info_t *info) {
    if (!info) return -1;
    const float k_scale = 1.0f / 4096.0f;
    const float k_range = 3.122838f;
    if (dst && src && (out_kind == 1 || out_kind == 2)) {
        auto *out = static_cast<float *>(dst);
        const auto *bytes = reinterpret_cast<const uint8_t *>(src);
        uint32_t max_out = dst_bytes / 4;
        for (uint32_t k = 0; k < max_out && static_cast<uint64_t>(k) * 4 + 4 <= src_bytes; ++k) {
            uint16_t amp = tarvo::le16(bytes + 4 * k);
            uint16_t phase = tarvo::le16(bytes + 4 * k + 2);
            if (out_kind == 1)
                out[k] = static_cast<float>(phase & 0xFFF) * k_scale * k_range;
            else
                out[k] = static_cast<float>(amp & 0xFFF) * k_scale;
        }
    }
    return static_cast<int>(info->width * info->height * 4);
}

int ti_reserved5(tarvo_drv_t *) {
    return 0;
}
int ti_reserved6(tarvo_drv_t *, int, int value, int) {
    return value;
}
int ti_calib_load(tarvo_drv_t *, int, int flags, int) {
    return flags;
}
int ti_reserved8(tarvo_drv_t *) {
    return 1;
}

}  // namespace

extern "C" TARVO_API const tarvo_drv_ops_t g_tarvo_driver_op_ti = {
    ti_init,      ti_uninit,     ti_frame_get_info, ti_frame_decode, nullptr, ti_reserved5,
    ti_reserved6, ti_calib_load, ti_reserved8,      nullptr,         nullptr,
};
