// Shared set-up of the point-cloud and colour-image tests: the library
// started (it builds the default colour map) with a log file of its own,
// and a colour map of the same size for the expected colours.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tarvo/tarvo.h"

namespace outtest {

constexpr char k_log[] = "outputs_test.log";

inline std::string read_log() {
    std::ifstream in(k_log, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool log_has(const std::string &text) {
    return read_log().find(text) != std::string::npos;
}

class Outputs : public ::testing::Test {
  protected:
    void SetUp() override {
        std::remove(k_log);
        tarvo_init(k_log);
        ASSERT_NE(tq_cmap_init(&ref_, 30000), nullptr);
    }
    void TearDown() override {
        tq_cmap_uninit(&ref_);
        tarvo_uninit();
    }

    // Sets the default map's range (metres) and the reference map's
    // (millimetres) alike.
    void set_range(float min_m, float max_m, int min_mm, int max_mm) {
        EXPECT_EQ(tarvo_cmap_float(nullptr, 0, nullptr, 0, TARVO_CMAP_OUTFMT_RGB, min_m, max_m), 0);
        tq_cmap_set_range(&ref_, min_mm, max_mm);
    }

    tq_cmap_t ref_{};
};

}  // namespace outtest
