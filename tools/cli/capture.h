// The capture loop shared by tarvo-cli capture and record.
#pragma once

#include <cstdint>
#include <vector>

#include "cli.h"
#include "images.h"

namespace tarvo_cli {

struct CaptureOptions {
    unsigned frames = 10;
    double seconds = 0;  // > 0: run for this long instead
    bool undistort = false;
    int min_amplitude = -1;  // < 0: leave the camera's setting
    int auto_intg = -1;
    bool hdr = false;
    int sync_guard = -1;
    bool progress = true;  // the progress line on a terminal
};

// Receives every frame, decoded. Returning false ends the capture.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual bool wants_gray() const { return false; }
    virtual bool frame(tarvo_dev_t *dev, unsigned n, const uint8_t *raw,
                       const tarvo_frame_info_t &info, const Image &im) = 0;
    // After the last frame, with the device still open.
    virtual bool finish(tarvo_dev_t *) { return true; }
};

struct CaptureSummary {
    unsigned frames = 0;
    unsigned index_gaps = 0;  // frames missing between frame indices
    uint32_t discarded = 0;   // dropped by the reassembler (stream errors)
    int last_error = 0;       // last capture error reported
    double seconds = 0;
    double decode_ms_mean = 0;
    double centre_median_m = NAN;  // median distance of the 16 x 16 centre pixels
    int width = 0, height = 0;
};

// Switches the filters, captures, decodes and hands frames to `sink`.
// Returns an exit status.
int capture_frames(tarvo_dev_t *dev, const CaptureOptions &o, FrameSink &sink, CaptureSummary &sum);

Record summary_record(const CaptureSummary &s);

// --frames, --seconds and the filter options.
void add_capture_options(CLI::App *c, CaptureOptions &o);
// The host filters only: --undistort, --min-amplitude, --auto-intg, --hdr,
// --sync-guard.
void add_filter_options(CLI::App *c, CaptureOptions &o);

}  // namespace tarvo_cli
