// The emulated bus: a umockdev testbed with the simulated cameras, their
// device nodes, plugging and unplugging, and the timer thread that paces
// streams and delivers delayed answers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "bus_impl.h"
#include "epc_chip.h"
#include "scene.h"
#include "tarvo_sim/scene.h"
#include "usbfs.h"
#include "wire.h"

namespace tarvo::sim {

int64_t mono_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

std::string sysfs_name(uint8_t port) {
    return "1-" + std::to_string(port);
}
std::string sysfs_path(uint8_t port) {
    return "/sys/devices/usb1/" + sysfs_name(port);
}

void mkdirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

std::string hex(const std::vector<uint8_t> &b) {
    static const char *digits = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        s += digits[x >> 4];
        s += digits[x & 15];
    }
    return s;
}

}  // namespace

Bus::Impl::Impl(BusOptions o) : opt(o) {
    if (!preloaded())
        throw std::runtime_error(
            "tarvo-sim: the process must run under libumockdev-preload.so.0 "
            "(call tarvo::sim::ensure_preloaded first)");
    tb = umockdev_testbed_new();
    if (!tb) throw std::runtime_error("tarvo-sim: cannot create the umockdev testbed");
    gchar *r = umockdev_testbed_get_root_dir(tb);
    root = r;
    g_free(r);
    timer = std::thread([this] { timer_loop(); });
}

Bus::Impl::~Impl() {
    {
        std::lock_guard lk(tmu);
        stop = true;
    }
    tcv.notify_all();
    timer.join();
    {
        std::lock_guard cl(cams_mu);
        for (auto &c : cams) {
            std::lock_guard sl(c->mu);
            c->bus = nullptr;  // handles that outlive the bus see a camera off the bus
            c->present = false;
        }
    }
    // Nodes first (handlers detached), then the testbed.
    for (auto &s : cams) {
        for (auto &n : s->nodes) {
            GError *err = nullptr;
            if (!umockdev_testbed_detach_ioctl(tb, n->devnode.c_str(), &err) && err)
                g_error_free(err);
            g_object_unref(n->handler);
            // Under the camera's lock: umockdev's handler thread last
            // touched these queues under it.
            std::lock_guard sl(s->mu);
            n->pending.clear();
            n->done.clear();
            if (n->fd >= 0) close(n->fd);
        }
    }
    g_object_unref(tb);
}

void Bus::Impl::kick() {
    {
        std::lock_guard lk(tmu);
        kicked = true;
    }
    tcv.notify_one();
}

void Bus::Impl::timer_loop() {
    std::unique_lock lk(tmu);
    while (!stop) {
        lk.unlock();
        const int64_t now = mono_us();
        int64_t due = now + 100000;
        std::vector<std::pair<std::shared_ptr<Camera::State>, PlugEvent>> events;
        std::vector<std::shared_ptr<Camera::State>> list;
        {
            std::lock_guard cl(cams_mu);
            list = cams;
        }
        for (auto &s : list) {
            std::lock_guard sl(s->mu);
            cam_tick(*s, now);
            for (auto it = s->plug_events.begin(); it != s->plug_events.end();) {
                if (it->at_us <= now) {
                    events.emplace_back(s, *it);
                    it = s->plug_events.erase(it);
                } else {
                    ++it;
                }
            }
            const int64_t d = s->next_due_us();
            if (d >= 0) due = std::min(due, d);
        }
        for (auto &[s, e] : events) {
            try {
                if (e.unplug)
                    unplug(*s);
                else
                    replug(*s, e.port);
            } catch (const std::exception &ex) {
                // The camera stays off the bus; the host sees it vanish.
                std::fprintf(stderr, "%s\n", ex.what());
            }
        }
        lk.lock();
        if (!events.empty()) continue;
        if (!kicked)
            tcv.wait_for(lk, std::chrono::microseconds(std::max<int64_t>(0, due - mono_us())),
                         [this] { return stop || kicked; });
        kicked = false;
    }
}

Node *Bus::Impl::make_node(Camera::State &s) {
    auto n = std::make_unique<Node>();
    n->cam = &s;
    n->devnum = next_addr;
    next_addr = next_addr >= 127 ? 2 : next_addr + 1;
    char name[40];
    std::snprintf(name, sizeof name, "/dev/bus/usb/001/%03u", n->devnum);
    n->devnode = name;
    n->fifo = root + n->devnode;
    mkdirs(n->fifo.substr(0, n->fifo.rfind('/')));
    unlink(n->fifo.c_str());
    if (mkfifo(n->fifo.c_str(), 0666) != 0)
        throw std::runtime_error("tarvo-sim: cannot make the device node " + n->fifo);
    n->fd = open(n->fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (n->fd < 0) throw std::runtime_error("tarvo-sim: cannot open the device node " + n->fifo);
    fcntl(n->fd, F_SETPIPE_SZ, 4096);
    node_update_ready(*n);  // full: nothing to reap yet
    n->handler = umockdev_ioctl_base_new();
    g_signal_connect(n->handler, "handle-ioctl", G_CALLBACK(usbfs_handle_ioctl), n.get());
    g_signal_connect(n->handler, "client-connected", G_CALLBACK(usbfs_client_connected), n.get());
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, n->devnode.c_str(), n->handler, &err)) {
        std::string msg = err ? err->message : "?";
        if (err) g_error_free(err);
        throw std::runtime_error("tarvo-sim: cannot attach the ioctl handler: " + msg);
    }
    Node *raw = n.get();
    std::lock_guard sl(s.mu);
    s.nodes.push_back(std::move(n));
    return raw;
}

void Bus::Impl::announce(Camera::State &s, Node &n, uint8_t port) {
    const std::vector<uint8_t> dev = wire::device_descriptor();
    std::vector<uint8_t> desc = dev;
    const std::vector<uint8_t> conf = wire::config_descriptor(s.cfg.speed);
    desc.insert(desc.end(), conf.begin(), conf.end());
    char num[8];
    std::snprintf(num, sizeof num, "%03u", n.devnum);
    std::string rec;
    rec += "P: " + sysfs_path(port).substr(4) + "\n";
    rec += "E: SUBSYSTEM=usb\n";
    rec += "E: DEVTYPE=usb_device\n";
    rec += "E: DEVNAME=" + n.devnode + "\n";
    rec += "E: BUSNUM=001\n";
    rec += std::string("E: DEVNUM=") + num + "\n";
    rec += "A: busnum=1\n";
    rec += "A: devnum=" + std::to_string(n.devnum) + "\n";
    rec += std::string("A: speed=") + (s.cfg.speed == Speed::high ? "480" : "12") + "\n";
    rec += "A: bConfigurationValue=1\n";
    rec += "A: bNumConfigurations=1\n";
    rec += "A: bNumInterfaces= 1\n";
    rec += "A: idVendor=" + hex({dev[9], dev[8]}) + "\n";
    rec += "A: idProduct=" + hex({dev[11], dev[10]}) + "\n";
    rec += "A: dev=189:" + std::to_string(n.devnum - 1) + "\n";
    rec += "H: descriptors=" + hex(desc) + "\n";
    GError *err = nullptr;
    if (!umockdev_testbed_add_from_string(tb, rec.c_str(), &err)) {
        std::string msg = err ? err->message : "?";
        if (err) g_error_free(err);
        throw std::runtime_error("tarvo-sim: cannot add the device: " + msg);
    }
    umockdev_testbed_uevent(tb, sysfs_path(port).c_str(), "add");
}

std::shared_ptr<Camera::State> Bus::Impl::plug_new(const CameraConfig &cfg) {
    auto s = std::make_shared<Camera::State>();
    s->bus = this;
    s->cfg = cfg;
    s->stream_cfg = cfg.stream;
    init_params(*s);
    // A physical scene's model and first frame, made before the camera
    // is on the bus.
    if (cfg.scene.physical && epc_chip::present(cfg))
        s->phys_model = scene::prepare_physical(
            cfg, scene::exposure_of(*s, mono_us(), epc_chip::modulation_khz(*s)));
    std::lock_guard tl(tb_mu);
    uint8_t port = 2;
    {
        std::lock_guard cl(cams_mu);
        for (const auto &c : cams)
            port = std::max<uint8_t>(port, static_cast<uint8_t>(c->port + 1));
        s->port = port;
        cams.push_back(s);
    }
    Node *n = make_node(*s);
    {
        std::lock_guard sl(s->mu);
        s->node = n;
        s->present = true;
    }
    announce(*s, *n, port);
    return s;
}

void Bus::Impl::unplug(Camera::State &s) {
    uint8_t port;
    {
        std::lock_guard sl(s.mu);
        if (!s.present) return;
        s.present = false;
        port = s.port;
        Node &n = *s.node;
        n.gone = true;
        cam_stop_stream(s);
        s.halted = false;
        node_fail_pending(n, -ENODEV);
        s.stats.bulk_pending = 0;
    }
    std::lock_guard tl(tb_mu);
    umockdev_testbed_uevent(tb, sysfs_path(port).c_str(), "remove");
    umockdev_testbed_remove_device(tb, sysfs_path(port).c_str());
}

void Bus::Impl::replug(Camera::State &s, uint8_t port) {
    unplug(s);
    std::lock_guard tl(tb_mu);
    Node *n = make_node(s);
    uint8_t p;
    {
        std::lock_guard sl(s.mu);
        if (port) s.port = port;
        p = s.port;
        s.node = n;
        s.present = true;
        // A camera that comes back has rebooted: no last command, no query.
        s.last_req = s.last_val = 0;
        s.last_status = 0;
        s.last_text.clear();
        s.busy_left = 0;
        s.param_query.clear();
        s.reg_query_valid = false;
        s.halted = false;
    }
    announce(s, *n, p);
}

void Bus::Impl::init_params(Camera::State &s) {
    const CameraConfig &c = s.cfg;
    auto text = [](const std::string &t) {
        return std::vector<uint8_t>(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                               t.size(), k_param_value_max)));
    };
    auto cut = [](std::vector<uint8_t> v) {
        if (v.size() > k_param_value_max) v.resize(k_param_value_max);
        return v;
    };
    s.params[k_param_mode] = {c.mode};
    s.params[k_param_id_text] = text(c.id_text);
    s.params[k_param_product] = text(c.product);
    s.params[k_param_id_block] = cut(c.id_block);
    s.params[k_param_version] = cut(c.version);
    std::vector<uint8_t> chip(6);
    for (int i = 0; i < 3; ++i) wire::put16(&chip[2 * i], c.chip_info[i]);
    s.params[k_param_chip_info] = chip;
    epc_chip::init(s);
    std::vector<uint8_t> fr(4);
    wire::put32(fr.data(), c.frame_rate);
    s.params[k_param_frame_rate] = fr;
    std::vector<uint8_t> it(2);
    wire::put16(it.data(), c.intg_time_us);
    s.params[k_param_intg_time] = it;
    std::vector<uint8_t> t;
    for (int16_t v : c.temperatures) {
        if (t.size() + 2 > k_param_value_max) break;
        t.push_back(static_cast<uint8_t>(v));
        t.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
    s.params[k_param_temperature] = t;
    std::vector<uint8_t> sd(3);
    wire::put16(sd.data(), static_cast<uint16_t>(c.sync_delay));
    sd[2] = c.sync_flag;
    s.params[k_param_sync_delay] = sd;
    s.params[k_param_sensor_mode] = {0};
    // A physical camera answers with the calibration its factory measured.
    if (c.scene.physical && c.factory_calibration && c.calibration.empty() &&
        epc_chip::present(c)) {
        s.cfg.calibration = factory_calibration(c.chip_info[1], c.chip_info[2]).image;
    }
    hostile_calibration(c.hostile, 0);  // made now, not while a command waits for it
    // Parameter 8 describes the stored image (tests may set it otherwise).
    if (!s.cfg.calibration.empty() && epc_chip::present(c))
        s.params[k_param_calib_info] = calib_info_of(s.cfg.calibration);
    for (const auto &[id, v] : c.extra_params) s.params[id] = cut(v);
}

// --- Bus ---------------------------------------------------------------------

Bus::Bus(unsigned cameras, const CameraConfig &cfg, BusOptions opt)
    : Bus(std::vector<CameraConfig>(cameras, cfg), opt) {}

Bus::Bus(const std::vector<CameraConfig> &cameras, BusOptions opt)
    : impl_(std::make_unique<Impl>(opt)) {
    for (const auto &c : cameras) impl_->plug_new(c);
}

Bus::~Bus() = default;

size_t Bus::size() const {
    std::lock_guard cl(impl_->cams_mu);
    return impl_->cams.size();
}

Camera Bus::camera(size_t i) const {
    std::lock_guard cl(impl_->cams_mu);
    if (i >= impl_->cams.size()) throw std::out_of_range("tarvo-sim: no such camera");
    return Camera(impl_->cams[i]);
}

Camera Bus::add_camera(const CameraConfig &cfg) {
    return Camera(impl_->plug_new(cfg));
}

std::string Bus::root_dir() const {
    return impl_->root;
}

}  // namespace tarvo::sim
