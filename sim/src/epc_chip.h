// Internal hooks of the simulated EPC chip (see tarvo_sim/epc_chip.h).
#pragma once

#include <cstdint>

#include "state.h"

namespace tarvo::sim::epc_chip {

// True when the camera has the chip: as configured, else for E products.
bool present(const CameraConfig &cfg);
// Puts the clock registers at their configured values (camera creation).
void init(Camera::State &s);
// True when register space `target` is the chip's.
bool owns(const Camera::State &s, uint8_t target);
// True when registers first .. first + count - 1 all exist.
bool in_range(uint32_t first, uint32_t count);
// What a register keeps of a written 32-bit value: its low byte.
uint32_t stored(uint32_t value);
// Modulation frequency in kHz that the chip registers select now.
uint32_t modulation_khz(const Camera::State &s);

}  // namespace tarvo::sim::epc_chip
