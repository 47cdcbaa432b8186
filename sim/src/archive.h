// ZIP archives the simulated camera stores, written with libzip, and the
// stored calibration image around one.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::sim {

// One archive entry: its name, stored exactly as given, and its bytes.
using ZipEntry = std::pair<std::string, std::vector<uint8_t>>;

// The archive of `entries`, deflated, in memory. Throws std::runtime_error
// when libzip cannot write it.
std::vector<uint8_t> zip_archive(const std::vector<ZipEntry> &entries);

// A stored calibration image: the 17-byte header (valid, archive flag,
// payload length `claimed`, or the payload's own length when 0) and the
// payload.
std::vector<uint8_t> calib_image_of(const std::vector<uint8_t> &payload, uint32_t claimed = 0);

}  // namespace tarvo::sim
