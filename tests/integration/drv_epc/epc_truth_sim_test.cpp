// The physical simulated camera through the whole stack, measured against
// its scene's ground truth: calibrated distances, the fixed-pattern error
// that the factory calibration removes, point clouds, noise.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "epc_sim_rig.h"
#include "tarvo_sim/scene.h"

namespace {

using namespace epc_rig;

struct Errors {
    double median_mm = 0, p99_mm = 0;
    int valid = 0;
};

// Absolute errors of decoded distances against the true radial distances,
// over valid pixels whose truth lies inside the calibrated span (0.3 m to
// 8.9 m; rays grazing the plane at the edges reach further).
Errors errors_of(const std::vector<float> &d, const tarvo::sim::SceneTruth &t) {
    std::vector<double> e;
    for (size_t i = 0; i < d.size(); ++i)
        if (t.radial_m[i] > 0.3f && t.radial_m[i] < 8.9f && d[i] > 0 && d[i] < 60.0f)
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
        EXPECT_GT(e.valid, k_pixels * 70 / 100);  // the far corners see no ray
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

// Least-squares plane z = a x + b y + c through the valid points within 45
// degrees of the optical axis (towards the rim, where rays graze the
// plane, the nearest-pixel resampling of the undistortion moves z far);
// returns (a, b, c, rms of z residuals, count).
bool central(const float *p) {
    return p[2] > 0 && p[2] < 60 && p[2] * p[2] >= 0.5 * (p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
}

std::array<double, 5> fit_plane(const std::vector<float> &xyz, int n) {
    double S[3][3] = {}, T[3] = {};
    int m = 0;
    for (int i = 0; i < n; ++i) {
        const double x = xyz[3 * i], y = xyz[3 * i + 1], z = xyz[3 * i + 2];
        if (!central(&xyz[3 * i])) continue;
        const double v[3] = {x, y, 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) S[r][c] += v[r] * v[c];
            T[r] += v[r] * z;
        }
        ++m;
    }
    // Cramer's rule on the 3 x 3 normal equations.
    auto det = [](double M[3][3]) {
        return M[0][0] * (M[1][1] * M[2][2] - M[1][2] * M[2][1]) -
               M[0][1] * (M[1][0] * M[2][2] - M[1][2] * M[2][0]) +
               M[0][2] * (M[1][0] * M[2][1] - M[1][1] * M[2][0]);
    };
    const double d = det(S);
    double k[3];
    for (int col = 0; col < 3; ++col) {
        double M[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) M[r][c] = c == col ? T[r] : S[r][c];
        k[col] = det(M) / d;
    }
    double ss = 0;
    for (int i = 0; i < n; ++i) {
        const double z = xyz[3 * i + 2];
        if (!central(&xyz[3 * i])) continue;
        const double e = z - (k[0] * xyz[3 * i] + k[1] * xyz[3 * i + 1] + k[2]);
        ss += e * e;
    }
    return {k[0], k[1], k[2], m ? std::sqrt(ss / m) : 0.0, static_cast<double>(m)};
}

TEST_F(EpcTruth, UndistortedPointCloudsGiveTheTrueGeometryBack) {
    make_bus(physical());
    open();
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0));
    std::vector<float> xyz(3 * k_pixels);
    auto cloud = [&](const tarvo::sim::SceneConfig &sc) {
        const std::vector<float> d = distance_of(sc);
        const int n = tarvo_frame_get_pcl(dev_, xyz.data(), 3 * k_pixels, d.data(), k_pixels, 320,
                                          240, nullptr);
        EXPECT_GT(n, 0);
        return n;
    };
    // A plane facing the camera at Z = 1.5 m: the cloud's z stays at Z and
    // flat, and no false points lie far behind it.
    const int n = cloud(scene(1.5, 40.0));
    std::vector<double> z;
    int far = 0;
    for (int i = 0; i < n; ++i) {
        const float zi = xyz[3 * i + 2];
        if (zi > 0 && zi < 60) z.push_back(zi);
        if (zi > 2.0f && zi < 60) ++far;
    }
    ASSERT_GT(z.size(), 50000u);
    std::nth_element(z.begin(), z.begin() + static_cast<long>(z.size() / 2), z.end());
    EXPECT_NEAR(z[z.size() / 2], 1.5, 0.003);
    EXPECT_EQ(far, 0);
    const auto flat = fit_plane(xyz, n);
    std::printf("facing 1.5 m: median z %.4f m, plane rms %.2f mm, %d points\n", z[z.size() / 2],
                flat[3] * 1000, static_cast<int>(flat[4]));
    EXPECT_LE(flat[3], 0.003);

    // Tilted by 30 degrees about the horizontal axis: z = c + y tan(30).
    tarvo::sim::SceneConfig tilted = scene(1.5, 40.0);
    tilted.tilt_deg = 30.0;
    const auto t = fit_plane(xyz, cloud(tilted));
    const double deg = std::atan(std::hypot(t[0], t[1])) * 180.0 / M_PI;
    std::printf("tilted 30 deg: recovered %.3f deg, rms %.2f mm\n", deg, t[3] * 1000);
    EXPECT_NEAR(deg, 30.0, 0.5);
    EXPECT_NEAR(t[2], 1.5, 0.005);
}

TEST_F(EpcTruth, SyncGuardBringsAnOutOfStepCameraBack) {
    tarvo::sim::CameraConfig cfg = physical();
    cfg.scene = scene(1.0, 30.0, /*noise*/ true);
    cfg.scene.out_of_sync = true;
    make_bus(cfg);
    open();
    const uint16_t sync = 0x0201;  // delay 0x0201, flag on
    ASSERT_TRUE(drv_->ops->filter_enable(drv_, TARVO_FILTER_SYNC_GUARD, &sync, 2));
    std::vector<uint8_t> frame;
    std::vector<float> out;
    tarvo_frame_info_t info = capture(frame);
    // Out of step: refused, and the camera told to re-synchronise.
    EXPECT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), -1);
    const auto sent = param_writes(*cam_, TARVO_PARAM_SYNC_DELAY);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<uint8_t>{0x01, 0x02, 1}));
    // The camera acted on it: its next frames decode to the scene.
    info = capture(frame);
    ASSERT_EQ(decode(out, TARVO_DRV_OUT_DISTANCE, frame, info), k_pixels * 4);
    EXPECT_NEAR(out[120 * 320 + 157], cam_->scene_truth().radial_m[120 * 320 + 157], 0.03);
}

}  // namespace
