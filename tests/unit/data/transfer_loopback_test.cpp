// Whole writes and reads through the loopback link: the scenarios of
// data_transfer_scenarios.h against the simulated flash without USB.
#include "data_transfer_scenarios.h"
#include "loopback_link.h"

namespace {

class LoopbackRig {
  public:
    static constexpr uint32_t k_big = (1u << 20) + 333;

    tarvo_ll_dev_t *ll() { return link_.ll(); }
    tarvo::sim::Flash &flash() { return link_.flash(); }
    std::vector<uint8_t> resets() const { return link_.resets(); }
    bool camera_gone() const { return link_.gone(); }
    void clear_log() { link_.clear_log(); }
    std::vector<data_test::DataCommand> data_commands() const {
        std::vector<data_test::DataCommand> out;
        for (const auto &t : link_.transfers())
            if (t.request == 0xCC) out.push_back({t.in, t.value, t.data.size()});
        return out;
    }

  private:
    data_test::LoopbackLink link_;
};

}  // namespace

namespace data_test {
INSTANTIATE_TYPED_TEST_SUITE_P(Loopback, DataTransfer, LoopbackRig);
}
