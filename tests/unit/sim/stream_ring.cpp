#include "stream_ring.h"

#include <chrono>

namespace simtest {

namespace {
// libusb orders a submission before its completion with its own locks,
// which ThreadSanitizer cannot see in the uninstrumented library; this
// release (before every submission) and acquire (first thing in every
// completion) state that order in our code.
std::atomic<uint64_t> g_submit_order{0};

int submit(libusb_transfer *t) {
    g_submit_order.fetch_add(1, std::memory_order_release);
    return libusb_submit_transfer(t);
}
}  // namespace

StreamRing::StreamRing(libusb_context *ctx, libusb_device_handle *h, int n, int len,
                       unsigned timeout_ms, bool keep)
    : ctx_(ctx), keep_(keep) {
    bufs_.resize(static_cast<size_t>(n), std::vector<uint8_t>(static_cast<size_t>(len)));
    for (int i = 0; i < n; ++i) {
        libusb_transfer *t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t, h, 0x81, bufs_[static_cast<size_t>(i)].data(), len, on_done,
                                  this, timeout_ms);
        t_.push_back(t);
    }
    evt_ = std::thread([this] {
        while (!stop_evt_) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
        }
    });
}

StreamRing::~StreamRing() {
    cancel();
    wait_idle(8000);
    stop_evt_ = true;
    evt_.join();
    for (auto *t : t_) libusb_free_transfer(t);
}

bool StreamRing::start() {
    abort_ = false;
    bool ok = true;
    for (auto *t : t_) {
        in_flight_++;
        if (submit(t) != 0) {
            in_flight_--;
            ok = false;
        }
    }
    return ok;
}

void StreamRing::cancel() {
    abort_ = true;
    for (auto *t : t_) libusb_cancel_transfer(t);
}

void LIBUSB_CALL StreamRing::on_done(libusb_transfer *t) {
    (void)g_submit_order.load(std::memory_order_acquire);
    auto *r = static_cast<StreamRing *>(t->user_data);
    r->bytes_ += static_cast<uint64_t>(t->actual_length);
    r->by_status_[t->status & 7]++;
    {
        std::lock_guard l(r->mu_);
        if (r->keep_) r->data_.insert(r->data_.end(), t->buffer, t->buffer + t->actual_length);
        r->statuses_.push_back(t->status);
        r->lengths_.push_back(t->actual_length);
    }
    if (!r->abort_ && t->status != LIBUSB_TRANSFER_NO_DEVICE &&
        t->status != LIBUSB_TRANSFER_CANCELLED) {
        if (submit(t) == 0) return;
        r->resubmit_failed_++;
    }
    r->in_flight_--;
}

namespace {
template <class F>
bool poll_until(F f, unsigned timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!f()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
}  // namespace

bool StreamRing::wait_idle(unsigned timeout_ms) {
    return poll_until([this] { return in_flight_ == 0; }, timeout_ms);
}
bool StreamRing::wait_bytes(uint64_t bytes, unsigned timeout_ms) {
    return poll_until([&] { return bytes_ >= bytes; }, timeout_ms);
}
bool StreamRing::wait_status(int status, unsigned timeout_ms) {
    return poll_until([&] { return by_status_[status & 7] > 0; }, timeout_ms);
}

std::vector<uint8_t> StreamRing::data() {
    std::lock_guard l(mu_);
    return data_;
}
std::vector<int> StreamRing::statuses() {
    std::lock_guard l(mu_);
    return statuses_;
}
std::vector<int> StreamRing::lengths() {
    std::lock_guard l(mu_);
    return lengths_;
}

}  // namespace simtest
