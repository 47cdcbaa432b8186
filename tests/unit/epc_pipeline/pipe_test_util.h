// Helpers of the engine pipeline tests: a fixture that starts every test
// from the engine's load-time state (engine state and pipeline state) with
// a log file to read back, and captures of standard output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "epc/epc_state.h"
#include "epc/pipeline.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_log.h"
#include "test_files.h"

namespace pipe_test {

class PipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvo::epc::reset_state();
        tarvo::epc::pipeline_reset();
        tq_log_disable();
        ::unlink("pipe.log");
        tq_log_enable(1, 0, "pipe.log");
    }
    void TearDown() override {
        tq_log_disable();
        tarvo::epc::reset_state();
        tarvo::epc::pipeline_reset();
    }
    static std::string log_text() { return tarvo_test::read_file("pipe.log"); }

    // Geometry of C columns, Rh rows per half, H halves and `dcs` samples
    // per position.
    static void geometry(int C, int Rh, int H, int dcs) {
        auto &s = tarvo::epc::state();
        s.halves = H;
        s.dcs_count = dcs;
        pruSetSize(C, Rh);
    }

    // Hands `samples` to the engine as its current image.
    void set_image(const std::vector<uint16_t> &samples) {
        image_ = samples;
        epc_image_t img{};
        img.info.frame_size = static_cast<uint32_t>(image_.size() * 2);
        img.data = image_.data();
        pruSetImage(&img);
    }

    std::vector<uint16_t> image_;
};

// Everything a call writes on standard output.
template <class F>
std::string stdout_of(F &&f) {
    ::testing::internal::CaptureStdout();
    f();
    return ::testing::internal::GetCapturedStdout();
}

inline uint16_t lo(uint32_t v) {
    return static_cast<uint16_t>(v & 0xFFFF);
}
inline uint16_t hi(uint32_t v) {
    return static_cast<uint16_t>(v >> 16);
}

}  // namespace pipe_test
