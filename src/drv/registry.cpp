// The chip-driver registry: four constant rows selected by product code.
// A row is a template: every open device copies the row it was given and
// keeps its own driver state in that copy.
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "tarvo/tarvo_drv.h"

namespace {

const tarvo_drv_t g_drivers[4] = {
    {"TI OP8241 chip driver", "T0", &g_tarvo_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_tarvo_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_tarvo_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E3", &g_tarvo_driver_op_epc, nullptr, nullptr},
};

}  // namespace

extern "C" TARVO_API const tarvo_drv_t *tarvo_drv_find(tarvo_dev_t *dev) {
    if (!dev) return nullptr;
    // The product text is a fixed 32-byte field that a camera fills; never
    // read past it even when it holds no terminator.
    char product[sizeof dev->product + 1];
    std::memcpy(product, dev->product, sizeof dev->product);
    product[sizeof dev->product] = '\0';

    char name[17], code[17], version[17];
    if (std::sscanf(product, "%16[^-]-%16[^-]-%16[^-]", name, code, version) < 3) return nullptr;
    for (const tarvo_drv_t &row : g_drivers) {
        if (std::strcmp(code, row.code) == 0) {
            TQ_DBG("[%s]  find driver for device %s : %s\n", "tarvo_drv_find", product, row.name);
            return &row;
        }
    }
    return nullptr;
}
