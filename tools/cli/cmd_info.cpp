// tarvo-cli info: identity, chip, calibration, lens and running settings.
#include <filesystem>
#include <memory>

#include "cli.h"
#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_epc.h"

namespace tarvo_cli {

namespace {

bool get_param(tarvo_dev_t *dev, uint32_t id, tarvo_param_item_t &item) {
    item = {};
    item.param_id = id;
    return tarvo_param_batch_get(dev, &item, 1) && item.param_val_len > 0;
}

int16_t le_i16(const uint8_t *p) {
    return static_cast<int16_t>(p[0] | p[1] << 8);
}

// The DRNU calibration files of the opened EPC chip under the prefix.
bool calibration_files_present(const std::string &prefix) {
    char name[256];
    for (int bank = 0; bank < 2; ++bank) {
        calibrationGetDistanceImagesName(name, bank);
        if (std::filesystem::exists(prefix + "/" + name)) return true;
    }
    return false;
}

bool any_drnu_file(const std::string &prefix) {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(prefix, ec))
        if (e.path().filename().string().find("images_drnu_") != std::string::npos) return true;
    return false;
}

int run_info(const Global &g, int width, int height) {
    Session s(g);
    if (!s.ok()) return k_failed;
    const bool files_before = any_drnu_file(s.prefix());
    tarvo_dev_t *dev = s.open();
    if (!dev) return s.open_status();
    Record out;
    out.add("identity", identity(dev));
    tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    const bool epc = drv && drv->ops == &g_tarvo_driver_op_epc;

    tarvo_param_item_t item;
    if (get_param(dev, TARVO_PARAM_CHIP_INFO, item) && item.param_val_len >= 6) {
        Record chip;
        chip.add("part_version", static_cast<int>(le_i16(item.param_val) & 0xFFFF))
            .add("chip_id", static_cast<int>(le_i16(item.param_val + 2) & 0xFFFF))
            .add("wafer_id", static_cast<int>(le_i16(item.param_val + 4) & 0xFFFF));
        out.add("chip", chip);
    } else {
        out.add("chip", "unknown");
    }
    const char *calib = "none";
    if (epc && calibration_files_present(s.prefix()))
        calib = files_before ? "from files" : "read out of the camera";
    out.add("calibration", calib).add("calibration_dir", s.prefix());

    tq_lens_param_t lens{};
    if (drv && drv->ops->lens_param_get && drv->ops->lens_param_get(drv, &lens, width, height)) {
        Record l;
        l.add("width", lens.img_w).add("height", lens.img_h).add("cx", lens.cx).add("cy", lens.cy);
        l.add("fx", lens.fx).add("fy", lens.fy);
        l.add_numbers("distortion", {lens.dcoeff[0], lens.dcoeff[1], lens.dcoeff[2], lens.dcoeff[3],
                                     lens.dcoeff[4]});
        out.add("lens", l);
    } else {
        out.add("lens", "none");
    }
    if (get_param(dev, TARVO_PARAM_FRAME_RATE, item))
        out.add("frame_rate", le_u32(item.param_val, item.param_val_len));
    if (get_param(dev, TARVO_PARAM_INTG_TIME, item))
        out.add("integration_time_us", le_u32(item.param_val, item.param_val_len < 2 ? 1 : 2));
    if (get_param(dev, TARVO_PARAM_TEMPERATURE, item)) {
        std::vector<double> t;
        for (size_t i = 0; i + 1 < item.param_val_len && i < 8; i += 2)
            t.push_back(le_i16(item.param_val + i) / 10.0);
        out.add_numbers("temperatures_c", t);
    }
    emit(g, out);
    return k_ok;
}

}  // namespace

void add_info(CLI::App &app, Global &g, Runner &run) {
    CLI::App *c =
        app.add_subcommand("info", "identity, chip, calibration, lens and settings of a camera");
    auto size = std::make_shared<std::pair<int, int>>(320, 240);
    c->add_option("--width", size->first, "image width the lens parameters are given for")
        ->check(CLI::PositiveNumber);
    c->add_option("--height", size->second, "image height")->check(CLI::PositiveNumber);
    c->callback(
        [&g, &run, size] { run = [&g, size] { return run_info(g, size->first, size->second); }; });
}

}  // namespace tarvo_cli
