// The process-wide default colour map, built by tarvo_init() with 30000
// entries and released by tarvo_uninit().
#pragma once

#include "tarvo/tq_cmap.h"

namespace tarvo {
tq_cmap_t &default_cmap();
}
