// tarvo-cli convert: frame files, recordings and raw frames to PNG and
// PLY, without a camera. Frame files hold distances or gray values that
// the library's loaders read; raw frames need the chip driver's decode,
// which needs an open camera, so recordings and raw frames are replayed
// in-process on a simulated camera and decoded through the library as
// they would be live.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "capture.h"
#include "cli.h"
#include "images.h"
#include "recording.h"
#ifdef TARVO_CLI_REPLAY
#include "tarvo_sim/replay.h"
#include "tarvo_sim/sim.h"
#endif

namespace tarvo_cli {

namespace {

struct ConvertArgs {
    PictureOptions pic;
    CaptureOptions filters;
    std::string input;
    unsigned frame = 0;  // which frame of the file
    bool raw = false;    // the input is raw frames of --width x --height
    int width = 320, height = 240;
};

// Reads frame `k` of a frame file through the library's loaders.
bool load_frame(const ConvertArgs &a, bool distance, Image &im) {
    const int fd = ::open(a.input.c_str(), O_RDONLY);
    if (fd < 0) return fail("cannot open " + a.input, 0) != 0;
    std::vector<float> buf(4096u * 4096u);
    int n = 0;
    for (unsigned k = 0; k <= a.frame; ++k) {
        n = distance ? tarvo_frame_load_distance(fd, buf.data(), static_cast<int>(buf.size()),
                                                 &im.width, &im.height)
                     : tarvo_frame_load_gray(fd, buf.data(), static_cast<int>(buf.size()),
                                             &im.width, &im.height);
        if (n <= 0) break;
    }
    ::close(fd);
    if (n <= 0 || n != im.width * im.height)
        return fail(a.input + " holds no frame " + std::to_string(a.frame), 0) != 0;
    buf.resize(static_cast<size_t>(n));
    (distance ? im.dist : im.gray) = std::move(buf);
    return true;
}

// Writes the pictures of one decoded frame; collects the output record.
class ConvertSink : public FrameSink {
  public:
    ConvertSink(const ConvertArgs &a, const tarvo_camera_param_t *cam, Record &out)
        : a_(a), cam_(cam), out_(out) {}
    bool wants_gray() const override { return !a_.pic.gray_png.empty(); }
    bool frame(tarvo_dev_t *dev, unsigned, const uint8_t *, const tarvo_frame_info_t &,
               const Image &im) override {
        if (!a_.pic.png.empty()) {
            if (!write_color_png(a_.pic.png, im, a_.pic.range_min, a_.pic.range_max)) return false;
            out_.add("png", a_.pic.png);
        }
        if (!a_.pic.gray_png.empty()) {
            if (!write_gray_png(a_.pic.gray_png, im, a_.pic.gray_max))
                return fail("frame " + std::to_string(a_.frame) + " has no gray image", 0) != 0;
            out_.add("gray_png", a_.pic.gray_png);
        }
        if (!a_.pic.ply.empty()) {
            const int points = write_ply(a_.pic.ply, dev, im, cam_, a_.pic.ply_color);
            if (points < 0) return false;
            out_.add("ply", a_.pic.ply).add("points", points);
        }
        return true;
    }

  private:
    const ConvertArgs &a_;
    const tarvo_camera_param_t *cam_;
    Record &out_;
};

#ifdef TARVO_CLI_REPLAY
// The frame `a.frame` of a recording or of a raw file, decoded by the
// library on a simulated camera that replays just that frame, so that
// every frame the capture sees is the one asked for.
int run_replayed(const Global &g, const ConvertArgs &a, bool recording) {
    tarvo::sim::ensure_preloaded(0, g.argv);  // returns at once after the re-exec
    tarvo::sim::CameraConfig cfg;
    std::optional<tarvo::rec::Lens> lens;
    std::string kind;
    if (recording) {
        tarvo::rec::Recording r;
        std::string err;
        if (!tarvo::rec::load(a.input, r, err)) return fail(err);
        if (a.frame >= r.frames.size())
            return fail(a.input + " holds " + std::to_string(r.frames.size()) +
                        " frames, no frame " + std::to_string(a.frame));
        r.frames = {r.frames[a.frame]};
        cfg = tarvo::sim::replay_config(r, cfg);
        lens = r.lens;
        kind = "recording";
    } else {
        // Four phase planes of width x height, as capture --raw writes them
        // from an EPC camera; no calibration or temperatures come with them.
        const uint64_t frame_bytes = uint64_t{8} * static_cast<unsigned>(a.width) * a.height;
        std::error_code ec;
        const uint64_t size = std::filesystem::file_size(a.input, ec);
        if (ec || size % frame_bytes != 0)
            return fail(a.input + " is no whole number of " + std::to_string(a.width) + " x " +
                        std::to_string(a.height) + " raw frames (" + std::to_string(frame_bytes) +
                        " bytes each)");
        if (a.frame >= size / frame_bytes)
            return fail(a.input + " holds " + std::to_string(size / frame_bytes) +
                        " frames, no frame " + std::to_string(a.frame));
        tarvo::sim::ReplayFrame f;
        f.format = 2;
        f.width = static_cast<uint16_t>(a.width);
        f.height = static_cast<uint16_t>(a.height);
        f.drv_info = {0x2C, 0x01, 0x2C, 0x01};  // 30.0 degC, where calibrations are taken
        f.bytes.resize(frame_bytes);
        FILE *in = std::fopen(a.input.c_str(), "rb");
        const bool ok = in &&
                        std::fseek(in, static_cast<long>(a.frame * frame_bytes), SEEK_SET) == 0 &&
                        std::fread(f.bytes.data(), 1, f.bytes.size(), in) == f.bytes.size();
        if (in) std::fclose(in);
        if (!ok) return fail("cannot read " + a.input);
        cfg.factory_calibration = false;
        cfg.stream.format = 2;
        cfg.stream.width = f.width;
        cfg.stream.height = f.height;
        cfg.stream.frame_bytes = static_cast<uint32_t>(frame_bytes);
        cfg.replay = std::make_shared<std::vector<tarvo::sim::ReplayFrame>>(1, std::move(f));
        kind = "raw";
    }
    // The point cloud: the given lens, else the recorded one, else (and
    // with undistortion, whose camera matrix the library knows) the
    // driver's.
    tarvo_camera_param_t cam{};
    const tarvo_camera_param_t *camp = nullptr;
    if (!a.pic.lens.empty()) {
        camp = &cam;
        if (!parse_lens(a.pic.lens, cam))
            return fail("--lens needs cx,cy,fx,fy with positive focal lengths", k_usage);
    } else if (lens && !a.filters.undistort) {
        cam = {static_cast<float>(lens->cx), static_cast<float>(lens->cy),
               static_cast<float>(lens->fx), static_cast<float>(lens->fy), 1.0f};
        camp = &cam;
    }
    try {
        tarvo::sim::Bus bus(1, cfg);  // before the library starts libusb, gone after it
        Record out;
        out.add("input", a.input).add("kind", kind).add("frame", a.frame);
        int status = k_failed;
        {
            Global one = g;
            one.device = 0;
            Session s(one);
            tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
            if (!dev) return s.open_status();
            ConvertSink sink(a, camp, out);
            CaptureOptions o = a.filters;
            o.frames = 1;
            o.seconds = 0;
            CaptureSummary sum;
            status = capture_frames(dev, o, sink, sum);
            out.add("size", std::to_string(sum.width) + "x" + std::to_string(sum.height))
                .add("centre_median_m", sum.centre_median_m);
        }
        if (status == k_ok) emit(g, out);
        return status;
    } catch (const std::exception &e) {
        return fail(std::string("the simulated camera for the replay did not start: ") + e.what());
    }
}
#endif

int run_convert(const Global &g, const ConvertArgs &a) {
    uint8_t head[16] = {};
    const int fd = ::open(a.input.c_str(), O_RDONLY);
    if (fd < 0) return fail("cannot open " + a.input);
    const ssize_t got = ::read(fd, head, sizeof head - 1);
    ::close(fd);
    const char *text = reinterpret_cast<const char *>(head);
    const bool dist = got >= 8 && !std::strncmp(text, "TQ_DIST,", 8);
    const bool gray = got >= 8 && !std::strncmp(text, "TQ_GRAY,", 8);
    const bool recording =
        got > 0 && tarvo::rec::looks_like_recording({head, static_cast<size_t>(got)});
    if (recording || (a.raw && !dist && !gray)) {
#ifdef TARVO_CLI_REPLAY
        return run_replayed(g, a, recording);
#else
        return fail(
            "this tarvo-cli was built without the simulated camera that decodes "
            "recordings and raw frames; use 'tarvo-sim run --play FILE -- tarvo-cli "
            "capture ...'");
#endif
    }
    if (!dist && !gray)
        return fail(a.input +
                    " is no TQ_DIST or TQ_GRAY frame file nor a recording (raw frames: --raw)");
    if (dist && !a.pic.gray_png.empty())
        return fail("a TQ_DIST file has no gray image for --gray-png", k_usage);
    if (gray && (!a.pic.png.empty() || !a.pic.ply.empty()))
        return fail("a TQ_GRAY file has no distance for --png or --ply", k_usage);
    tarvo_camera_param_t cam{};
    if (!a.pic.ply.empty() && !parse_lens(a.pic.lens, cam))
        return fail("--ply needs --lens cx,cy,fx,fy (see 'tarvo-cli info' for the camera's lens)",
                    k_usage);
    Session s(g);  // the default colour map lives in the library
    if (!s.ok()) return k_failed;
    Image im;
    if (!load_frame(a, dist, im)) return k_failed;
    Record out;
    out.add("input", a.input)
        .add("frame", a.frame)
        .add("size", std::to_string(im.width) + "x" + std::to_string(im.height));
    if (!a.pic.png.empty()) {
        if (!write_color_png(a.pic.png, im, a.pic.range_min, a.pic.range_max)) return k_failed;
        out.add("png", a.pic.png);
    }
    if (!a.pic.gray_png.empty()) {
        if (!write_gray_png(a.pic.gray_png, im, a.pic.gray_max)) return k_failed;
        out.add("gray_png", a.pic.gray_png);
    }
    if (!a.pic.ply.empty()) {
        tarvo_dev_t none{};  // the given lens needs no open camera
        const int points = write_ply(a.pic.ply, &none, im, &cam, a.pic.ply_color);
        if (points < 0) return k_failed;
        out.add("ply", a.pic.ply).add("points", points);
    }
    emit(g, out);
    return k_ok;
}

}  // namespace

void add_convert(CLI::App &app, Global &g, Runner &run) {
    auto a = std::make_shared<ConvertArgs>();
    CLI::App *c = app.add_subcommand(
        "convert", "turn a frame file, a recording or raw frames into PNG or PLY");
    c->add_option("input", a->input, "the frame file, recording or raw frames")->required();
    c->add_option("--frame", a->frame, "frame of the file (default 0, the first)");
    c->add_flag("--raw", a->raw,
                "the input is raw frames as 'capture --raw' writes them from an EPC camera "
                "(decoded uncalibrated unless the prefix holds the camera's calibration)");
    c->add_option("--width", a->width, "width of the raw frames (default 320)")
        ->check(CLI::Range(1, 4096));
    c->add_option("--height", a->height, "height of the raw frames (default 240)")
        ->check(CLI::Range(1, 4096));
    add_picture_options(c, a->pic, false);
    add_filter_options(c, a->filters);
    c->callback([&g, &run, a] {
        if (a->pic.png.empty() && a->pic.gray_png.empty() && a->pic.ply.empty())
            throw CLI::ValidationError("convert", "give at least one of --png, --gray-png, --ply");
        run = [&g, a] { return run_convert(g, *a); };
    });
}

}  // namespace tarvo_cli
