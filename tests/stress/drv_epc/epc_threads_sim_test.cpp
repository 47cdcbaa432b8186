// Filters switched on one thread while frames of the simulated camera are
// decoded, and clouds made, on another: the undistortion map and the lens
// record are replaced under running decodes, which must neither read freed
// arrays nor a half-written record (built under ASan and ThreadSanitizer).
#include <atomic>
#include <cmath>
#include <thread>

#include "epc_sim_rig.h"
#include "tarvo/tarvo_frame.h"

namespace {

using namespace epc_rig;

class EpcThreads : public EpcSim {};

TEST_F(EpcThreads, UndistortionTogglesWhileAnotherThreadDecodes) {
    // A lens file, so that every switch-on rewrites the lens record too.
    tarvo_test::write_file("lens_param.txt",
                           "157.262\n122.083\n210.783\n204.817\n-0.378924\n0.145035\n"
                           "-0.000970854\n6.20728e-05\n-0.0133954\n320\n240\n");
    make_bus(camera());
    open();
    std::vector<uint8_t> frame;
    const tarvo_frame_info_t info = capture(frame);
    ASSERT_EQ(info.frame_size, k_frame_bytes);

    std::atomic<bool> done{false};
    std::atomic<int> decodes{0}, bad{0};
    std::thread decoder([&] {
        std::vector<float> dist(k_pixels), pcl(3 * k_pixels);
        while (!done.load()) {
            if (tarvo_frame_get_distance(dev_, dist.data(), k_pixels, frame.data(), k_frame_bytes,
                                         &info) != k_pixels)
                ++bad;
            // The scene is a plane at 2 m: whatever the switch, the centre
            // pixel sees it, and the cloud finds points.
            if (std::fabs(dist[120 * 320 + 160] - 2.0f) > 0.05f) ++bad;
            if (tarvo_frame_get_pcl(dev_, pcl.data(), 3 * k_pixels, dist.data(), k_pixels, 320, 240,
                                    nullptr) <= 0)
                ++bad;
            ++decodes;
        }
    });
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0), 1);
        EXPECT_EQ(tarvo_filter_disable(dev_, TARVO_FILTER_LENS_UNDISTORT), 1);
    }
    done = true;
    decoder.join();
    EXPECT_GT(decodes.load(), 0);
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
