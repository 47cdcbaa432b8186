// tarvo-cli quality: the depth-quality figures of a camera pointed at a
// flat wall, over a region of interest and a number of frames: the fitted
// plane's distance and tilt, the residuals' RMS, the fill rate, the
// temporal noise and, with --distance, the error against the true distance.
#include <memory>

#include "capture.h"
#include "cli.h"
#include "quality.h"

namespace tarvo_cli {

namespace {

struct QualityArgs {
    CaptureOptions cap;
    double distance = 0;  // true distance, metres; 0: not given
    bool distorted = false;
    std::string roi;
};

class Collect : public FrameSink {
  public:
    explicit Collect(tarvo_quality::Analyzer &a) : a_(a) {}
    bool frame(tarvo_dev_t *dev, unsigned, const uint8_t *, const tarvo_frame_info_t &,
               const Image &im) override {
        if (!a_.add(dev, im.dist.data(), im.width, im.height, nullptr, last_))
            return fail("the driver gave no lens parameters for a point cloud", 0) != 0;
        got_ = true;
        return true;
    }
    bool got() const { return got_; }
    const tarvo_quality::Figures &last() const { return last_; }

  private:
    tarvo_quality::Analyzer &a_;
    tarvo_quality::Figures last_;
    bool got_ = false;
};

bool parse_roi(const std::string &text, tarvo_quality::Roi &r) {
    int64_t v[4];
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? text.find(',', at) : text.size();
        if (end == std::string::npos || !parse_int(text.substr(at, end - at), v[i]) || v[i] < 0 ||
            v[i] > 8192)
            return false;
        at = end + 1;
    }
    r = {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
         static_cast<int>(v[3])};
    return r.w > 0 && r.h > 0;
}

int run_quality(const Global &g, QualityArgs a) {
    tarvo_quality::Roi roi;
    if (!a.roi.empty() && !parse_roi(a.roi, roi))
        return fail("--roi needs x,y,width,height in pixels", k_usage);
    if (a.cap.frames < 2) return fail("--frames needs at least 2 frames for the noise", k_usage);
    a.cap.undistort = !a.distorted;
    tarvo_quality::Analyzer an(static_cast<int>(a.cap.frames));
    an.set_roi(roi);
    an.set_truth(a.distance);
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    Collect sink(an);
    CaptureSummary sum;
    const int status = capture_frames(dev, a.cap, sink, sum);
    if (!sink.got()) return status == k_ok ? k_failed : status;
    const tarvo_quality::Figures &f = sink.last();
    emit(g, quality_record(f));
    if (status == k_ok && !f.plane) return fail("no plane fits the region's points");
    return status;
}

}  // namespace

Record quality_record(const tarvo_quality::Figures &f) {
    Record roi;
    roi.add("x", f.roi.x).add("y", f.roi.y).add("width", f.roi.w).add("height", f.roi.h);
    Record r;
    r.add("size", std::to_string(f.width) + "x" + std::to_string(f.height))
        .add("roi", roi)
        .add("frames", f.frames)
        .add("roi_pixels", f.roi_pixels)
        .add("valid_pixels", f.valid_pixels)
        .add("fill_rate_percent", f.fill_rate * 100.0)
        .add("plane", f.plane)
        .add("distance_m", f.distance_m)
        .add("tilt_deg", f.tilt_deg)
        .add("tilt_x_deg", f.tilt_x_deg)
        .add("tilt_y_deg", f.tilt_y_deg)
        .add("rms_mm", f.rms_mm)
        .add("rms_percent", f.rms_share)
        .add("temporal_noise_mm", f.temporal_noise_mm);
    if (f.truth_m > 0)
        r.add("true_distance_m", f.truth_m)
            .add("error_mm", f.error_mm)
            .add("error_percent", f.error_share);
    return r;
}

void add_quality(CLI::App &app, Global &g, Runner &run) {
    auto a = std::make_shared<QualityArgs>();
    a->cap.frames = 30;
    CLI::App *c = app.add_subcommand(
        "quality", "depth-quality figures of a flat wall: plane fit, RMS, fill rate, noise");
    c->add_option("-n,--frames", a->cap.frames,
                  "frames to capture; the noise is taken over all of them (default 30)")
        ->check(CLI::PositiveNumber);
    c->add_option("--distance", a->distance, "the true distance to the wall in metres")
        ->check(CLI::Range(0.01, 100.0));
    c->add_option("--roi", a->roi,
                  "region x,y,width,height in pixels (default: the central half of each side)");
    c->add_flag("--distorted", a->distorted,
                "leave lens undistortion off (by default it is switched on)");
    c->add_flag("--json", g.json, "print results as JSON");
    add_filter_options(c, a->cap);
    c->callback([&g, &run, a] { run = [&g, a] { return run_quality(g, *a); }; });
}

}  // namespace tarvo_cli
