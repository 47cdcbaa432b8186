// The bus's private part, shared by bus.cpp and camera_api.cpp.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "state.h"

namespace tarvo::sim {

struct Bus::Impl final : BusCore {
    explicit Impl(BusOptions o);
    ~Impl() override;

    void kick() override;
    bool verbose() const override { return opt.verbose; }

    std::shared_ptr<Camera::State> plug_new(const CameraConfig &cfg);
    void unplug(Camera::State &s);
    void replug(Camera::State &s, uint8_t port);

    BusOptions opt;
    UMockdevTestbed *tb = nullptr;
    std::string root;

    std::mutex tb_mu;       // testbed changes; taken before any camera lock
    uint8_t next_addr = 2;  // under tb_mu

    mutable std::mutex cams_mu;
    std::vector<std::shared_ptr<Camera::State>> cams;

    std::thread timer;
    std::mutex tmu;
    std::condition_variable tcv;
    bool stop = false;
    bool kicked = false;

  private:
    void timer_loop();
    Node *make_node(Camera::State &s);
    void announce(Camera::State &s, Node &n, uint8_t port);
    static void init_params(Camera::State &s);
};

}  // namespace tarvo::sim
