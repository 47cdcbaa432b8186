// The EPC driver's operation table. The operations arrive with the EPC
// driver; until then the table is empty and the registry rows that point
// to it decode nothing.
#include "tarvo/tarvo_drv.h"

extern "C" TARVO_API const tarvo_drv_ops_t g_tarvo_driver_op_epc = {};
