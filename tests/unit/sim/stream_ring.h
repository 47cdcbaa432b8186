// A ring of queued bulk reads on endpoint 0x81, each resubmitted from its
// completion callback, with an event thread: what a host does to drain the
// camera's stream. Used by the simulator's stream tests and benchmark.
#pragma once

#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace simtest {

class StreamRing {
  public:
    // `keep` false: count bytes only (for throughput runs).
    StreamRing(libusb_context *ctx, libusb_device_handle *h, int n = 16, int len = 153600,
               unsigned timeout_ms = 6000, bool keep = true);
    ~StreamRing();

    bool start();   // submits every transfer; false when one fails
    void cancel();  // stop resubmitting and cancel all queued transfers
    void stop_resubmitting() { abort_ = true; }
    bool wait_idle(unsigned timeout_ms);  // every transfer completed and not reissued

    // Waits until at least `bytes` stream bytes arrived.
    bool wait_bytes(uint64_t bytes, unsigned timeout_ms);
    bool wait_status(int status, unsigned timeout_ms);  // a completion with this status

    std::vector<uint8_t> data();  // the stream so far
    uint64_t bytes() const { return bytes_; }
    int count(int status) const { return by_status_[status & 7].load(); }
    std::vector<int> statuses();  // every completion's status in order
    std::vector<int> lengths();   // and its length
    int resubmit_failures() const { return resubmit_failed_; }

  private:
    static void LIBUSB_CALL on_done(libusb_transfer *t);
    libusb_context *ctx_;
    std::vector<libusb_transfer *> t_;
    std::vector<std::vector<uint8_t>> bufs_;
    bool keep_;
    std::atomic<bool> abort_{false};
    std::atomic<bool> stop_evt_{false};
    std::atomic<int> in_flight_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<int> by_status_[8]{};
    std::atomic<int> resubmit_failed_{0};
    std::mutex mu_;
    std::vector<uint8_t> data_;
    std::vector<int> statuses_, lengths_;
    std::thread evt_;
};

}  // namespace simtest
