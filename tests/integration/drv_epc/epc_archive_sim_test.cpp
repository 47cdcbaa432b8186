// Calibration archives written by another tool (Python's zipfile), served
// by the simulated camera from a file given to the launcher's
// --calibration option and read out by the driver at open: a good one
// calibrates the camera, hostile ones leave nothing behind.
#include <filesystem>

#include "epc_sim_rig.h"
#include "scene/options.h"
#include "tarvo_sim/scene.h"

namespace {

using namespace epc_rig;

// Zips (name, bytes) pairs with Python's zipfile, names stored exactly as
// given, deflated; returns the archive.
std::string python_zip(const std::vector<std::pair<std::string, std::string>> &entries) {
    std::string args;
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string f = "pyzip_in_" + std::to_string(i);
        tarvo_test::write_file(f, entries[i].second);
        args += " '" + entries[i].first + "' " + f;
    }
    const std::string cmd =
        "/usr/bin/python3 -c 'import sys, zipfile\n"
        "with zipfile.ZipFile(\"pyzip.zip\", \"w\", zipfile.ZIP_DEFLATED) as z:\n"
        "    a = sys.argv[1:]\n"
        "    for n, f in zip(a[0::2], a[1::2]):\n"
        "        z.writestr(zipfile.ZipInfo(n), open(f, \"rb\").read(), zipfile.ZIP_DEFLATED)\n'" +
        args;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::string zip = tarvo_test::read_file("pyzip.zip");
    std::system("rm -f pyzip.zip pyzip_in_*");
    return zip;
}

class EpcArchive : public EpcSim {
  protected:
    // A physical camera serving `image` from a file through the option.
    void serve(const std::vector<uint8_t> &image) {
        tarvo::sim::CameraConfig cfg = camera();
        cfg.scene.physical = true;
        cfg.scene.noise = false;
        tarvo_test::write_file("served_calib.bin", std::string(image.begin(), image.end()));
        std::string err;
        ASSERT_TRUE(tarvo::sim::phys::find_scene_option("--calibration")
                        ->apply(cfg, "served_calib.bin", err))
            << err;
        std::remove("served_calib.bin");
        make_bus(cfg);
        open();
    }
    const tarvo::sim::FactoryCalibration &factory() const {
        return tarvo::sim::factory_calibration(42, 7);
    }
    std::string package() const {
        const auto &fc = factory();
        return std::string(fc.params.begin(), fc.params.end()) +
               std::string(fc.images.begin(), fc.images.end());
    }
};

TEST_F(EpcArchive, AnArchiveOfAnotherToolCalibratesTheCamera) {
    serve(calib_image(python_zip({{factory().package_name, package()}})));
    EXPECT_EQ(log_text().find("Load calibration data failed"), std::string::npos);
    const std::string images = tarvo_test::read_file(k_images);
    EXPECT_TRUE(images == std::string(factory().images.begin(), factory().images.end()));
    EXPECT_EQ(tarvo_test::read_file(k_params).size(), factory().params.size());
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    for (const char *f : {"calibration.bin", "tmp.zip", factory().package_name.c_str()})
        EXPECT_FALSE(exists(f)) << f;
}

TEST_F(EpcArchive, HostileArchivesLeaveNothingBehind) {
    const std::string good = python_zip({{factory().package_name, package()}});
    std::system("rm -rf arch_root && mkdir -p arch_root");
    ASSERT_EQ(tarvo_path_cfg("arch_root/"), 0);
    const std::string abs_target = (std::filesystem::current_path() / "arch_abs_evil.bin").string();
    struct Case {
        const char *what;
        std::vector<uint8_t> image;
        const char *says;
    } cases[] = {
        {"path traversal",
         calib_image(
             python_zip({{"../arch_evil.bin", "evil"}, {factory().package_name, package()}})),
         "would leave"},
        {"absolute name",
         calib_image(python_zip({{abs_target, "evil"}, {factory().package_name, package()}})),
         "would leave"},
        {"truncated archive", calib_image(good.substr(0, good.size() * 3 / 5)),
         "not a readable archive"},
        {"wrong archive flag", calib_image(good, 1, 2), "No zip used"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t seen = log_text().size();
        serve(c.image);
        EXPECT_NE(log_text().find(c.says, seen), std::string::npos);
        // The camera opens without a calibration and nothing stays on disk:
        // no files outside the prefix, no package, no temporary files.
        EXPECT_EQ(calculationGetEnableDRNU(), 0);
        EXPECT_EQ(std::system("test -z \"$(ls -A arch_root)\""), 0);
        EXPECT_FALSE(exists("arch_evil.bin"));
        EXPECT_FALSE(exists(abs_target.c_str()));
        close();
        bus_.reset();
        reset_process_state();
    }
    tarvo_path_cfg(".\\");
    std::system("rm -rf arch_root");
}

}  // namespace
