// The filters and the lens against the physics of the simulated camera,
// through the public calls: straight edges after undistortion, shot noise
// that follows the signal, HDR, automatic integration time and the minimum
// amplitude, each measured against the scene's ground truth.
#include <algorithm>
#include <cmath>
#include <fstream>

#include "epc_sim_rig.h"
#include "scene/options.h"
#include "tarvo/tarvo_frame.h"
#include "tarvo/tq_calib_len.h"
#include "tarvo_sim/scene.h"

namespace {

using namespace epc_rig;
using tarvo::sim::SceneConfig;

class EpcPhysics : public EpcSim {
  protected:
    static SceneConfig plane(double d, double refl, bool noise = false) {
        SceneConfig sc;
        sc.physical = true;
        sc.distance_m = d;
        sc.reflectivity = refl;
        sc.noise = noise;
        sc.temperature_c = 30.0;
        return sc;
    }
    // Opens the camera with `sc` in view and `intg` us of integration time.
    void start(const SceneConfig &sc, uint16_t intg = 700) {
        tarvo::sim::CameraConfig cfg = camera();
        cfg.scene = sc;
        cfg.intg_time_us = intg;
        make_bus(cfg);
        open();
    }
    // `n` successive frames of one capture, each handed to `each` (frame, distances).
    template <typename F>
    void frames(int n, F each) {
        std::vector<uint8_t> frame(k_frame_bytes);
        std::vector<float> d(k_pixels);
        ASSERT_TRUE(tarvo_cap_start(dev_));
        for (int i = 0; i < n; ++i) {
            tarvo_frame_info_t info{};
            ASSERT_EQ(tarvo_cap_get_frames(dev_, 1, frame.data(), k_frame_bytes, &info), 1);
            ASSERT_EQ(tarvo_frame_get_distance(dev_, d.data(), k_pixels, frame.data(),
                                               k_frame_bytes, &info),
                      k_pixels);
            if (!each(frame, d)) break;
        }
        EXPECT_TRUE(tarvo_cap_stop(dev_));
    }
    // One frame's distances; -1 everywhere when capture or decode failed.
    std::vector<float> one_frame() {
        std::vector<float> out(k_pixels, -1.0f);
        frames(1, [&](const auto &, const std::vector<float> &d) {
            out = d;
            return false;
        });
        return out;
    }
    std::vector<float> truth() const { return cam_->scene_truth().radial_m; }
};

// Per mille of samples at the ADC limits (0 or 4095 and above), as the
// camera sent them.
double saturated_per_mille(const std::vector<uint8_t> &frame) {
    size_t n = 0;
    for (size_t i = 0; i + 1 < frame.size(); i += 2) {
        const unsigned v = frame[i] | (frame[i + 1] << 8);
        n += v == 0 || v >= 4095;
    }
    return 1000.0 * static_cast<double>(n) / static_cast<double>(frame.size() / 2);
}

// How far an edge sampled at pixels departs from a straight line: the
// least-squares line x = a + b t through the points (t, x), and the largest
// distance from it of the edge's course, the running mean of 9 neighbouring
// points (which evens out the half-pixel steps of the sampling, not a bow).
double straightness(std::vector<std::pair<double, double>> pts) {
    std::sort(pts.begin(), pts.end());
    double st = 0, sx = 0, stt = 0, stx = 0;
    for (const auto &[t, x] : pts) {
        st += t;
        sx += x;
        stt += t * t;
        stx += t * x;
    }
    const double n = static_cast<double>(pts.size());
    const double b = (n * stx - st * sx) / (n * stt - st * st), a = (sx - b * st) / n;
    double worst = 0;
    for (size_t i = 4; i + 4 < pts.size(); ++i) {
        double mt = 0, mx = 0;
        for (size_t j = i - 4; j <= i + 4; ++j) {
            mt += pts[j].first / 9;
            mx += pts[j].second / 9;
        }
        worst = std::max(worst, std::fabs(mx - (a + b * mt)));
    }
    return worst;
}

TEST_F(EpcPhysics, ABoxsStraightEdgesStayStraightAfterUndistortion) {
    // A box before a wall, from a scene file through the launcher's option.
    {
        std::ofstream("box_scene.json") << R"({"objects": [
            {"type": "plane", "distance": 3.0, "reflectivity": 0.8},
            {"type": "box", "centre": [0, 0, 1.5], "size": [1.6, 1.2, 0.2]}]})";
    }
    tarvo::sim::CameraConfig cfg = camera();
    std::string err;
    ASSERT_TRUE(tarvo::sim::phys::find_scene_option("--scene")->apply(cfg, "box_scene.json", err))
        << err;
    std::remove("box_scene.json");
    cfg.scene.noise = false;
    cfg.scene.temperature_c = 30.0;
    make_bus(cfg);
    open();
    // The box's outline: per row its leftmost and rightmost box pixel, per
    // column its top and bottom one, away from the corners. The library's
    // point of each, (x/z, y/z) scaled by the focal lengths it reports for
    // the image, is where an ideal pinhole camera would see it; returns the
    // worst departure, in those pixels, of the four edges from straight.
    auto worst_bend = [&](const std::vector<float> &d) {
        auto on_box = [&](int u, int v) { return d[v * 320 + u] < 2.2f; };
        int top = 122, bottom = 122, left = 157, right = 157;
        while (top > 0 && on_box(157, top - 1)) --top;
        while (bottom < 239 && on_box(157, bottom + 1)) ++bottom;
        while (left > 0 && on_box(left - 1, 122)) --left;
        while (right < 319 && on_box(right + 1, 122)) ++right;
        std::vector<int> edge[4];
        for (int v = top + 10; v <= bottom - 10; ++v) {
            int u0 = 157, u1 = 157;
            while (u0 > 0 && on_box(u0 - 1, v)) --u0;
            while (u1 < 319 && on_box(u1 + 1, v)) ++u1;
            edge[0].push_back(v * 320 + u0);
            edge[1].push_back(v * 320 + u1);
        }
        for (int u = left + 10; u <= right - 10; ++u) {
            int v0 = 122, v1 = 122;
            while (v0 > 0 && on_box(u, v0 - 1)) --v0;
            while (v1 < 239 && on_box(u, v1 + 1)) ++v1;
            edge[2].push_back(v0 * 320 + u);
            edge[3].push_back(v1 * 320 + u);
        }
        tq_lens_param_t k{};
        EXPECT_TRUE(drv_->ops->lens_param_get(drv_, &k, 320, 240));
        double worst = 0;
        for (int e = 0; e < 4; ++e) {
            EXPECT_GT(edge[e].size(), 60u);
            // A distance image holding only this edge: its cloud is the edge.
            std::vector<float> only(k_pixels, 0.0f), xyz(3 * edge[e].size() + 3);
            for (int p : edge[e]) only[p] = d[p];
            const int n = tarvo_frame_get_pcl(dev_, xyz.data(), static_cast<int>(xyz.size()),
                                              only.data(), k_pixels, 320, 240, nullptr);
            EXPECT_EQ(n, static_cast<int>(edge[e].size()));
            std::vector<std::pair<double, double>> pts;
            for (int i = 0; i < n; ++i) {
                const double px = k.fx * xyz[3 * i] / xyz[3 * i + 2];
                const double py = k.fy * xyz[3 * i + 1] / xyz[3 * i + 2];
                if (e < 2)
                    pts.emplace_back(py, px);
                else
                    pts.emplace_back(px, py);
            }
            worst = std::max(worst, straightness(pts));
        }
        return worst;
    };
    // Through the lens the edges bow (barrel distortion); undistorted they
    // are straight to within a pixel.
    const double raw = worst_bend(one_frame());
    ASSERT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0), 1);
    const double straight = worst_bend(one_frame());
    std::printf("box edges: %.2f px from straight through the lens, %.2f px undistorted\n", raw,
                straight);
    EXPECT_GT(raw, 2.0);
    EXPECT_LE(straight, 1.0);
}

TEST_F(EpcPhysics, ShotNoiseGrowsWithDistanceAndFallsWithReflectivity) {
    // Temporal spread of each central pixel's distance over 12 frames; the
    // median over the patch.
    auto spread_mm = [&](double d, double refl) {
        cam_->set_scene(plane(d, refl, /*noise*/ true));
        std::vector<double> s1(k_pixels), s2(k_pixels);
        int n = 0;
        frames(12, [&](const auto &, const std::vector<float> &dist) {
            for (int p = 0; p < k_pixels; ++p) {
                s1[p] += dist[p];
                s2[p] += double(dist[p]) * dist[p];
            }
            return ++n < 12;
        });
        std::vector<double> sd;
        for (int v = 100; v < 140; ++v)
            for (int u = 137; u < 177; ++u) {
                const int p = v * 320 + u;
                const double m = s1[p] / n;
                sd.push_back(std::sqrt(std::max(0.0, s2[p] / n - m * m)) * 1000.0);
            }
        std::nth_element(sd.begin(), sd.begin() + static_cast<long>(sd.size() / 2), sd.end());
        std::printf("noise at %.1f m, reflectivity %.1f: %.2f mm\n", d, refl, sd[sd.size() / 2]);
        return sd[sd.size() / 2];
    };
    start(plane(1.0, 0.8, true));
    const double near = spread_mm(1.0, 0.8), mid = spread_mm(2.0, 0.8), far = spread_mm(4.0, 0.8);
    const double dark = spread_mm(2.0, 0.2);
    EXPECT_GT(near, 0.0);
    EXPECT_GT(mid, 1.5 * near);
    EXPECT_GT(far, 1.5 * mid);
    EXPECT_GT(dark, 1.5 * mid);
}

TEST_F(EpcPhysics, HdrRecoversANearBrightTargetThatSaturatesTheLongExposure) {
    // 0.45 m, white, 500 us: the long exposure clips, the short one does not.
    start(plane(0.45, 1.0), 500);
    const std::vector<float> t = truth();
    auto central = [&](const std::vector<float> &d, auto pred) {
        int n = 0, all = 0;
        for (int v = 90; v < 150; ++v)
            for (int u = 107; u < 207; ++u, ++all) n += pred(d[v * 320 + u], t[v * 320 + u]);
        return static_cast<double>(n) / all;
    };
    const std::vector<float> plain = one_frame();
    EXPECT_GT(central(plain, [](float d, float) { return d == 65.5f; }), 0.99);
    ASSERT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_HDR, nullptr, 0), 1);
    const std::vector<float> hdr = one_frame();
    EXPECT_GT(central(hdr, [](float d, float t) { return std::fabs(d - t) < 0.005f; }), 0.99);
}

TEST_F(EpcPhysics, AutoIntegrationBacksOffANearBrightTargetAndRisesForAFarDarkOne) {
    const uint16_t threshold = 50;  // per mille
    start(plane(0.6, 1.0), 700);
    ASSERT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_AUTO_INTEGRATION, &threshold, 2), 1);
    // Near and white: the first frames saturate; the time falls until the
    // share of clipped samples is under the threshold.
    double first = -1, ratio = 0;
    int frames_taken = 0;
    frames(60, [&](const std::vector<uint8_t> &f, const auto &) {
        ratio = saturated_per_mille(f);
        if (first < 0) first = ratio;
        ++frames_taken;
        return ratio > threshold;
    });
    const uint32_t backed_off = cam_->param_u32(TARVO_PARAM_INTG_TIME) & 0xFFFF;
    std::printf("auto integration, near: %.0f per mille at 700 us, %.1f after %d frames at %u us\n",
                first, ratio, frames_taken, backed_off);
    EXPECT_GT(first, threshold);
    EXPECT_LE(ratio, threshold);
    EXPECT_LT(backed_off, 700u);
    EXPECT_EQ(configGetIntegrationTime3D(), backed_off);

    // Far and dark: nothing near the limits; the time climbs in steps of 50
    // up to the ceiling of 1500 us and stays there.
    cam_->set_scene(plane(6.0, 0.1));
    uint32_t last = backed_off;
    bool monotonic = true;
    frames(40, [&](const auto &, const auto &) {
        const uint32_t t = cam_->param_u32(TARVO_PARAM_INTG_TIME) & 0xFFFF;
        monotonic = monotonic && t >= last;
        last = t;
        return true;
    });
    // The last step that stays within 1500 us (the start depends on how
    // far the first part backed off).
    EXPECT_TRUE(monotonic);
    EXPECT_LE(last, 1500u);
    EXPECT_GT(last + 50, 1500u);
    EXPECT_EQ(configGetIntegrationTime3D(), static_cast<int>(last));
}

TEST_F(EpcPhysics, MinimumAmplitudeMarksADarkFarObjectInvalid) {
    // A bright box at 1 m before a dark wall at 8 m.
    SceneConfig sc = plane(8.0, 0.05);
    tarvo::sim::SceneObject wall, box;
    wall.centre = {0, 0, 8.0};
    wall.reflectivity = 0.05;
    box.kind = tarvo::sim::SceneObject::Kind::box;
    box.centre = {0, 0, 1.05};
    box.half = {0.3, 0.3, 0.05};
    box.reflectivity = 0.9;
    sc.objects = {wall, box};
    sc.noise = true;  // the faint wall's samples are then the noise about the level
    start(sc, 500);
    auto shares = [&](int32_t min_amp, double &wall_invalid, double &box_true) {
        ASSERT_EQ(tarvo_filter_enable(dev_, TARVO_FILTER_MIN_AMPLITUDE, &min_amp, 4), 1);
        const std::vector<float> d = one_frame(), t = truth();
        int nw = 0, nb = 0, w = 0, b = 0;
        for (int p = 0; p < k_pixels; ++p) {
            if (t[p] > 7.5f) {
                ++nw;
                w += d[p] == 65.3f;
            } else if (t[p] > 0 && t[p] < 1.5f) {
                ++nb;
                b += std::fabs(d[p] - t[p]) < 0.01f;
            }
        }
        ASSERT_GT(nw, 20000);
        ASSERT_GT(nb, 5000);
        wall_invalid = double(w) / nw;
        box_true = double(b) / nb;
    };
    double wall_invalid = 0, box_true = 0;
    shares(20, wall_invalid, box_true);
    EXPECT_GT(wall_invalid, 0.99);
    EXPECT_GT(box_true, 0.99);
    // With a threshold of 0 the same wall decodes to (noisy) distances.
    shares(0, wall_invalid, box_true);
    EXPECT_LT(wall_invalid, 0.1);
    EXPECT_GT(box_true, 0.99);
}

}  // namespace
