// A registry row of the EPC driver with its private state made by hand, so
// that the operations that need no camera can be tested without one.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "drv/epc/epc_drv.h"
#include "epc/epc_state.h"
#include "tarvo/tarvo.h"
#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_epc_drv.h"
#include "test_files.h"

namespace epc_unit {

constexpr char k_log[] = "drv_epc_unit.log";

class EpcRow : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvo::epc::reset_state();
        tarvo::drv::epc::lens_record_reset();
        tarvo::drv::epc::reset_extract_count();
        std::remove(k_log);
        tarvo_init(k_log);
        tarvo_log_cfg(4, 0, 5);
        st_ = new tarvo::drv::epc::epc_drv_state_t();
        st_->calib_reload_mode = 2;
        st_->min_amplitude_on = 1;
        st_->temp_threshold = 75;
        // The monitor would ask a camera for its frame rate: none here.
        st_->temp_monitor_on = 0;
        row_ = tarvo_drv_t{"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, st_};
    }
    void TearDown() override {
        ops().uninit(&row_);  // frees the state
        tarvo_uninit();
        tarvo::epc::reset_state();
        tarvo::drv::epc::lens_record_reset();
    }
    static const tarvo_drv_ops_t &ops() { return g_tarvo_driver_op_epc; }
    std::string log_text() const { return tarvo_test::read_file(k_log); }

    tarvo::drv::epc::epc_drv_state_t *st_ = nullptr;
    tarvo_drv_t row_{};
};

}  // namespace epc_unit
