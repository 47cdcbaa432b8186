// Names of the hostile modes, for the launcher and its help text.
#include <algorithm>
#include <string>
#include <vector>

#include "state.h"

namespace tarvo::sim {
namespace {

struct HostileEntry {
    Hostile mode;
    const char *name;
    const char *what;
};

constexpr HostileEntry k_modes[] = {
    {Hostile::none, "none", "a well-behaved camera"},
    {Hostile::short_replies, "short-replies",
     "camera-to-host commands answer half the bytes asked"},
    {Hostile::long_replies, "long-replies",
     "camera-to-host commands answer more than asked (overflow)"},
    {Hostile::status_unterminated, "status-unterminated",
     "status records: an error whose text has no terminating zero"},
    {Hostile::status_other_command, "status-other-command",
     "status records name another command than the last"},
    {Hostile::param_255, "param-255", "parameter items claim 255 bytes in the 18-byte field"},
    {Hostile::busy, "busy", "every status poll answers busy"},
    {Hostile::header_limits, "header-limits",
     "packet headers with len 0xFFFFF, frlen 0x7FFFFFF, indices jumping backwards"},
    {Hostile::ragged_frames, "ragged-frames", "frames 3 bytes longer than their geometry"},
    {Hostile::calib_4gib, "calib-4gib", "parameter 8 describes a valid 4 GiB calibration file"},
    {Hostile::flash_sizes, "flash-sizes",
     "flash information with sizes and addresses of 0xFFFFFFF0"},
};

}  // namespace

const char *hostile_name(Hostile h) {
    for (const auto &e : k_modes)
        if (e.mode == h) return e.name;
    return "?";
}

bool hostile_from_name(const std::string &name, Hostile *out) {
    for (const auto &e : k_modes)
        if (name == e.name) {
            *out = e.mode;
            return true;
        }
    return false;
}

std::vector<Hostile> hostile_modes() {
    std::vector<Hostile> v;
    for (const auto &e : k_modes)
        if (e.mode != Hostile::none) v.push_back(e.mode);
    return v;
}

std::string hostile_help() {
    std::string out;
    for (const auto &e : k_modes) {
        std::string line = "    " + std::string(e.name);
        line.resize(std::max<size_t>(line.size() + 1, 26), ' ');
        out += line + e.what + "\n";
    }
    return out;
}

void Camera::set_hostile(Hostile h) {
    std::lock_guard l(s_->mu);
    s_->cfg.hostile = h;
}

Hostile Camera::hostile() const {
    std::lock_guard l(s_->mu);
    return s_->cfg.hostile;
}

}  // namespace tarvo::sim
