// The physical simulated camera through the whole stack, measured against
// its scene's ground truth: calibrated distances, the fixed-pattern error
// that the factory calibration removes, point clouds, noise.
#include <algorithm>
#include <cstdio>

#include "epc_sim_rig.h"
#include "tarvo_sim/scene.h"

namespace {

using namespace epc_rig;

struct Errors {
    double median_mm = 0, p99_mm = 0;
    int valid = 0;
};

// Absolute errors of decoded distances against the true radial distances.
Errors errors_of(const std::vector<float> &d, const tarvo::sim::SceneTruth &t) {
    std::vector<double> e;
    for (size_t i = 0; i < d.size(); ++i)
        if (t.radial_m[i] > 0 && d[i] > 0 && d[i] < 60.0f)
            e.push_back(std::fabs(d[i] - t.radial_m[i]) * 1000.0);
    Errors r;
    r.valid = static_cast<int>(e.size());
    if (e.empty()) return r;
    std::sort(e.begin(), e.end());
    r.median_mm = e[e.size() / 2];
    r.p99_mm = e[std::min(e.size() - 1, e.size() * 99 / 100)];
    return r;
}

class EpcTruth : public EpcSim {
  protected:
    static tarvo::sim::SceneConfig scene(double d, double temp_c, bool noise = false) {
        tarvo::sim::SceneConfig sc;
        sc.physical = true;
        sc.distance_m = d;
        sc.noise = noise;
        sc.temperature_c = temp_c;
        return sc;
    }
    static tarvo::sim::CameraConfig physical(bool calibrated = true) {
        tarvo::sim::CameraConfig cfg = camera();
        cfg.scene = scene(1.0, 30.0);
        cfg.factory_calibration = calibrated;
        return cfg;
    }
    // Distance image of one frame of `sc`.
    std::vector<float> distance_of(const tarvo::sim::SceneConfig &sc) {
        cam_->set_scene(sc);
        std::vector<uint8_t> frame;
        const tarvo_frame_info_t info = capture(frame);
        std::vector<float> out;
        EXPECT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
        return out;
    }
    // Errors at 1.0, 2.5, 5.0 m x 30, 45, 60 degC, printed as a table.
    std::vector<Errors> table(const char *label) {
        std::vector<Errors> all;
        for (double d : {1.0, 2.5, 5.0})
            for (double t : {30.0, 45.0, 60.0}) {
                const auto sc = scene(d, t);
                const Errors e = errors_of(distance_of(sc), cam_->scene_truth());
                std::printf("%s %.1f m %2.0f degC: median %.2f mm, p99 %.2f mm, %d valid\n", label,
                            d, t, e.median_mm, e.p99_mm, e.valid);
                all.push_back(e);
            }
        return all;
    }
};

TEST_F(EpcTruth, CalibratedDistancesMatchTheTruthAndTheCorrectionIsProven) {
    make_bus(physical());
    open();
    // The camera's own calibration was read out on this first open, quietly.
    EXPECT_EQ(log_text().find("Load calibration data failed"), std::string::npos);
    EXPECT_TRUE(exists(k_images));
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    const std::vector<Errors> cal = table("calibrated");
    for (const Errors &e : cal) {
        EXPECT_GT(e.valid, k_pixels * 95 / 100);
        EXPECT_LE(e.median_mm, 2.0);
        EXPECT_LE(e.p99_mm, 6.0);
    }
    close();
    bus_.reset();
    reset_process_state();
    remove_outputs();

    make_bus(physical(false));
    open();
    EXPECT_NE(log_text().find("Load calibration data failed"), std::string::npos);
    const std::vector<Errors> raw = table("uncalibrated");
    for (size_t i = 0; i < raw.size(); ++i)
        EXPECT_GE(raw[i].median_mm, 10.0 * std::max(cal[i].median_mm, 0.2)) << i;
}

}  // namespace
