// The public data-transfer entry points on an open device record: the
// device is marked busy for the whole transfer (so that a close waits for
// it) and the link-level operation runs on the device's link record.
#include "api/dev_door.h"
#include "log/log.h"
#include "tarvo/tarvo_data.h"

namespace {

// Runs `op` on the link record of an open device, with api_busy held; -1
// with "Wrong params" when the record is null or not open.
template <class Op>
int on_open_device(const char *name, tarvo_dev_t *dev, Op op) {
    tarvo::dev::BusyScope busy(dev);
    tarvo::dev::OpenDevice od;
    if (!tarvo::dev::open_device(dev, &od)) {
        TQ_DBG("[%s] Wrong params\n", name);
        return -1;
    }
    return op(od.ll);
}

}  // namespace

extern "C" {

TARVO_API int tarvo_data_download(tarvo_dev_t *dev, const char *name, uint8_t type,
                                  uint16_t version, uint32_t reserved) {
    return on_open_device("tarvo_data_download", dev, [&](tarvo_ll_dev_t *ll) {
        return tarvo_bin_data_write(ll, type, version, reserved, name);
    });
}

TARVO_API int tarvo_firmware_upgrade(tarvo_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *name) {
    return on_open_device("tarvo_firmware_upgrade", dev, [&](tarvo_ll_dev_t *ll) {
        return tarvo_bin_data_write(ll, type, version, 0, name);
    });
}

TARVO_API int tarvo_data_upload(tarvo_dev_t *dev, uint8_t type, const char *path) {
    return on_open_device("tarvo_data_upload", dev,
                          [&](tarvo_ll_dev_t *ll) { return tarvo_bin_data_read(ll, type, path); });
}

}  // extern "C"
