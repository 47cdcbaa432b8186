// The tarvo_ll_* wrappers: argument checks, cutting to wire widths and
// dispatch through the record's operation table. No state, no locks.
#include "log/log.h"
#include "tarvo/tarvo_ll.h"

namespace {

// The table a record dispatches through: its own, or none while it was
// never opened.
const tarvo_ll_ops_t *ops_of(const tarvo_ll_dev_t *dev) {
    return dev ? dev->ops : nullptr;
}

// The table used for a record that is not bound to a link yet.
const tarvo_ll_ops_t *open_ops_of(const tarvo_ll_dev_t *dev) {
    return dev->ops ? dev->ops : &ll_op_usb;
}

}  // namespace

extern "C" {

TARVO_API bool tarvo_ll_init(void) {
    if (!ll_op_usb.init) return false;
    bool ok = ll_op_usb.init();
    if (!ok) TQ_ERR("[%s] ll_init failed: ll[%d]\n", "tarvo_ll_init", 0);
    return ok;
}

TARVO_API void tarvo_ll_uninit(void) {
    if (ll_op_usb.uninit) ll_op_usb.uninit();
}

TARVO_API int tarvo_ll_set_debug(int level) {
    return ll_op_usb.set_debug ? ll_op_usb.set_debug(level) : 0;
}

TARVO_API tarvo_ll_dev_t *tarvo_ll_dev_open(tarvo_ll_dev_t *dev) {
    if (!dev) return nullptr;
    const tarvo_ll_ops_t *ops = open_ops_of(dev);
    return ops->dev_open ? ops->dev_open(dev) : nullptr;
}

TARVO_API tarvo_ll_dev_t *tarvo_ll_dev_open_by_fd(tarvo_ll_dev_t *dev) {
    if (!dev) return nullptr;
    const tarvo_ll_ops_t *ops = open_ops_of(dev);
    return ops->dev_open_by_fd ? ops->dev_open_by_fd(dev) : nullptr;
}

TARVO_API int tarvo_ll_dev_list(tarvo_ll_dev_t *list, int max) {
    if (max <= 0 || !list) return 0;
    return ll_op_usb.dev_list ? ll_op_usb.dev_list(list, max) : 0;
}

TARVO_API void tarvo_ll_dev_close(tarvo_ll_dev_t *dev) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (ops && ops->dev_close) ops->dev_close(dev);
}

TARVO_API bool tarvo_ll_dev_reset(tarvo_ll_dev_t *dev, int target) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->dev_reset) return false;
    return ops->dev_reset(dev, static_cast<uint8_t>(target));
}

TARVO_API bool tarvo_ll_exe_cmd(tarvo_ll_dev_t *dev, int dir, int request, int value, void *data,
                                int len, uint32_t timeout_ms) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->exe_cmd) return false;
    return ops->exe_cmd(dev, static_cast<uint8_t>(dir), static_cast<uint8_t>(request),
                        static_cast<uint16_t>(value), data, len, timeout_ms);
}

TARVO_API bool tarvo_ll_check_last_cmd(tarvo_ll_dev_t *dev, int type, int value) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->check_last_cmd) return false;
    return ops->check_last_cmd(dev, static_cast<uint8_t>(type), static_cast<uint8_t>(value));
}

TARVO_API void tarvo_ll_cap_abort(tarvo_ll_dev_t *dev) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (ops && ops->cap_abort) ops->cap_abort(dev);
}

TARVO_API bool tarvo_ll_cap_start(tarvo_ll_dev_t *dev, uint32_t cap_arg, tarvo_ll_cap_cb_t cb,
                                  void *cb_arg) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->cap_start) return false;
    return ops->cap_start(dev, cap_arg, cb, cb_arg);
}

TARVO_API bool tarvo_ll_cap_stop(tarvo_ll_dev_t *dev) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->cap_stop) return false;
    return ops->cap_stop(dev);
}

TARVO_API bool tarvo_ll_reg_write(tarvo_ll_dev_t *dev, int target, uint32_t reg_base,
                                  const uint32_t *vals, int reg_cnt) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->reg_write) return false;
    return ops->reg_write(dev, static_cast<uint8_t>(target), reg_base, vals,
                          static_cast<uint16_t>(reg_cnt));
}

TARVO_API bool tarvo_ll_reg_read(tarvo_ll_dev_t *dev, int target, uint32_t reg_base, uint32_t *vals,
                                 int reg_cnt) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->reg_read) return false;
    return ops->reg_read(dev, static_cast<uint8_t>(target), reg_base, vals,
                         static_cast<uint16_t>(reg_cnt));
}

TARVO_API bool tarvo_ll_param_set(tarvo_ll_dev_t *dev, const void *items, int n) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->param_set) return false;
    return ops->param_set(dev, items, n);
}

TARVO_API bool tarvo_ll_param_get(tarvo_ll_dev_t *dev, void *items, int n) {
    const tarvo_ll_ops_t *ops = ops_of(dev);
    if (!ops || !ops->param_get) return false;
    return ops->param_get(dev, items, n);
}

}  // extern "C"
