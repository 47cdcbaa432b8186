// Internal knobs of the data transfers, for tests.
#pragma once

#include <cstdint>

namespace tarvo::data {

// How long a write keeps polling a camera that reports "busy erasing"
// before it gives up (milliseconds on the library clock). 120 s by default;
// tests shorten it.
void set_erase_timeout_ms(uint32_t ms);
uint32_t erase_timeout_ms();

}  // namespace tarvo::data
