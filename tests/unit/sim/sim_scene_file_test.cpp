// Scene files of the simulated camera: a real file given to the launcher's
// --scene option becomes the objects the camera sees (checked against the
// scene's ground truth), and bad files are refused saying where.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>

#include "scene/options.h"
#include "tarvo_sim/scene.h"

namespace {

using tarvo::sim::CameraConfig;

bool apply(CameraConfig &cfg, const std::string &text, std::string &err) {
    { std::ofstream("scene_test.json") << text; }
    const auto *opt = tarvo::sim::phys::find_scene_option("--scene");
    EXPECT_NE(opt, nullptr);
    const bool ok = opt && opt->apply(cfg, "scene_test.json", err);
    std::remove("scene_test.json");
    return ok;
}

TEST(SimSceneFile, ObjectsOfTheFileAreWhatTheCameraSees) {
    CameraConfig cfg;
    std::string err;
    ASSERT_TRUE(apply(cfg, R"({
        // a wall, a box in front of it on the axis, a ball to the right
        "ambient_light": 2,
        "objects": [
          {"type": "plane", "distance": 3.0, "reflectivity": 0.5},
          {"type": "box", "centre": [0, 0, 1.8], "size": [0.4, 0.4, 0.4]},
          {"type": "sphere", "centre": [0.6, 0, 2.0], "radius": 0.3, "reflectivity": 0.9}
        ]})",
                      err))
        << err;
    EXPECT_TRUE(cfg.scene.physical);
    EXPECT_EQ(cfg.scene.ambient_light, 2.0);
    ASSERT_EQ(cfg.scene.objects.size(), 3u);
    const tarvo::sim::SceneTruth t = tarvo::sim::scene_truth(cfg);
    // Every pixel's point lies on the surface of the nearest object its ray
    // meets: the box's front face (z = 1.6), the ball, or the wall.
    int box = 0, ball = 0, wall = 0;
    for (size_t p = 0; p < t.radial_m.size(); ++p) {
        if (t.radial_m[p] <= 0) continue;
        const double x = t.xyz[3 * p], y = t.xyz[3 * p + 1], z = t.xyz[3 * p + 2];
        if (std::fabs(z - 1.6) < 1e-4 && std::fabs(x) <= 0.2 && std::fabs(y) <= 0.2)
            ++box;
        else if (std::fabs(std::hypot(x - 0.6, y, z - 2.0) - 0.3) < 1e-4)
            ++ball;
        else if (std::fabs(z - 3.0) < 1e-4)
            ++wall;
        else
            ADD_FAILURE() << "pixel " << p << " on no object: " << x << " " << y << " " << z;
    }
    // Through a pinhole the box would cover (0.4 / 1.6 x 210)^2 = 2760
    // pixels, the ball pi (0.3 / 2 x 210)^2 = 3100; the barrel distortion
    // shrinks what lies off the axis.
    EXPECT_GT(box, 2000);
    EXPECT_LT(box, 2900);
    EXPECT_GT(ball, 1500);
    EXPECT_LT(ball, 3100);
    EXPECT_GT(wall, 50000);
    // The centre pixel looks along the axis at the box.
    EXPECT_NEAR(t.radial_m[122 * 320 + 157], 1.6, 0.002);
}

TEST(SimSceneFile, BadFilesAreRefusedSayingWhere) {
    struct Case {
        const char *text, *says;
    } cases[] = {
        {"{\"objects\": [\n  {\"type\": \"plane\",\n   \"distance\": 2.0,,}]}",
         "line 3, column 20: syntax error"},
        {"{\"objects\": [{\"type\": \"sphere\", \"centre\": [0, 0, 1], \"radius\": 0}]}",
         "objects[0].radius: needs a number from 0.001 to 100"},
        {"{\"objects\": [{\"type\": \"box\", \"centre\": [0, 0], \"size\": [1, 1, 1]}]}",
         "objects[0].centre: needs an array of 3 numbers"},
        {"{\"objects\": [{\"type\": \"plane\", \"distance\": 2, \"reflectivty\": 1}]}",
         "objects[0].reflectivty: unknown field"},
        {"{\"objects\": [{\"type\": \"cone\"}]}", "objects[0].type"},
        {"{\"objects\": [{\"type\": \"plane\", \"point\": [0, 0, 1], \"normal\": [0, 0, 0]}]}",
         "objects[0].normal: needs a non-zero vector"},
        {"{\"objects\": []}", "objects: needs an array of 1 to 64"},
        {"{\"objects\": [[[[[[[1]]]]]]]}", "line 1, column 18: nested deeper than 6"},
    };
    for (const Case &c : cases) {
        CameraConfig cfg;
        std::string err;
        EXPECT_FALSE(apply(cfg, c.text, err)) << c.text;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_TRUE(cfg.scene.objects.empty());
    }
    // The object limit: 64 are read, 65 are not.
    std::string many = "{\"objects\": [";
    for (int i = 0; i < 65; ++i)
        many += std::string(i ? "," : "") +
                "{\"type\": \"plane\", \"distance\": " + std::to_string(1 + i) + "}";
    CameraConfig cfg;
    std::string err;
    EXPECT_FALSE(apply(cfg, many + "]}", err));
    EXPECT_NE(err.find("holds 65 objects, at most 64"), std::string::npos) << err;
    const size_t last = many.rfind(",{");
    EXPECT_TRUE(apply(cfg, many.substr(0, last) + "]}", err)) << err;
    EXPECT_EQ(cfg.scene.objects.size(), 64u);
    // A missing file.
    const auto *opt = tarvo::sim::phys::find_scene_option("--scene");
    EXPECT_FALSE(opt->apply(cfg, "/nonexistent/scene.json", err));
    EXPECT_NE(err.find("cannot read /nonexistent/scene.json"), std::string::npos);
}

}  // namespace
