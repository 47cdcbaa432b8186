// Device enumeration, open, close and reset.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "api/dev_ctx.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_log.h"

namespace {

// The record tarvo_dev_open(nullptr) opens.
tarvo_dev_t g_default_dev;

// Close waits for calls still inside the device: 30 steps of 100 ms.
constexpr int k_busy_steps = 30;
constexpr uint32_t k_busy_step_ms = 100;

// Text of a parameter: up to its first NUL, at most its value bytes; the
// rest of the 32-byte field zero.
void copy_text(char (&field)[32], const tarvo_param_item_t &item) {
    std::memset(field, 0, sizeof field);
    size_t n = 0;
    while (n < sizeof item.param_val && item.param_val[n] != 0) ++n;
    std::memcpy(field, item.param_val, n);
}

// Bytes of a parameter, for the length the camera reported, limited to the
// value that travels (18 bytes) and to the field.
template <size_t N>
void copy_bytes(uint8_t (&field)[N], const tarvo_param_item_t &item) {
    std::memset(field, 0, N);
    size_t n = item.param_val_len;
    if (n > sizeof item.param_val) n = sizeof item.param_val;
    if (n > N) n = N;
    std::memcpy(field, item.param_val, n);
}

// Reads parameters 2, 3, 5 and 6 into the record.
bool read_identity(tarvo_dev_t *dev) {
    tarvo_param_item_t items[4] = {};
    items[0].param_id = TARVO_PARAM_ID_TEXT;
    items[1].param_id = TARVO_PARAM_PRODUCT;
    items[2].param_id = TARVO_PARAM_ID_BLOCK;
    items[3].param_id = TARVO_PARAM_VERSION;
    if (!tarvo::dev::param_batch_get(dev, items, 4)) return false;
    copy_text(dev->id_text, items[0]);
    copy_text(dev->product, items[1]);
    copy_bytes(dev->id_block, items[2]);
    copy_bytes(dev->version, items[3]);
    return true;
}

void release_record(tarvo_dev_t *dev) {
    if (dev->free_on_close) std::free(dev);
}

// Releases everything a context owns once no call can reach it.
// Closes the link and stops the driver of a context whose calls all left.
void close_link_and_driver(tarvo_dev_ctx_t *ctx) {
    tarvo_ll_dev_close(&ctx->ll);
    if (ctx->drv && ctx->drv->ops && ctx->drv->ops->uninit) ctx->drv->ops->uninit(ctx->drv);
}

void free_ctx(tarvo_dev_ctx_t *ctx) {
    pthread_cond_destroy(&ctx->cap_cond);
    pthread_mutex_destroy(&ctx->cap_lock);
    if (ctx->stream) tq_stream_destroy(ctx->stream);
    std::free(ctx);
}

// A context whose close gave up waiting, with its record when the close
// was to free that as well.
struct Orphan {
    tarvo_dev_t *dev;
    tarvo_dev_ctx_t *ctx;
    bool free_record;
};
std::mutex g_orphan_lock;
std::vector<Orphan> g_orphans;
std::atomic<int> g_orphan_count{0};

// Undoes a failed open: the link record goes, and with free_on_close the
// record itself.
tarvo_dev_t *fail_open(tarvo_dev_t *dev, tarvo_dev_ctx_t *ctx) {
    // An open that found no camera leaves the link's private data (and its
    // transfer buffers) on the record for a retry; the context goes now, so
    // the link must release them. The record may never have been bound to
    // a link, so go to the USB link's own close when it was not.
    if (ctx->ll.priv) {
        const tarvo_ll_ops_t *ops = ctx->ll.ops ? ctx->ll.ops : &ll_op_usb;
        if (ops->dev_close) ops->dev_close(&ctx->ll);
    }
    tarvo::dev::store(ctx->opened, uint8_t{0});
    std::atomic_ref<tarvo_ll_dev_t *>(dev->lldev).store(nullptr);
    std::free(ctx);
    release_record(dev);
    return nullptr;
}

tarvo_dev_ctx_t *new_ctx(const tarvo_dev_t *dev) {
    auto *ctx = static_cast<tarvo_dev_ctx_t *>(std::calloc(1, sizeof(tarvo_dev_ctx_t)));
    if (!ctx) return nullptr;
    std::memcpy(&ctx->ll.if_info, &dev->if_info, sizeof dev->if_info);
    ctx->ll.if_type = dev->if_type;
    return ctx;
}

// Everything tarvo_dev_close does after the capture was stopped; returns
// false when the record itself was released.
bool close_ctx(tarvo_dev_t *dev, tarvo_dev_ctx_t *ctx) {
    static const char k_name[] = "tarvo_dev_close";
    // New calls on the record fail from here on; calls already inside hold
    // api_busy, and the stop above woke those that wait for frames.
    std::atomic_ref<tarvo_ll_dev_t *>(dev->lldev).store(nullptr);
    tarvo::dev::store(ctx->opened, uint8_t{0});
    if (tarvo::dev::load(ctx->capturing) && !tarvo::dev::cap_stop_ctx(dev, ctx))
        TQ_ERR("[%s] stop capture failed!\n", k_name);

    int step = 0;
    while (tarvo::dev::busy(dev) && step < k_busy_steps) {
        tarvo::platform::sleep_ms(k_busy_step_ms);
        ++step;
    }
    bool late = tarvo::dev::busy(dev);
    if (late) TQ_WRN("[%s]  api wait timeout\n", k_name);

    bool keep = !dev->free_on_close;
    if (late) {
        // A call (most likely inside an application callback) still uses
        // the context, and may still send a command or decode a frame:
        // closing the link, stopping the driver or freeing the context now
        // would pull them from under that call. The last call to leave the
        // device does all three instead.
        {
            std::lock_guard<std::mutex> lock(g_orphan_lock);
            g_orphans.push_back({dev, ctx, dev->free_on_close != 0});
            g_orphan_count.fetch_add(1);
        }
        // It may have left between the test above and the registration.
        if (!tarvo::dev::busy(dev)) tarvo::dev::reap_orphans(dev);
        return keep;
    }
    // The link goes after the calls left: a command still running on
    // another thread would otherwise use the link's freed private data.
    close_link_and_driver(ctx);
    free_ctx(ctx);
    release_record(dev);
    return keep;
}

}  // namespace

namespace tarvo::dev {

std::atomic<int> &orphans_pending() {
    return g_orphan_count;
}

void reap_orphans(tarvo_dev_t *dev) {
    std::vector<Orphan> done;
    {
        std::lock_guard<std::mutex> lock(g_orphan_lock);
        if (busy(dev)) return;
        for (size_t i = 0; i < g_orphans.size();) {
            if (g_orphans[i].dev == dev) {
                done.push_back(g_orphans[i]);
                g_orphans.erase(g_orphans.begin() + static_cast<std::ptrdiff_t>(i));
                g_orphan_count.fetch_sub(1);
            } else {
                ++i;
            }
        }
    }
    for (const Orphan &o : done) {
        close_link_and_driver(o.ctx);
        free_ctx(o.ctx);
        if (o.free_record) std::free(o.dev);
    }
}

}  // namespace tarvo::dev

extern "C" {

TARVO_API int tarvo_dev_list(tarvo_dev_t *list, int max) {
    if (!list || max <= 0) {
        TQ_ERR("[%s]   wrong params: dev_list=%p, dev_list_num=%d \n", "tarvo_dev_list",
               static_cast<void *>(list), max);
        return 0;
    }
    std::memset(list, 0, sizeof(tarvo_dev_t) * static_cast<size_t>(max));
    auto *scratch = static_cast<tarvo_ll_dev_t *>(
        std::calloc(static_cast<size_t>(max), sizeof(tarvo_ll_dev_t)));
    if (!scratch) return 0;
    int n = tarvo_ll_dev_list(scratch, max);
    if (n > max) n = max;
    for (int i = 0; i < n; ++i) {
        std::memcpy(&list[i].if_info, &scratch[i].if_info, sizeof list[i].if_info);
        list[i].if_type = scratch[i].if_type;
    }
    std::free(scratch);
    return n < 0 ? 0 : n;
}

TARVO_API tarvo_dev_t *tarvo_dev_open(tarvo_dev_t *dev) {
    static const char k_name[] = "tarvo_dev_open";
    if (!dev) {
        if (tarvo::dev::ctx_load(&g_default_dev)) {
            TQ_ERR("[%s] default device may not close properly!", k_name);
            return nullptr;
        }
        std::memset(&g_default_dev, 0, sizeof g_default_dev);
        dev = &g_default_dev;
    }

    tarvo_dev_ctx_t *ctx = tarvo::dev::ctx_load(dev);
    if (ctx && tarvo::dev::load(ctx->opened)) {
        TQ_WRN("[%s] device not close correctly. close it..\n", k_name);
        if (!close_ctx(dev, ctx)) return nullptr;
        ctx = nullptr;
    }
    if (!ctx) {
        ctx = new_ctx(dev);
        if (!ctx) {
            release_record(dev);
            return nullptr;
        }
        std::atomic_ref<tarvo_ll_dev_t *>(dev->lldev).store(&ctx->ll);
    }

    TQ_DBG("[%s] open tarvo device @ %p\n", k_name, static_cast<void *>(dev));
    if (!tarvo_ll_dev_open(&ctx->ll)) {
        TQ_ERR("[%s] open device failed!\n", k_name);
        return fail_open(dev, ctx);
    }
    std::memcpy(&dev->if_info, &ctx->ll.if_info, sizeof dev->if_info);
    dev->path_prefix = tarvo_path_get();
    dev->if_type = ctx->ll.if_type;
    tarvo::dev::store(ctx->opened, uint8_t{1});

    if (!read_identity(dev)) {
        TQ_WRN("[%s]  cannot get info of device\n", k_name);
        tarvo_ll_dev_close(&ctx->ll);
        return fail_open(dev, ctx);
    }

    const tarvo_drv_t *row = tarvo_drv_find(dev);
    if (!row) {
        TQ_ERR("[%s] cannot find driver for device: product=%s\n", k_name, dev->product);
        tarvo_ll_dev_close(&ctx->ll);
        return fail_open(dev, ctx);
    }
    // The device's own copy of the row: its driver state lives there.
    ctx->drv_row = *row;
    ctx->drv_row.dev = nullptr;
    ctx->drv_row.priv = nullptr;
    ctx->drv = &ctx->drv_row;

    // Waits for frames measure their time-outs on the monotonic clock.
    if (tarvo::platform::mono_cond_init(&ctx->cap_cond) != 0) {
        TQ_ERR("[%s] pthread_cond_init failed\n", k_name);
        std::exit(-1);
    }
    if (pthread_mutex_init(&ctx->cap_lock, nullptr) != 0) {
        TQ_ERR("[%s] pthread_mutex_init failed\n", k_name);
        pthread_cond_destroy(&ctx->cap_cond);
        std::exit(-1);
    }
    tq_stream_cfg_t cfg = {tarvo::dev::k_open_frames};
    ctx->stream = tq_stream_create(&cfg);
    if (!ctx->stream) {
        TQ_ERR("[%s] tq_stream_create failed\n", k_name);
        std::exit(-1);
    }

    // api_busy counts the calls inside the record and is 0 here unless a
    // call left behind by an earlier close is still running; it is not
    // forced to 0, so that call's leaving still balances it.
    tarvo::dev::store(ctx->capturing, uint8_t{0});
    tarvo::dev::store(ctx->cap_stopped, 1u);

    // An empty driver slot is never called. A driver that did not start
    // leaves the device reachable (parameters, registers, raw frames, a
    // firmware upgrade); one that refuses the device fails the open.
    const tarvo_drv_ops_t *ops = ctx->drv->ops;
    if (ops && ops->init && !ops->init(ctx->drv, dev)) {
        if (ctx->drv->dev != dev) {
            // The driver logged why; nothing of it is left to undo.
            tarvo_ll_dev_close(&ctx->ll);
            pthread_cond_destroy(&ctx->cap_cond);
            pthread_mutex_destroy(&ctx->cap_lock);
            tq_stream_destroy(ctx->stream);
            return fail_open(dev, ctx);
        }
        TQ_WRN("[%s] %s did not start: raw frames only, decoding and filters fail\n", k_name,
               ctx->drv->name);
        return dev;
    }
    if (ops && ops->calib_load && ops->calib_load(ctx->drv, 0, 0, 2) < 0)
        TQ_ERR("[%s] Load calibration data failed\n", k_name);
    return dev;
}

TARVO_API tarvo_dev_t *tarvo_dev_open_by_fd(int) {
    TQ_ERR("[%s] tarvo_dev_open_by_fd currently only support in android!\n",
           "tarvo_dev_open_by_fd");
    return nullptr;
}

TARVO_API void tarvo_dev_close(tarvo_dev_t *dev) {
    TQ_DBG("[%s] close tarvo device @ %p\n", "tarvo_dev_close", static_cast<void *>(dev));
    tarvo_dev_ctx_t *ctx = tarvo::dev::ctx_load(dev);
    if (!ctx) return;
    if (tarvo::dev::in_callback_of(ctx)) {
        // The close would wait for the call this callback runs in.
        TQ_ERR("[%s] called from a callback of this device; close it from another thread\n",
               "tarvo_dev_close");
        return;
    }
    close_ctx(dev, ctx);
}

TARVO_API bool tarvo_dev_reset(tarvo_dev_t *dev, unsigned target) {
    static const char k_name[] = "tarvo_dev_reset";
    TQ_DBG("[%s] rest device (target=%d)\n", k_name, static_cast<int>(target));
    tarvo::dev::BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = tarvo::dev::open_ctx(dev);
    if (!ctx) {
        TQ_ERR(tarvo::k_no_device, k_name);
        return false;
    }
    if (target > 8) {
        TQ_ERR("[%s] wrong reset target: %d\n", k_name, static_cast<int>(target));
        return false;
    }
    return tarvo_ll_dev_reset(&ctx->ll, static_cast<uint8_t>(target));
}

TARVO_API struct tarvo_drv *tarvo_dev_get_drv(tarvo_dev_t *dev) {
    tarvo_dev_ctx_t *ctx = tarvo::dev::ctx_load(dev);
    return ctx ? ctx->drv : nullptr;
}

}  // extern "C"
