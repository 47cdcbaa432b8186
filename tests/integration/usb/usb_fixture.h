// Shared pieces of the USB link tests: a log reader and a fixture that puts
// simulated cameras on an emulated bus and opens one through the link.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ll/usb/usb_ll.h"
#include "ll/usb/usb_ll_priv.h"
#include "tarvo/tarvo_ll.h"
#include "tarvo/tarvo_log.h"
#include "tarvo_sim/sim.h"

namespace usbtest {

// Sends every log level to a file of the test's own and reads it back.
class LogFile {
  public:
    explicit LogFile(std::string name) : name_(std::move(name)) {
        std::remove(name_.c_str());
        tq_log_enable(0, TQ_LOG_OFF, nullptr);  // keep the console quiet
        tq_log_enable(1, TQ_LOG_TRC, name_.c_str());
    }
    ~LogFile() { tq_log_disable(); }

    std::vector<std::string> lines() const {
        std::ifstream in(name_);
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    // Lines holding `text`, from line `from` on.
    int count(const std::string &text, size_t from = 0) const {
        auto all = lines();
        int n = 0;
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].find(text) != std::string::npos) ++n;
        return n;
    }
    bool has(const std::string &text) const { return count(text) > 0; }
    // Index of the first line at or after `from` holding `text`, or -1.
    int find(const std::string &text, size_t from = 0) const {
        auto all = lines();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    }
    size_t size() const { return lines().size(); }
    // The whole log, for failure messages.
    std::string dump() const {
        std::ostringstream o;
        for (auto &l : lines()) o << l << '\n';
        return o.str();
    }

  private:
    std::string name_;
};

inline std::string test_name() {
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

// Polls `pred` every 2 ms for up to `ms`.
template <class Pred>
bool eventually(Pred pred, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline int64_t ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}

// A bus with simulated cameras and one link record, opened on the first
// camera by start(). The bus is made before any libusb context exists and
// goes after the record is closed.
class UsbFixture : public testing::Test {
  protected:
    void SetUp() override { log = std::make_unique<LogFile>(test_name() + ".log"); }

    // Puts `n` cameras of configuration `cfg` on the bus; opens the first.
    void start(unsigned n = 1, const tarvo::sim::CameraConfig &cfg = {}, bool open = true) {
        start(std::vector<tarvo::sim::CameraConfig>(n, cfg), open);
    }
    void start(const std::vector<tarvo::sim::CameraConfig> &cfgs, bool open = true) {
        bus = std::make_unique<tarvo::sim::Bus>(cfgs);
        if (open) {
            ASSERT_EQ(tarvo_ll_dev_open(&dev), &dev) << log->dump();
        }
    }

    void TearDown() override {
        tarvo_ll_dev_close(&dev);
        if (dev.priv) ll_op_usb.dev_close(&dev);  // a record left by a failed open
        EXPECT_EQ(dev.priv, nullptr);
        bus.reset();
        log.reset();
    }

    tarvo::sim::Camera cam(size_t i = 0) const { return bus->camera(i); }
    tarvo::usb::usb_ll_priv_t *priv() const { return tarvo::usb::priv_of(&dev); }

    std::unique_ptr<LogFile> log;
    std::unique_ptr<tarvo::sim::Bus> bus;
    tarvo_ll_dev_t dev{};
};

}  // namespace usbtest
