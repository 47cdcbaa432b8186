// A hostile camera: each mode of the simulator breaks the link's rules in
// one way. The library, driven through open, a parameter read, a flash
// read, a capture and close, must neither crash, hang nor leak (the
// sanitizers watch), must fail the step the mode attacks and log why. The
// same session against a well-behaved camera succeeds throughout.
#include <filesystem>
#include <thread>

#include "dev_sim.h"

namespace {

using namespace devtest;
using tarvo::sim::Hostile;

struct Case {
    Hostile mode;
    bool at_open;      // hostile from the start, else once the camera is open
    const char *step;  // first step that fails ("" for none)
    std::string log;   // a line the library logs
    bool ti = false;   // a TI camera where the mode would pick an EPC one
};

const Case k_cases[] = {
    {Hostile::short_replies, false, "parameter", "[usb_ll_exe_cmd] exe usb cmd failed"},
    {Hostile::long_replies, false, "parameter", "exe usb cmd failed: LIBUSB_ERROR_OVERFLOW"},
    // The text is cut at its 60 bytes, nothing read beyond.
    {Hostile::status_unterminated, false, "parameter",
     "[ERR] [usb_ll_check_last_cmd] " + std::string(60, 'X') + "\n"},
    {Hostile::status_other_command, false, "parameter", "is not as expect"},
    {Hostile::param_255, false, "parameter",
     "[_tarvo_param_batch_get] parameter 12 claims 255 bytes"},
    {Hostile::param_255, true, "open", "[_tarvo_param_batch_get] parameter 2 claims 255 bytes"},
    {Hostile::busy, false, "parameter", "camera still busy with (t=192,v=4) after 10000 ms"},
    // Every third frame breaks a header limit: those are dropped, the
    // frames between them still arrive whole.
    {Hostile::header_limits, false, "",
     "[ERR] [tq_stream_feed_input] packet refused: len 1048575 is not a whole number of"},
    {Hostile::ragged_frames, false, "capture",
     "[_cap_handle_rdy_data]  driver frame_get_info failed!"},
    {Hostile::ragged_frames, false, "capture",
     "[_cap_handle_rdy_data]  driver frame_get_info failed!", true},
    {Hostile::calib_4gib, true, "",
     "[_load_calib_data] calibration image of 4294967295 bytes refused"},
    // The stored calibration of an EPC camera, read out at open: refused,
    // and the open goes on without it.
    {Hostile::calib_overlong, true, "", "bytes announced, "},
    {Hostile::zip_bomb, true, "",
     "[ERR] [zip_extract] .\\tmp.zip: entries of 41943040 bytes in all refused"},
    {Hostile::zip_names, true, "", "[ERR] [zip_extract] entry \"../hostile_up.bin\" would leave"},
    {Hostile::flash_sizes, false, "flash read",
     "[ERR] [tarvo_bin_data_read] stored size of 4294967280 bytes refused"},
};

class DevHostile : public SimTest, public ::testing::WithParamInterface<Case> {
  protected:
    // Runs the session; returns the first step that failed ("" for none).
    std::string session(Hostile mode, bool at_open, bool ti = false) {
        tarvo::sim::CameraConfig cfg = ti_camera(100);
        // An EPC camera reads parameter 8 at open and checks frame geometry.
        if (!ti && (mode == Hostile::calib_4gib || mode == Hostile::ragged_frames ||
                    mode == Hostile::calib_overlong || mode == Hostile::zip_bomb ||
                    mode == Hostile::zip_names))
            cfg.product = "TarvoSim-E2-1.0";
        if (at_open) cfg.hostile = mode;
        tarvo::sim::Camera cam = make_bus(cfg);
        cam.flash().store(
            {1, 0x0100, tarvo::sim::Flash::address_of(1), std::vector<uint8_t>(3000, 0x5A)});
        const uint32_t len = frame_len(cfg);
        std::vector<uint8_t> buf(len + 16);
        std::string failed;
        auto fail = [&](const char *step) {
            if (failed.empty()) failed = step;
        };

        tarvo_dev_t *dev = open_first(&rec_);
        if (!dev) return "open";
        cam.set_hostile(mode);
        tarvo_param_item_t item{};
        item.param_id = TARVO_PARAM_FRAME_RATE;
        const auto p0 = std::chrono::steady_clock::now();
        if (!tarvo_param_batch_get(dev, &item, 1)) fail("parameter");
        EXPECT_LE(ms_since(p0), 12000);  // a busy camera is given up after 10 s
        EXPECT_LE(item.param_val_len, sizeof item.param_val);
        if (mode == Hostile::busy) return failed;  // every later command waits as long
        if (tarvo_data_upload(dev, 1, "hostile_read.bin") < 0) fail("flash read");
        // Never more on disk than the camera stores.
        std::error_code ec;
        const auto on_disk = std::filesystem::file_size("hostile_read.bin", ec);
        EXPECT_TRUE(ec || on_disk <= 3000) << on_disk;
        std::remove("hostile_read.bin");
        int good = 0;
        if (!tarvo_cap_start(dev)) fail("start");
        const auto c0 = std::chrono::steady_clock::now();
        while (good < 20 && ms_since(c0) < 2000) {
            tarvo_frame_info_t info{};
            const int r = tarvo_cap_get_frame(dev, buf.data(), len, &info);
            if (r < 0) break;
            if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (r == 1 && info.frame_size == len && is_frame(buf.data(), len, info.frame_idx, len))
                ++good;
        }
        if (good < 20) fail("capture");
        tarvo_cap_stop(dev);
        tarvo_dev_close(dev);
        opened_.clear();
        return failed;
    }
};

TEST_P(DevHostile, FailsTheAttackedStepAndLogs) {
    const Case &c = GetParam();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(session(c.mode, c.at_open, c.ti), c.step);
    EXPECT_LT(ms_since(t0), 20000);
    EXPECT_TRUE(log_has(c.log)) << read_log();
}

INSTANTIATE_TEST_SUITE_P(Modes, DevHostile, ::testing::ValuesIn(k_cases), [](const auto &info) {
    std::string n = tarvo::sim::hostile_name(info.param.mode);
    std::replace(n.begin(), n.end(), '-', '_');
    return n + (info.param.at_open ? "_at_open" : "") + (info.param.ti ? "_ti" : "");
});

TEST_F(DevHostile, WellBehavedCameraPassesEveryStep) {
    EXPECT_EQ(session(Hostile::none, true), "");
    EXPECT_FALSE(log_has("[ERR]"));
}

// One open per hostile entry name in the camera's calibration archive: each
// is refused, and nothing is written outside the path prefix.
TEST_F(DevHostile, CalibrationEntryNamesStayInsideThePrefix) {
    tarvo::sim::CameraConfig cfg = ti_camera(100);
    cfg.product = "TarvoSim-E2-1.0";
    cfg.hostile = Hostile::zip_names;
    make_bus(cfg);
    const char *const outside[] = {"../hostile_up.bin", "/tmp/tarvo_hostile_abs.bin",
                                   "../hostile_back.bin", "../../hostile_after_nul.bin",
                                   "hostile_after_nul.bin"};
    for (int round = 0; round < 5; ++round) {
        tarvo_dev_t *dev = open_first(&rec_);
        ASSERT_NE(dev, nullptr) << round;
        tarvo_dev_close(dev);
        opened_.clear();
        for (const char *f : outside) EXPECT_FALSE(std::filesystem::exists(f)) << f;
    }
    // libzip reads a NUL inside a name as a blank, so the name is not cut
    // short and keeps its "..".
    EXPECT_TRUE(log_has("entry \"hostile_nul.bin /../../hostile_after_nul.bin\" would leave"));
    EXPECT_EQ(log_count("\" would leave ./, refused"), 4u) << read_log();
    EXPECT_TRUE(log_has("[ERR] [zip_extract] entry name of 304 bytes refused"));
    EXPECT_FALSE(log_has("Extracted:"));
    EXPECT_FALSE(std::filesystem::exists("hostile_nul.bin"));
}

// Every mode has its case.
TEST(DevHostileModes, EachModeIsDriven) {
    for (Hostile h : tarvo::sim::hostile_modes())
        EXPECT_TRUE(std::any_of(std::begin(k_cases), std::end(k_cases), [h](const Case &c) {
            return c.mode == h;
        })) << tarvo::sim::hostile_name(h);
}

}  // namespace
