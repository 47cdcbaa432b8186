// Helpers shared by the data-transfer tests: generated images, files of
// bytes, and the record of one data command a rig reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "test_files.h"

namespace data_test {

struct DataCommand {
    bool in = false;
    uint16_t action = 0;
    size_t len = 0;
};

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &v) {
    tarvo_test::write_file(path, std::string(v.begin(), v.end()));
}

inline std::vector<uint8_t> read_bytes(const std::string &path) {
    std::string s = tarvo_test::read_file(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace data_test
