// Parameter and register access: the public items are converted to the
// command channel's 20-byte link items and back, and handed to the link.
#include <cstdlib>
#include <cstring>

#include "api/dev_ctx.h"
#include "common/byteio.h"
#include "log/log.h"

namespace {

constexpr size_t k_item = TARVO_LL_PARAM_ITEM_SIZE;
constexpr size_t k_val = sizeof(((tarvo_param_item_t *)nullptr)->param_val);
static_assert(k_item == 2 + k_val);

// Link form of one item: u8 identifier (the id's low byte), u8 length, the
// 18 value bytes.
void encode_item(uint8_t *out, const tarvo_param_item_t &item, bool with_value) {
    tarvo::ByteWriter w(out, k_item);
    w.u8(static_cast<uint8_t>(item.param_id & 0xFF));
    w.u8(item.param_val_len);
    if (with_value)
        w.bytes(item.param_val, k_val);
    else
        w.zeros(k_val);
}

void decode_item(const uint8_t *in, tarvo_param_item_t &item) {
    tarvo::ByteReader r(in, k_item);
    r.skip(1);  // the identifier; the caller's param_id stays as it was
    item.param_val_len = r.u8();
    r.bytes(item.param_val, k_val);
}

}  // namespace

namespace tarvo::dev {

bool param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count) {
    static const char k_name[] = "_tarvo_param_batch_get";
    BusyScope busy(dev);
    size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    auto *link = static_cast<uint8_t *>(std::calloc(n ? n : 1, k_item));
    if (!link) return false;

    tarvo_dev_ctx_t *ctx = open_ctx(dev);
    if (!ctx) {
        TQ_ERR(tarvo::k_no_device, k_name);
        std::free(link);
        return false;
    }
    if (n && !items) {
        std::free(link);
        return false;
    }
    for (size_t i = 0; i < n; ++i) encode_item(link + i * k_item, items[i], false);

    TQ_DBG("[%s] get %d param\n", k_name, count);
    bool ok = tarvo_ll_param_get(&ctx->ll, link, count);
    if (ok) {
        for (size_t i = 0; i < n; ++i) decode_item(link + i * k_item, items[i]);
        // A length beyond the value field would lead callers to read past it.
        for (size_t i = 0; i < n && ok; ++i)
            if (items[i].param_val_len > k_val) {
                TQ_ERR("[%s] parameter %d claims %d bytes\n", k_name, items[i].param_id,
                       items[i].param_val_len);
                items[i].param_val_len = 0;
                ok = false;
            }
    }
    std::free(link);
    return ok;
}

}  // namespace tarvo::dev

namespace {

// The shared body of the register batches: the count cut to 16 bits, the
// trace line, the busy flag and the open check, then the link call.
template <class LinkOp>
bool reg_batch(const char *name, tarvo_dev_t *dev, int target, uint32_t reg_base, uint32_t *vals,
               unsigned count, LinkOp op) {
    uint16_t cnt = static_cast<uint16_t>(count);
    TQ_TRC("[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", name, target,
           static_cast<int>(reg_base), cnt, static_cast<void *>(vals));
    tarvo::dev::BusyScope busy(dev);
    tarvo_dev_ctx_t *ctx = tarvo::dev::open_ctx(dev);
    if (!ctx) {
        TQ_ERR(tarvo::k_no_device, name);
        return false;
    }
    if (cnt && !vals) return false;
    return op(&ctx->ll, static_cast<uint8_t>(target), reg_base, vals, cnt);
}

}  // namespace

extern "C" {

TARVO_API bool tarvo_param_batch_set(tarvo_dev_t *dev, const tarvo_param_item_t *items, int count) {
    static const char k_name[] = "_tarvo_param_batch_set";
    tarvo::dev::BusyScope busy(dev);
    if (count < 0 || (count > 0 && !items)) return false;
    size_t n = static_cast<size_t>(count);
    auto *link = static_cast<uint8_t *>(std::calloc(n ? n : 1, k_item));
    if (!link) return false;

    for (size_t i = 0; i < n; ++i) {
        encode_item(link + i * k_item, items[i], true);
        if (items[i].param_id == TARVO_PARAM_FRAME_RATE)
            TQ_DBG("[%s] Set FPS:%d\n", k_name, static_cast<int>(tarvo::le32(items[i].param_val)));
    }
    TQ_DBG("[%s] set %d param\n", k_name, count);

    bool ok = false;
    tarvo_dev_ctx_t *ctx = tarvo::dev::open_ctx(dev);
    if (!ctx)
        TQ_ERR(tarvo::k_no_device, k_name);
    else
        ok = tarvo_ll_param_set(&ctx->ll, link, count);
    std::free(link);
    return ok;
}

TARVO_API bool tarvo_param_batch_get(tarvo_dev_t *dev, tarvo_param_item_t *items, int count) {
    return tarvo::dev::param_batch_get(dev, items, count);
}

TARVO_API bool tarvo_reg_batch_write(tarvo_dev_t *dev, int target, uint32_t reg_base,
                                     const uint32_t *vals, unsigned count) {
    return reg_batch("tarvo_reg_batch_write", dev, target, reg_base, const_cast<uint32_t *>(vals),
                     count, [](tarvo_ll_dev_t *ll, int t, uint32_t base, uint32_t *v, int n) {
                         return tarvo_ll_reg_write(ll, t, base, v, n);
                     });
}

TARVO_API bool tarvo_reg_batch_read(tarvo_dev_t *dev, int target, uint32_t reg_base, uint32_t *vals,
                                    unsigned count) {
    return reg_batch("tarvo_reg_batch_read", dev, target, reg_base, vals, count,
                     [](tarvo_ll_dev_t *ll, int t, uint32_t base, uint32_t *v, int n) {
                         return tarvo_ll_reg_read(ll, t, base, v, n);
                     });
}

}  // extern "C"
