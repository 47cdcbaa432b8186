// A link of the tests' own that carries the command channel straight to the
// simulated flash, without USB: request 0xCC goes to tarvo::sim::Flash, the
// status request reports how the flash answered the last command. It lets
// the protocol tests run in microseconds and count every transfer; the
// integration tests run the same scenarios through libusb and the emulated
// bus.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tarvo/tarvo_ll.h"
#include "tarvo_sim/flash.h"

namespace data_test {

class LoopbackLink {
  public:
    LoopbackLink() {
        dev_.priv = this;
        dev_.ops = &k_ops;
        dev_.if_type = 1;
    }
    LoopbackLink(const LoopbackLink &) = delete;
    LoopbackLink &operator=(const LoopbackLink &) = delete;

    tarvo_ll_dev_t *ll() { return &dev_; }
    tarvo::sim::Flash &flash() { return flash_; }

    // What the host did.
    struct Transfer {
        bool in;
        uint8_t request;
        uint16_t value;
        std::vector<uint8_t> data;  // as sent (out) or as answered (in)
    };
    const std::vector<Transfer> &transfers() const { return transfers_; }
    unsigned status_checks() const { return status_checks_; }
    const std::vector<uint8_t> &resets() const { return resets_; }
    bool gone() const { return gone_; }
    void clear_log() {
        transfers_.clear();
        resets_.clear();
        status_checks_ = 0;
    }

  private:
    static LoopbackLink &of(tarvo_ll_dev_t *d) { return *static_cast<LoopbackLink *>(d->priv); }

    static bool exe(tarvo_ll_dev_t *d, uint8_t dir, uint8_t request, uint16_t value, void *data,
                    int len, uint32_t) {
        LoopbackLink &l = of(d);
        if (l.gone_ || len < 0 || (len > 0 && !data)) return false;
        auto *bytes = static_cast<uint8_t *>(data);
        bool in = dir == 0;
        l.last_request_ = request;
        l.last_value_ = static_cast<uint8_t>(value);
        l.last_failed_ = false;
        Transfer t{in, request, value, {}};
        if (!in) t.data.assign(bytes, bytes + len);
        if (request != 0xCC) {
            l.transfers_.push_back(std::move(t));
            l.last_failed_ = true;
            return true;
        }
        std::span<const uint8_t> out(bytes, in ? 0 : static_cast<size_t>(len));
        tarvo::sim::FlashReply r = l.flash_.handle(in, value, out, static_cast<uint16_t>(len));
        if (r.kind == tarvo::sim::FlashReply::Kind::vanish) {
            l.gone_ = true;
            l.transfers_.push_back(std::move(t));
            return false;
        }
        l.last_failed_ = r.kind == tarvo::sim::FlashReply::Kind::error;
        if (in) {
            if (l.last_failed_) r.data.assign(static_cast<size_t>(len), 0);
            size_t n = std::min(r.data.size(), static_cast<size_t>(len));
            if (n) std::memcpy(bytes, r.data.data(), n);
            t.data.assign(r.data.begin(), r.data.begin() + static_cast<long>(n));
            l.transfers_.push_back(std::move(t));
            return n == static_cast<size_t>(len);
        }
        l.transfers_.push_back(std::move(t));
        return true;
    }

    static bool check(tarvo_ll_dev_t *d, uint8_t type, uint8_t value) {
        LoopbackLink &l = of(d);
        if (l.gone_) return false;
        ++l.status_checks_;
        return l.last_request_ == type && l.last_value_ == value && !l.last_failed_;
    }

    static bool reset(tarvo_ll_dev_t *d, uint8_t target) {
        LoopbackLink &l = of(d);
        if (l.gone_) return false;
        l.resets_.push_back(target);
        return true;
    }

    static constexpr tarvo_ll_ops_t k_ops = {
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, exe,     check,
        nullptr, nullptr, nullptr, reset,   nullptr, nullptr, nullptr, nullptr,
    };

    tarvo_ll_dev_t dev_{};
    tarvo::sim::Flash flash_;
    std::vector<Transfer> transfers_;
    std::vector<uint8_t> resets_;
    unsigned status_checks_ = 0;
    uint8_t last_request_ = 0;
    uint8_t last_value_ = 0;
    bool last_failed_ = false;
    bool gone_ = false;
};

}  // namespace data_test
