// The narrow door through which the rooms above the device layer (frame
// products, host filters, data transfer) reach an open device, without
// seeing its context record: hold the device busy, check that it is open,
// and take its driver row, link record and last frame information.
//
// Threads: any application thread. A caller holds the device busy (BusyScope
// below) for as long as it uses what the door handed out: close waits for
// busy calls to leave before it frees the context, so the pointers stay
// valid until the Busy scope ends.
#pragma once

#include <atomic>
#include <cstdint>

#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_types.h"

namespace tarvo::dev {

// Contexts that a close had to leave behind because a call was still
// inside after the 3 s wait; the last call to leave frees them.
std::atomic<int> &orphans_pending();
void reap_orphans(tarvo_dev_t *dev);

inline void busy_leave(tarvo_dev_t *dev) {
    if (!dev) return;
    if (std::atomic_ref<uint8_t>(dev->api_busy).fetch_sub(1) == 1 && orphans_pending().load() > 0)
        reap_orphans(dev);
}
inline bool busy(tarvo_dev_t *dev) {
    return std::atomic_ref<uint8_t>(dev->api_busy).load() != 0;
}

// api_busy counts the entry points inside the device, so that nested calls
// (a driver reading parameters from inside a capture call) and calls from
// two threads keep it set until the last one leaves. Close clears lldev,
// then waits for 0, so it waits only for calls that entered before the
// clear:
// - a call that finds lldev already cleared fails at once without touching
//   the count, so a thread calling in a tight loop on a closing record
//   cannot keep the count above 0 through the close's wait and make it give
//   up the context as still in use;
// - a call that saw lldev before the clear counts itself, then reads lldev
//   again: cleared, it takes the count back and fails without touching the
//   context; still set, the count was raised before the close cleared
//   lldev (both are sequentially consistent), so the close sees it and
//   waits for it.
inline bool busy_enter(tarvo_dev_t *dev) {
    if (!dev) return false;
    std::atomic_ref<tarvo_ll_dev_t *> lldev(dev->lldev);
    if (!lldev.load()) return false;
    std::atomic_ref<uint8_t>(dev->api_busy).fetch_add(1);
    if (lldev.load()) return true;
    busy_leave(dev);
    return false;
}

// Holds api_busy for a scope.
class BusyScope {
  public:
    explicit BusyScope(tarvo_dev_t *dev) : dev_(busy_enter(dev) ? dev : nullptr) {}
    ~BusyScope() { busy_leave(dev_); }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

  private:
    tarvo_dev_t *dev_;
};

// What an open device hands over.
struct OpenDevice {
    tarvo_drv_t *drv;              // the device's own driver row; null when it has none
    tarvo_ll_dev_t *ll;            // the device's link record
    tarvo_frame_info_t last_info;  // a copy of the last frame's information
};

// Fills `out` and returns true when `dev` is open. Call with the device
// busy.
bool open_device(tarvo_dev_t *dev, OpenDevice *out);

// Gives a device that has no driver row a copy of the registry row `row`
// (without driver state: the driver's init does not run) and returns it.
// Call with the device busy.
tarvo_drv_t *adopt_driver(tarvo_dev_t *dev, const tarvo_drv_t *row);

}  // namespace tarvo::dev
