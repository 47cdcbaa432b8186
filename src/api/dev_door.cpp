// The device door: what the rooms above may take from an open device.
#include "api/dev_door.h"

#include "api/dev_ctx.h"

namespace tarvo::dev {

bool open_device(tarvo_dev_t *dev, OpenDevice *out) {
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx) return false;
    out->drv = load(ctx->drv);
    out->ll = &ctx->ll;
    out->last_info = ctx->last_info;
    return true;
}

tarvo_drv_t *adopt_driver(tarvo_dev_t *dev, const tarvo_drv_t *row) {
    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx || !row) return nullptr;
    ctx->drv_row = *row;
    ctx->drv_row.dev = dev;
    ctx->drv_row.priv = nullptr;
    store(ctx->drv, &ctx->drv_row);
    return &ctx->drv_row;
}

}  // namespace tarvo::dev
