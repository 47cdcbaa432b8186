// Names of the hostile modes, for the launcher and its help text, and the
// calibration images the hostile modes serve.
#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "archive.h"
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
     "every third frame: len 0xFFFFF, frlen 0x7FFFFFF, indices jumping backwards"},
    {Hostile::ragged_frames, "ragged-frames", "frames 3 bytes longer than their geometry"},
    {Hostile::calib_4gib, "calib-4gib", "parameter 8 describes a valid 4 GiB calibration file"},
    {Hostile::flash_sizes, "flash-sizes",
     "flash information with sizes and addresses of 0xFFFFFFF0"},
    {Hostile::calib_overlong, "calib-overlong",
     "the stored calibration claims more payload than its frame holds"},
    {Hostile::zip_bomb, "zip-bomb", "the calibration archive expands to 40 MiB"},
    {Hostile::zip_names, "zip-names",
     "calibration archive entries named ../, absolute, ..\\, with a NUL, 300 bytes long"},
};

// Entry names that try to leave the directory they are extracted into, one
// per read-out. `\x01` stands for a NUL, written into the archive after
// libzip made it (libzip takes names as C strings).
const char *const k_hostile_names[] = {
    "../hostile_up.bin",
    "/tmp/tarvo_hostile_abs.bin",
    "..\\hostile_back.bin",
    "hostile_nul.bin\x01/../../hostile_after_nul.bin",
};

// Replaces the placeholder byte of every copy of `name` (the local header
// and the central directory each hold one) by a NUL.
void put_nul(std::vector<uint8_t> &zip, const std::string &name) {
    const size_t at = name.find('\x01');
    if (at == std::string::npos) return;
    for (auto it = std::search(zip.begin(), zip.end(), name.begin(), name.end()); it != zip.end();
         it = std::search(it + 1, zip.end(), name.begin(), name.end()))
        it[static_cast<std::ptrdiff_t>(at)] = 0;
}

std::vector<uint8_t> hostile_image(Hostile h, uint32_t round) {
    const std::vector<uint8_t> tiny(64, 0x5A);
    switch (h) {
        case Hostile::calib_overlong: {
            const auto zip = zip_archive({{"calib_and_param_000.bin", tiny}});
            return calib_image_of(zip, static_cast<uint32_t>(zip.size()) + 4096);
        }
        case Hostile::zip_bomb:
            return calib_image_of(
                zip_archive({{"calib_and_param_000.bin", std::vector<uint8_t>(40u << 20, 0)}}));
        case Hostile::zip_names: {
            const size_t n = std::size(k_hostile_names) + 1;
            const std::string name =
                round % n < n - 1 ? k_hostile_names[round % n] : std::string(300, 'L') + ".bin";
            std::vector<uint8_t> zip = zip_archive({{name, tiny}});
            put_nul(zip, name);
            return calib_image_of(zip);
        }
        default:
            return {};
    }
}

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

const std::vector<uint8_t> *hostile_calibration(Hostile h, uint32_t round) {
    if (h != Hostile::calib_overlong && h != Hostile::zip_bomb && h != Hostile::zip_names)
        return nullptr;
    // Made once per mode and round (the bomb takes a moment to deflate).
    static std::mutex mu;
    static std::map<std::pair<Hostile, uint32_t>, std::vector<uint8_t>> made;
    round =
        h == Hostile::zip_names ? round % static_cast<uint32_t>(std::size(k_hostile_names) + 1) : 0;
    std::lock_guard l(mu);
    auto [it, fresh] = made.try_emplace({h, round});
    if (fresh) it->second = hostile_image(h, round);
    return &it->second;
}

void Camera::set_hostile(Hostile h) {
    hostile_calibration(h, 0);  // made now, not while a command waits for it
    std::lock_guard l(s_->mu);
    s_->cfg.hostile = h;
}

Hostile Camera::hostile() const {
    std::lock_guard l(s_->mu);
    return s_->cfg.hostile;
}

}  // namespace tarvo::sim
