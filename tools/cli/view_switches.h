// The switches of the running camera that tarvo-cli view offers: the
// host filters and the frame rate, through the library's calls.
#pragma once

#include <cstdint>
#include <string>

#include "cli.h"

namespace tarvo_cli {

// The switches as the viewer last set them.
struct Switches {
    bool undistort = false, hdr = false;
    int min_amplitude = 0;                // 0: no threshold
    int auto_intg = -1, sync_guard = -1;  // < 0: off
    unsigned fps = 0;
};

Record switches_record(const Switches &s);

// Sets the camera's frame rate parameter (read at capture start).
bool set_frame_rate(tarvo_dev_t *dev, unsigned fps);

// Sets switch `name` ("undistort", "hdr": 0 or 1; "min_amplitude": a
// threshold, -1 for 0; "auto_intg", "sync_guard": a value, -1 off; "fps":
// 1 to 1000) and records it in `sw`. Returns an HTTP status: 200, 400 for
// a bad name or value, 502 when the camera refused; `why` says why.
int apply_switch(tarvo_dev_t *dev, const std::string &name, int64_t v, Switches &sw,
                 std::string &why);

}  // namespace tarvo_cli
