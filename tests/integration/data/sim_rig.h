// The simulated camera on the emulated USB bus, opened through the library
// (tarvo_init, tarvo_dev_list, tarvo_dev_open): the rig the transfer
// scenarios run on end to end, through the real link and libusb.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "data_test_util.h"
#include "tarvo/tarvo.h"
#include "tarvo/tarvo_dev.h"
#include "tarvo_sim/sim.h"

namespace data_test {

// A camera whose product selects the TI driver: it opens without any
// calibration work, so the tests see only the data actions.
inline tarvo::sim::CameraConfig data_camera() {
    tarvo::sim::CameraConfig cfg;
    cfg.product = "TarvoSim-T0-1.0";
    return cfg;
}

class SimRig {
  public:
    static constexpr uint32_t k_big = (1u << 20) + 333;

    SimRig() {
        tarvo_init("data_sim_init.log");
        bus_ = std::make_unique<tarvo::sim::Bus>(1, data_camera());
        cam_ = std::make_unique<tarvo::sim::Camera>(bus_->camera(0));
        tarvo_dev_t list[2];
        if (tarvo_dev_list(list, 2) >= 1) {
            rec_ = list[0];
            dev_ = tarvo_dev_open(&rec_);
        }
        EXPECT_NE(dev_, nullptr) << "the simulated camera did not open";
    }
    ~SimRig() {
        if (dev_) tarvo_dev_close(dev_);
        tarvo_uninit();
        cam_.reset();
        bus_.reset();
    }
    SimRig(const SimRig &) = delete;
    SimRig &operator=(const SimRig &) = delete;

    tarvo_dev_t *dev() { return dev_; }
    tarvo::sim::Camera &camera() { return *cam_; }
    tarvo_ll_dev_t *ll() { return dev_ ? dev_->lldev : nullptr; }
    tarvo::sim::Flash &flash() { return cam_->flash(); }
    std::vector<uint8_t> resets() const { return cam_->reset_targets(); }
    bool camera_gone() const {
        return cam_->wait_for([](const tarvo::sim::Camera &c) { return !c.present(); }, 2000);
    }
    void clear_log() { cam_->clear_log(); }
    std::vector<DataCommand> data_commands() const {
        std::vector<DataCommand> out;
        for (const auto &c : cam_->commands())
            if (c.request == 0xCC) out.push_back({c.in, c.value, c.data.size()});
        return out;
    }

  private:
    std::unique_ptr<tarvo::sim::Bus> bus_;
    std::unique_ptr<tarvo::sim::Camera> cam_;
    tarvo_dev_t rec_{};
    tarvo_dev_t *dev_ = nullptr;
};

}  // namespace data_test
