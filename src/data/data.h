// Internal knobs of the data transfers: the erase time-out for tests, the
// progress report.
#pragma once

#include <cstdint>

namespace tarvo::data {

// How long a write keeps polling a camera that reports "busy erasing"
// before it gives up (milliseconds on the library clock). 120 s by default;
// tests shorten it.
void set_erase_timeout_ms(uint32_t ms);
uint32_t erase_timeout_ms();

// Calls the progress hook that the calling thread set, if any.
void report_progress(uint32_t done, uint32_t total);

}  // namespace tarvo::data
