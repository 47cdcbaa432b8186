// The library session of one tarvo-cli run: path prefix, log, one camera.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "cli.h"

namespace tarvo_cli {

const char *const k_no_camera_help =
    "no camera found.\n"
    "  - Nothing plugged in? A tarvo camera shows up in lsusb as 1209:7a7f.\n"
    "  - Plugged in but not listed? Your user may lack access to its USB device:\n"
    "    install the udev rule 70-tarvo.rules (cmake --install puts it in\n"
    "    lib/udev/rules.d; copy it to /etc/udev/rules.d, run\n"
    "    'udevadm control --reload' and plug the camera in again), or run as root.\n"
    "  - No camera at hand? Try the simulated one:\n"
    "    tarvo-sim run -- tarvo-cli list";

namespace {

int level_of(const std::string &name) {
    static const char *const names[] = {"trace", "debug", "info", "warn", "error", "off"};
    for (int i = 0; i < 6; ++i)
        if (name == names[i]) return i;
    return -1;
}

}  // namespace

std::string default_prefix() {
    const char *xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/tarvo";
    const char *home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/state/tarvo";
}

Session::Session(const Global &g) : g_(g) {
    const int level = level_of(g.log_level);
    if (level < 0) {
        fail("--log-level must be trace, debug, info, warn, error or off");
        return;
    }
    prefix_ = g.prefix.empty() ? default_prefix() : g.prefix;
    while (prefix_.size() > 1 && prefix_.back() == '/') prefix_.pop_back();
    std::error_code ec;
    std::filesystem::create_directories(prefix_, ec);
    if (ec || !std::filesystem::is_directory(prefix_)) {
        fail("cannot use " + prefix_ + " for log and calibration files: " + ec.message());
        return;
    }
    // The library keeps 255 characters of its prefix.
    if (prefix_.size() > 200) {
        fail("the prefix " + prefix_ + " is too long (at most 200 characters)");
        return;
    }
    char day[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(day, sizeof day, "%Y%m%d", std::localtime(&now));
    const std::string log = prefix_ + "/tarvo_" + day + ".log";
    tarvo_init(log.c_str());
    tq_log_enable(0, level, nullptr);
    if (tarvo_path_cfg((prefix_ + "/").c_str()) != 0) {
        fail("cannot use " + prefix_ + " as the library's path prefix");
        return;
    }
    ok_ = true;
}

Session::~Session() {
    close();
    tarvo_uninit();
}

std::vector<tarvo_dev_t> Session::list() {
    std::vector<tarvo_dev_t> v(16);
    const int n = tarvo_dev_list(v.data(), static_cast<int>(v.size()));
    v.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return v;
}

tarvo_dev_t *Session::open(const tarvo_dev_t &entry) {
    close();
    dev_ = entry;
    if (!tarvo_dev_open(&dev_)) {
        fail("the camera on bus " + std::to_string(entry.if_info.usb_bus_num) + " port " +
             std::to_string(entry.if_info.usb_port_num) + " did not open (see the log under " +
             prefix_ + ")");
        return nullptr;
    }
    open_ = true;
    return &dev_;
}

tarvo_dev_t *Session::open() {
    const std::vector<tarvo_dev_t> cams = list();
    if (cams.empty()) {
        open_status_ = fail(k_no_camera_help, k_no_camera);
        return nullptr;
    }
    if (g_.device < 0 || static_cast<size_t>(g_.device) >= cams.size()) {
        fail("--device " + std::to_string(g_.device) + ": there are " +
             std::to_string(cams.size()) + " cameras (0 to " + std::to_string(cams.size() - 1) +
             ")");
        return nullptr;
    }
    return open(cams[static_cast<size_t>(g_.device)]);
}

void Session::close() {
    if (open_) tarvo_dev_close(&dev_);
    open_ = false;
}

bool parse_int(const std::string &s, int64_t &out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno || *end) return false;
    out = v;
    return true;
}

std::string hex_bytes(const uint8_t *p, size_t n) {
    std::string o;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
        o += b;
    }
    return o;
}

uint32_t le_u32(const uint8_t *p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n && i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

}  // namespace tarvo_cli
