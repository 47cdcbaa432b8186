// tarvo-depth on simulated EPC cameras, started through tarvo-sim exactly
// as a user would: the launcher's EPC defaults stream phase frames of the
// scene given on its command line, and the program's distance and point
// cloud come out of the library's public calls.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

using Result = tarvo_test::CommandResult;

Result run(const std::string &args) {
    return tarvo_test::run_command(std::string(TARVO_SIM_EXE) + " " + args);
}

// The centre distances of the frame lines, in order. The lens corners see
// no ray and come back invalid; most of the plane must be valid, and
// every valid pixel becomes a point.
std::vector<double> centres(const std::string &out) {
    std::vector<double> v;
    const std::regex line(
        R"(frame \d+: 320x240 centre ([0-9.]+) m, valid ([0-9.]+)%, (\d+) points)");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
        const double valid = std::stod((*it)[2].str());
        const long points = std::stol((*it)[3].str());
        EXPECT_GT(valid, 80.0) << it->str();
        EXPECT_NEAR(points, valid / 100.0 * 76800, 40) << it->str();
        v.push_back(std::stod((*it)[1].str()));
    }
    return v;
}

TEST(Tools, DepthOfASimulatedScene) {
    // The launcher's camera: the physical scene with shot noise (about 1 cm
    // at 2.5 m), opened calibrated from its own stored calibration.
    Result r = run("run --distance 2.5 -- " + std::string(TARVO_DEPTH_EXE) + " 3");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto c = centres(r.out);
    ASSERT_EQ(c.size(), 3u) << r.out;
    for (double d : c) EXPECT_NEAR(d, 2.5, 0.06) << r.out;

    // A plane tilted by 30 degrees about the point where the axis meets it,
    // without noise: the centre stays near that point (the centre pixel
    // looks a little above the axis).
    r = run("run --distance 1.0 --tilt 30 --noise off --temperature 40 -- " +
            std::string(TARVO_DEPTH_EXE) + " 1");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto t = centres(r.out);
    ASSERT_EQ(t.size(), 1u) << r.out;
    EXPECT_NEAR(t[0], 1.0, 0.01) << r.out;

    // Scene options are checked.
    r = run("run --noise maybe -- true");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("--noise needs on or off"), std::string::npos) << r.out;
    r = run("run --reflectivity 2 -- true");
    EXPECT_EQ(r.status, 2);
}

TEST(Tools, DepthOnOtherCamerasAndWithoutOne) {
    // A TI camera: its driver converts the test frames but knows no lens,
    // so the point cloud stays empty and the library says why.
    Result r = run("run --product Probe-T0-7 -- " + std::string(TARVO_DEPTH_EXE) + " 1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Cannot generate PCL: no lens parameter in driver."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(", 0 points"), std::string::npos) << r.out;
    // Without a camera on the bus.
    r = run("run --cameras 1 --unpaced -- sh -c 'UMOCKDEV_DIR=/nonexistent " +
            std::string(TARVO_DEPTH_EXE) + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    const Result direct = tarvo_test::run_command(std::string(TARVO_DEPTH_EXE) + " 0");
    EXPECT_EQ(direct.status, 2) << direct.out;
    EXPECT_NE(direct.out.find("usage: tarvo-depth"), std::string::npos) << direct.out;
}

}  // namespace
