// Two simulated cameras on one bus, opened, used and closed in every order:
// each open device has its own driver row and state, the process-wide EPC
// engine serves one EPC camera at a time and refuses a second one cleanly,
// and a camera whose EPC driver did not start stays reachable for raw frames.
#include <atomic>
#include <thread>

#include "epc_sim_rig.h"

namespace {

using namespace epc_rig;

constexpr float k_tol_m = 0.005f;
constexpr char k_refused[] = "[ERR] [epc_init] the EPC engine is bound to another camera";

tarvo::sim::CameraConfig epc_camera(double distance_m) {
    tarvo::sim::CameraConfig cfg;  // "TarvoSim-E2-1.0"
    cfg.stream.format = 2;
    cfg.stream.frame_bytes = k_frame_bytes;
    cfg.scene.distance_m = distance_m;
    return cfg;
}

tarvo::sim::CameraConfig ti_camera() {
    tarvo::sim::CameraConfig cfg;
    cfg.product = "TarvoSim-T0-1.0";
    cfg.stream.frame_bytes = 320 * 240 * 4;
    return cfg;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The EPC rig's library start and clean-up, with two cameras of its own.
class TwoCameras : public EpcSim {
  protected:
    void TearDown() override {
        for (int i = 0; i < 2; ++i) close(i);
        EpcSim::TearDown();
    }
    // Cameras on ports 2 and 3, listed into recs_[0] and recs_[1].
    void make_bus(const tarvo::sim::CameraConfig &a, const tarvo::sim::CameraConfig &b) {
        bus_ = std::make_unique<tarvo::sim::Bus>(std::vector<tarvo::sim::CameraConfig>{a, b});
        tarvo_dev_t list[2];
        ASSERT_EQ(tarvo_dev_list(list, 2), 2);
        for (const tarvo_dev_t &d : list) recs_[d.if_info.usb_port_num - 2] = d;
    }
    tarvo_dev_t *open(int i) {
        devs_[i] = tarvo_dev_open(&recs_[i]);
        return devs_[i];
    }
    void close(int i) {
        if (devs_[i]) tarvo_dev_close(devs_[i]);
        devs_[i] = nullptr;
    }
    // One frame of camera i through the whole stack, decoded to distance;
    // the value of the centre pixel, or -1 when capture or decode failed.
    float centre_distance(int i, int *floats = nullptr) {
        std::vector<uint8_t> frame(k_frame_bytes);
        tarvo_frame_info_t info{};
        if (!tarvo_cap_start(devs_[i])) return -1;
        const int got = tarvo_cap_get_frames(devs_[i], 1, frame.data(), k_frame_bytes, &info);
        EXPECT_TRUE(tarvo_cap_stop(devs_[i]));
        if (got != 1) return -1;
        std::vector<float> out(k_pixels, -1.0f);
        const int n = tarvo_frame_get_distance(devs_[i], out.data(), k_pixels, frame.data(),
                                               k_frame_bytes, &info);
        if (floats) *floats = n;
        return n == k_pixels ? out[120 * 320 + 160] : -1.0f;
    }
    tarvo::drv::epc::epc_drv_state_t *st(int i) const {
        return tarvo::drv::epc::state_of(tarvo_dev_get_drv(devs_[i]));
    }

    tarvo_dev_t recs_[2]{};
    tarvo_dev_t *devs_[2] = {nullptr, nullptr};
};

TEST_F(TwoCameras, TheEngineServesOneEpcCameraAndRefusesTheOther) {
    make_bus(epc_camera(2.0), epc_camera(1.0));
    ASSERT_NE(open(0), nullptr);
    EXPECT_NEAR(centre_distance(0), 2.0f, k_tol_m);

    // The second EPC camera is refused with one ERR line and nothing else.
    const size_t errors = count_of(log_text(), "[ERR]");
    EXPECT_EQ(open(1), nullptr);
    EXPECT_EQ(recs_[1].lldev, nullptr);
    EXPECT_EQ(count_of(log_text(), k_refused), 1u);
    EXPECT_EQ(count_of(log_text(), "[ERR]"), errors + 1);
    // The first camera is untouched: still bound, still decoding its scene.
    EXPECT_EQ(epc_adapter_get_dev(), devs_[0]);
    EXPECT_NE(st(0), nullptr);
    EXPECT_NEAR(centre_distance(0), 2.0f, k_tol_m);

    // Close the first: the second opens and decodes its own scene, and now
    // the first is the one refused.
    close(0);
    EXPECT_EQ(epc_adapter_get_dev(), nullptr);
    ASSERT_NE(open(1), nullptr);
    EXPECT_NEAR(centre_distance(1), 1.0f, k_tol_m);
    EXPECT_EQ(open(0), nullptr);
    EXPECT_EQ(count_of(log_text(), k_refused), 2u);
    EXPECT_NEAR(centre_distance(1), 1.0f, k_tol_m);
    close(1);
    ASSERT_NE(open(0), nullptr);
    EXPECT_NEAR(centre_distance(0), 2.0f, k_tol_m);
}

TEST_F(TwoCameras, ATiCameraWorksBesideAnEpcCameraInEitherOrder) {
    make_bus(epc_camera(2.0), ti_camera());
    for (int first : {0, 1}) {
        const int second = 1 - first;
        ASSERT_NE(open(first), nullptr) << first;
        ASSERT_NE(open(second), nullptr) << first;
        EXPECT_EQ(tarvo_dev_get_drv(devs_[0])->ops, &g_tarvo_driver_op_epc);
        EXPECT_EQ(tarvo_dev_get_drv(devs_[1])->ops, &g_tarvo_driver_op_ti);
        EXPECT_EQ(epc_adapter_get_dev(), devs_[0]);
        int ti_floats = 0;
        EXPECT_NEAR(centre_distance(0), 2.0f, k_tol_m);
        centre_distance(1, &ti_floats);
        EXPECT_EQ(ti_floats, k_pixels);
        // Closing the one opened first leaves the other working.
        close(first);
        if (second == 0) {
            EXPECT_NEAR(centre_distance(0), 2.0f, k_tol_m);
        } else {
            EXPECT_EQ(epc_adapter_get_dev(), nullptr);
            centre_distance(1, &ti_floats);
            EXPECT_EQ(ti_floats, k_pixels);
        }
        close(second);
    }
    EXPECT_EQ(count_of(log_text(), k_refused), 0u);
}

TEST_F(TwoCameras, TwoTiCamerasEachOwnTheirRow) {
    make_bus(ti_camera(), ti_camera());
    ASSERT_NE(open(0), nullptr);
    ASSERT_NE(open(1), nullptr);
    tarvo_drv_t *a = tarvo_dev_get_drv(devs_[0]);
    tarvo_drv_t *b = tarvo_dev_get_drv(devs_[1]);
    ASSERT_NE(a, b);
    EXPECT_EQ(a->dev, devs_[0]);
    EXPECT_EQ(b->dev, devs_[1]);
    EXPECT_STREQ(a->name, "TI OP8241 chip driver");
    // The registry itself keeps no device.
    EXPECT_EQ(tarvo_drv_find(devs_[0])->dev, nullptr);

    close(0);
    int floats = 0;
    centre_distance(1, &floats);
    EXPECT_EQ(floats, k_pixels);
    ASSERT_NE(open(0), nullptr);
    EXPECT_EQ(tarvo_dev_get_drv(devs_[0])->dev, devs_[0]);
    close(1);
    floats = 0;
    centre_distance(0, &floats);
    EXPECT_EQ(floats, k_pixels);
}

TEST_F(TwoCameras, AnEpcDriverThatDidNotStartLeavesRawFramesAndFailsClearly) {
    make_bus(epc_camera(2.0), epc_camera(1.0));
    tarvo::sim::Camera cam = bus_->camera(0);
    // The chip information read that follows the identity read fails: the
    // identity read is two chunks, each a write and a read of (0xC0, 4).
    auto param_gets = [](const tarvo::sim::Camera &c) {
        size_t n = 0;
        for (const auto &cmd : c.commands()) n += cmd.request == 0xC0 && (cmd.value & 0xFF) == 4;
        return n;
    };
    cam.delay_command({0xB0, -1}, 20, false, 100);  // room to arm the fault in time
    std::atomic<bool> armed{false};
    std::thread arm([&] {
        if (cam.wait_for([&](const tarvo::sim::Camera &c) { return param_gets(c) >= 4; }, 5000)) {
            cam.fail_command({0xC0, 4}, "no chip", 2);
            armed = true;
        }
    });
    testing::internal::CaptureStdout();
    ASSERT_NE(open(0), nullptr);
    arm.join();
    testing::internal::GetCapturedStdout();
    cam.clear_command_faults();
    ASSERT_TRUE(armed.load());

    std::string log = log_text();
    EXPECT_EQ(count_of(log, "[WRN] [tarvo_dev_open] EPC chip driver did not start"), 1u);
    EXPECT_EQ(count_of(log, "Load calibration data failed"), 0u);
    EXPECT_EQ(st(0), nullptr);
    EXPECT_EQ(epc_adapter_get_dev(), nullptr);

    // Raw frames still arrive, described; decoding, lens and filters fail
    // with the driver's line instead of touching state that is not there.
    std::vector<uint8_t> frame(k_frame_bytes);
    tarvo_frame_info_t info{};
    ASSERT_TRUE(tarvo_cap_start(devs_[0]));
    EXPECT_EQ(tarvo_cap_get_frames(devs_[0], 1, frame.data(), k_frame_bytes, &info), 1);
    EXPECT_TRUE(tarvo_cap_stop(devs_[0]));
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.frame_format, 2);
    std::vector<float> out(k_pixels);
    EXPECT_EQ(tarvo_frame_get_distance(devs_[0], out.data(), k_pixels, frame.data(), k_frame_bytes,
                                       &info),
              0);
    EXPECT_EQ(tarvo_filter_enable(devs_[0], TARVO_FILTER_HDR, nullptr, 0), 0);
    EXPECT_EQ(tarvo_filter_disable(devs_[0], TARVO_FILTER_HDR), 0);
    std::vector<float> pcl(k_pixels * 3);
    std::fill(out.begin(), out.end(), 1.0f);
    EXPECT_LE(tarvo_frame_get_pcl(devs_[0], pcl.data(), k_pixels * 3, out.data(), k_pixels, 320,
                                  240, nullptr),
              0);
    log = log_text();
    for (const char *fn :
         {"epc_frame_decode", "epc_filter_enable", "epc_filter_disable", "epc_lens_param_get"})
        EXPECT_EQ(count_of(log, std::string("[ERR] [") + fn +
                                    "] the EPC driver did not start on this camera"),
                  1u)
            << fn;

    // The engine is free: the other EPC camera opens beside it and decodes.
    ASSERT_NE(open(1), nullptr);
    EXPECT_NEAR(centre_distance(1), 1.0f, k_tol_m);
}

}  // namespace
