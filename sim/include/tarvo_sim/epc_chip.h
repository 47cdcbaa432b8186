// The EPC sensor chip of the simulated camera: register space 1 holds 256
// one-byte registers. A write stores the low byte of each 32-bit value; a
// read answers the stored bytes (unset registers read 0); a transfer that
// reaches register 256 or beyond fails with an error status, as the chip
// has no such register. R129 and R130 read the system clock setting
// (R130 = 0x17, R129 = 0x00: a 96000 kHz clock) unless configured.
// The chip is there when CameraConfig::epc.enabled says so or, when that
// is unset, for EPC products (product code E1, E2, E3). The modulation
// frequency of the scene frames (config.h, SceneConfig) follows R128,
// R133 and the clock registers.
//
// Every register write stays observable through Camera::reg_writes() (the
// values as the host sent them) and the stored bytes through Camera::reg().
#pragma once

#include <cstdint>
#include <vector>

#include "tarvo_sim/config.h"

namespace tarvo::sim {

class Camera;

// Register space of the chip and its size.
constexpr uint8_t k_epc_reg_space = 1;
constexpr uint32_t k_epc_reg_count = 256;

// System clock in kHz that R129/R130 describe:
// ((R130 & 0x1F) x 4000 + 4000) >> ((R129 >> 4) & 3).
uint32_t epc_sysclk_khz(uint8_t r129, uint8_t r130);

// Whether a camera of this configuration carries the chip.
bool epc_chip_present(const CameraConfig &cfg);

// The chip's stored register byte `reg`.
uint8_t epc_reg(const Camera &cam, uint8_t reg);

// The register writes the host made to the chip, in order; with `reg`
// given, only those to that register.
std::vector<RegWrite> epc_writes(const Camera &cam);
std::vector<uint8_t> epc_writes_to(const Camera &cam, uint8_t reg);

}  // namespace tarvo::sim
