// Fuzzes the gray frame-file loader with arbitrary file contents.
#include "frame_fuzz_input.h"
#include "tarvo/tarvo_frame.h"
#include "tarvo/tarvo_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (tq_log_disable(), true);
    (void)quiet;
    frame_fuzz::run(data, size, tarvo_frame_load_gray);
    return 0;
}
