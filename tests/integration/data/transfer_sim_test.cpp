// Whole writes and reads through the USB link, real libusb and the
// simulated camera's flash: the scenarios of data_transfer_scenarios.h.
#include "data_transfer_scenarios.h"
#include "sim_rig.h"

namespace data_test {
INSTANTIATE_TYPED_TEST_SUITE_P(Sim, DataTransfer, SimRig);
}
