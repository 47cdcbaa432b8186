// The EPC sensor chip behind register space 1: 256 one-byte registers,
// the system-clock registers at their defaults, range checks of every
// transfer, and the modulation frequency the registers select. Called by the command handler with
// the camera's lock held.
#include "epc_chip.h"

#include <mutex>
#include <string>

#include "tarvo_sim/epc_chip.h"
#include "tarvo_sim/sim.h"

namespace tarvo::sim {

uint32_t epc_sysclk_khz(uint8_t r129, uint8_t r130) {
    return ((r130 & 0x1Fu) * 4000u + 4000u) >> ((r129 >> 4) & 3u);
}

uint8_t epc_reg(const Camera &cam, uint8_t reg) {
    return static_cast<uint8_t>(cam.reg(k_epc_reg_space, reg));
}

std::vector<RegWrite> epc_writes(const Camera &cam) {
    std::vector<RegWrite> out;
    for (const RegWrite &w : cam.reg_writes())
        if (w.target == k_epc_reg_space) out.push_back(w);
    return out;
}

std::vector<uint8_t> epc_writes_to(const Camera &cam, uint8_t reg) {
    std::vector<uint8_t> out;
    for (const RegWrite &w : epc_writes(cam))
        if (w.index == reg) out.push_back(static_cast<uint8_t>(w.value));
    return out;
}

bool epc_chip_present(const CameraConfig &cfg) {
    return epc_chip::present(cfg);
}

namespace epc_chip {

bool present(const CameraConfig &cfg) {
    if (cfg.epc.enabled) return *cfg.epc.enabled;
    // "name-code-version": an E code is an EPC camera.
    const size_t dash = cfg.product.find('-');
    return dash != std::string::npos && dash + 1 < cfg.product.size() &&
           cfg.product[dash + 1] == 'E';
}

void init(Camera::State &s) {
    if (!present(s.cfg)) return;
    s.regs[{k_epc_reg_space, 129}] = s.cfg.epc.r129;
    s.regs[{k_epc_reg_space, 130}] = s.cfg.epc.r130;
}

bool owns(const Camera::State &s, uint8_t target) {
    return present(s.cfg) && target == k_epc_reg_space;
}

bool in_range(uint32_t first, uint32_t count) {
    return first < k_epc_reg_count && count <= k_epc_reg_count - first;
}

uint32_t stored(uint32_t value) {
    return value & 0xFFu;
}

uint32_t modulation_khz(const Camera::State &s) {
    auto reg = [&](uint32_t r) -> uint8_t {
        auto it = s.regs.find({k_epc_reg_space, r});
        return it == s.regs.end() ? 0 : static_cast<uint8_t>(it->second);
    };
    // R128 = 127 selects the fixed 36 MHz mode; otherwise the system clock
    // divided by 4 x (R133 + 1).
    if (reg(128) == 127) return 36000;
    return epc_sysclk_khz(reg(129), reg(130)) / (4u * ((reg(133) & 0x1Fu) + 1u));
}

}  // namespace epc_chip

}  // namespace tarvo::sim
