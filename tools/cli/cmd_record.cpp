// tarvo-cli record: the raw frames of a capture with everything a replay
// needs to stand in for the camera (identity, parameters, lens record,
// stored calibration), in a recording file (docs/recording.md).
#include <memory>

#include "capture.h"
#include "cli.h"
#include "recorder.h"

namespace tarvo_cli {

namespace {

struct RecordArgs {
    CaptureOptions cap;
    std::string file;
    std::string dist_file;  // the live distances too, as TQ_DIST F32
    bool no_calibration = false;
};

int run_record(const Global &g, const RecordArgs &a) {
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    std::vector<uint8_t> calib;
    if (!a.no_calibration) calib = calibration_of(dev);
    RecordSink sink(a.file, a.dist_file, identity_of(dev), params_of(dev), std::move(calib));
    CaptureSummary sum;
    const int status = capture_frames(dev, a.cap, sink, sum);
    if (sum.frames == 0) return status == k_ok ? fail("no frame was recorded") : status;
    Record out;
    out.add("file", a.file)
        .add("frames_recorded", sink.frames())
        .add("calibration_bytes", sink.calibration_bytes())
        .add("capture", summary_record(sum));
    emit(g, out);
    return status;
}

}  // namespace

void add_record(CLI::App &app, Global &g, Runner &run) {
    auto a = std::make_shared<RecordArgs>();
    CLI::App *c =
        app.add_subcommand("record",
                           "record raw frames with the camera's identity, parameters, lens and "
                           "calibration (replay: tarvo-sim run --play FILE -- COMMAND)");
    c->add_option("file", a->file, "the recording to write")->required();
    add_capture_options(c, a->cap);
    c->add_option("--dist", a->dist_file, "also the decoded distances, a TQ_DIST F32 file");
    c->add_flag("--no-calibration", a->no_calibration,
                "leave out the camera's stored calibration (a replay then has none)");
    c->callback([&g, &run, a] { run = [&g, a] { return run_record(g, *a); }; });
}

}  // namespace tarvo_cli
