// tarvo-cli list: every attached camera with its identity and driver.
#include <cstdio>

#include "cli.h"
#include "tarvo/tarvo_drv.h"

namespace tarvo_cli {

namespace {

const char *speed_name(unsigned s) {
    static const char *const names[] = {"unknown", "low", "full", "high", "super"};
    return s < 5 ? names[s] : "unknown";
}

std::string text_of(const char *p, size_t n) {
    size_t len = 0;
    while (len < n && p[len]) ++len;
    return std::string(p, len);
}

int run_list(const Global &g) {
    Session s(g);
    if (!s.ok()) return k_failed;
    const std::vector<tarvo_dev_t> cams = s.list();
    std::vector<Record> rows;
    for (const tarvo_dev_t &c : cams) {
        Record r;
        r.add("bus", c.if_info.usb_bus_num)
            .add("port", c.if_info.usb_port_num)
            .add("address", c.if_info.usb_addr)
            .add("speed", speed_name(c.if_info.usb_speed));
        if (tarvo_dev_t *dev = s.open(c)) {
            r.add("identity", identity(dev));
        } else {
            r.add("identity", "(did not open)");
        }
        s.close();
        rows.push_back(r);
    }
    if (cams.empty() && !g.json) return fail(k_no_camera_help, k_no_camera);
    Record out;
    out.add("cameras", rows);
    emit(g, out);
    return cams.empty() ? k_no_camera : k_ok;
}

}  // namespace

Record identity(tarvo_dev_t *dev) {
    Record r;
    const tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    r.add("product", text_of(dev->product, sizeof dev->product))
        .add("id_text", text_of(dev->id_text, sizeof dev->id_text))
        .add("id_block", hex_bytes(dev->id_block, 8))
        .add("firmware", static_cast<int>(dev->version[2] | dev->version[3] << 8))
        .add("driver", drv && drv->name ? drv->name : "none");
    return r;
}

void add_list(CLI::App &app, Global &g, Runner &run) {
    CLI::App *c = app.add_subcommand("list", "list the attached cameras (opens each one briefly)");
    c->callback([&g, &run] { run = [&g] { return run_list(g); }; });
}

}  // namespace tarvo_cli
