// Distance and gray images: argument checks around the chip driver's
// frame decode.
#include <cstdint>
#include <cstring>

#include "api/dev_door.h"
#include "log/log.h"
#include "tarvo/tarvo_frame.h"

namespace {

constexpr char k_name[] = "_tarvo_frame_get_float32";

// Room handed to the driver: 4 bytes per float, kept within the 32 bits
// the decode operation takes.
uint32_t room_bytes(int dst_len) {
    const uint64_t bytes = static_cast<uint64_t>(dst_len) * 4u;
    return bytes > 0xFFFFFFFCu ? 0xFFFFFFFCu : static_cast<uint32_t>(bytes);
}

// Both entry points, named in their log lines; out_kind 1 distance, 2 gray.
int _tarvo_frame_get_float32(tarvo_dev_t *dev, float *dst, int dst_len, const void *src,
                             uint32_t src_len, const tarvo_frame_info_t *finfo, int out_kind) {
    tarvo::dev::BusyScope busy(dev);
    tarvo::dev::OpenDevice od;
    if (!tarvo::dev::open_device(dev, &od) || !dst || !src || dst_len < 1) {
        TQ_DBG("[%s] Wrong params\n", k_name);
        return 0;
    }
    // The information of the frame the capture calls took last; it is a
    // copy, so a later capture call cannot change it under the decode.
    tarvo_frame_info_t info;
    if (finfo)
        info = *finfo;
    else
        info = od.last_info;

    if (info.frame_size > src_len) {
        TQ_ERR("[%s] raw frame length too small: datalen=%d, frlen=%d\n", k_name,
               static_cast<int>(src_len), static_cast<int>(info.frame_size));
        return 0;
    }

    tarvo_drv_t *drv = od.drv;
    const tarvo_drv_ops_t *ops = drv ? drv->ops : nullptr;
    int r = -1;  // a driver that cannot decode fails like a failed decode
    if (ops && ops->frame_decode)
        r = ops->frame_decode(drv, dst, room_bytes(dst_len), out_kind,
                              static_cast<const uint16_t *>(src), src_len, &info);
    if (r < 0) {
        TQ_ERR("[%s] raw frame decode to %d failed: %d\n", k_name, out_kind, r);
        return 0;
    }
    // A driver reports the size of the whole image even when it wrote only
    // the part that fitted; never claim more floats than the room held.
    const int floats = r / 4;
    return floats < dst_len ? floats : dst_len;
}

}  // namespace

extern "C" {

TARVO_API int tarvo_frame_get_distance(tarvo_dev_t *dev, float *dst, int dst_len, const void *src,
                                       uint32_t src_len, const tarvo_frame_info_t *finfo) {
    return _tarvo_frame_get_float32(dev, dst, dst_len, src, src_len, finfo, TARVO_DRV_OUT_DISTANCE);
}

TARVO_API int tarvo_frame_get_gray(tarvo_dev_t *dev, float *dst, int dst_len, const void *src,
                                   uint32_t src_len, const tarvo_frame_info_t *finfo) {
    return _tarvo_frame_get_float32(dev, dst, dst_len, src, src_len, finfo, TARVO_DRV_OUT_GRAY);
}

}  // extern "C"
