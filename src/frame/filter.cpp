// Host-side filters: the public switches route to the chip driver of the
// device, which keeps the settings and applies them while decoding.
#include <cstring>

#include "api/dev_door.h"
#include "log/log.h"
#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_frame.h"

namespace {

// The driver of an open device, looked up again when open left it empty.
// Logs and returns null when there is none. Call with api_busy held.
tarvo_drv_t *filter_driver(const char *name, tarvo_dev_t *dev) {
    tarvo::dev::OpenDevice od;
    if (!tarvo::dev::open_device(dev, &od)) {
        TQ_ERR(tarvo::k_no_device, name);
        return nullptr;
    }
    tarvo_drv_t *drv = od.drv;
    if (!drv) {
        const tarvo_drv_t *row = tarvo_drv_find(dev);
        if (!row) {
            // The product field need not hold a terminator.
            char product[sizeof dev->product + 1];
            std::memcpy(product, dev->product, sizeof dev->product);
            product[sizeof dev->product] = '\0';
            TQ_ERR("[%s] cannot find driver for device: product=%s\n", name, product);
            return nullptr;
        }
        drv = tarvo::dev::adopt_driver(dev, row);
    }
    return drv;
}

// True when the driver has the filter operation; logs when it has not.
template <typename Op>
bool has_op(const char *name, const tarvo_drv_t *drv, Op op) {
    if (op) return true;
    TQ_WRN("[%s] %s has no filter operations\n", name, drv->name);
    return false;
}

}  // namespace

extern "C" {

TARVO_API int tarvo_filter_enable(tarvo_dev_t *dev, int filter_id, const void *arg,
                                  uint32_t arg_size) {
    if (!dev) return -1;
    tarvo::dev::BusyScope busy(dev);
    static const char k_name[] = "tarvo_filter_enable";
    tarvo_drv_t *drv = filter_driver(k_name, dev);
    if (!drv || !has_op(k_name, drv, drv->ops ? drv->ops->filter_enable : nullptr)) return -1;
    return drv->ops->filter_enable(drv, static_cast<uint32_t>(filter_id), arg,
                                   static_cast<int>(arg_size))
               ? 1
               : 0;
}

TARVO_API int tarvo_filter_disable(tarvo_dev_t *dev, int filter_id) {
    if (!dev) return -1;
    tarvo::dev::BusyScope busy(dev);
    static const char k_name[] = "tarvo_filter_disable";
    tarvo_drv_t *drv = filter_driver(k_name, dev);
    if (!drv || !has_op(k_name, drv, drv->ops ? drv->ops->filter_disable : nullptr)) return -1;
    return drv->ops->filter_disable(drv, static_cast<uint32_t>(filter_id)) ? 1 : 0;
}

}  // extern "C"
