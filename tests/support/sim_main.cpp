// GoogleTest main for tests that put simulated cameras on an emulated bus:
// the process re-executes itself under libumockdev-preload.so.0 first, so
// that libusb sees the bus.
#include <gtest/gtest.h>

#include "tarvo_sim/sim.h"

int main(int argc, char **argv) {
    tarvo::sim::ensure_preloaded(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
