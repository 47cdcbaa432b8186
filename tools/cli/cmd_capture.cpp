// tarvo-cli capture: frames from a camera into frame files, PNGs, PLYs and
// raw files, with the host filters switched as asked, a progress line on
// a terminal and a summary at the end.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "capture.h"
#include "cli.h"
#include "images.h"

namespace tarvo_cli {

namespace {

struct CaptureArgs {
    CaptureOptions cap;
    PictureOptions pic;
    std::string dist_file, gray_file, raw;
    std::string dist_format = "f32", gray_format = "u16";
};

int save_format(const std::string &s) {
    if (s == "f32") return TARVO_FRAME_SAVE_F32;
    if (s == "u32") return TARVO_FRAME_SAVE_U32;
    if (s == "u16") return TARVO_FRAME_SAVE_U16;
    return TARVO_FRAME_SAVE_U8;
}

class Outputs : public FrameSink {
  public:
    explicit Outputs(const CaptureArgs &a) : a_(a) {}
    ~Outputs() override {
        for (int fd : {dist_fd_, gray_fd_, raw_fd_})
            if (fd >= 0) ::close(fd);
    }
    bool open_files() {
        return open_one(a_.dist_file, dist_fd_) && open_one(a_.gray_file, gray_fd_) &&
               open_one(a_.raw, raw_fd_);
    }
    bool wants_gray() const override { return !a_.gray_file.empty() || !a_.pic.gray_png.empty(); }
    bool frame(tarvo_dev_t *dev, unsigned n, const uint8_t *raw, const tarvo_frame_info_t &info,
               const Image &im) override {
        const int px = im.width * im.height;
        if (raw_fd_ >= 0 &&
            ::write(raw_fd_, raw, info.frame_size) != static_cast<ssize_t>(info.frame_size))
            return fail("writing " + a_.raw + " failed", 0);
        if (dist_fd_ >= 0 && !tarvo_frame_save_distance(dist_fd_, save_format(a_.dist_format),
                                                        im.dist.data(), px, im.width, im.height))
            return fail("writing " + a_.dist_file + " failed", 0);
        if (gray_fd_ >= 0 && !im.gray.empty() &&
            !tarvo_frame_save_gray(gray_fd_, save_format(a_.gray_format), im.gray.data(), px,
                                   im.width, im.height))
            return fail("writing " + a_.gray_file + " failed", 0);
        // Pictures and point clouds: every frame with "{n}" in the name,
        // else only the last one, written by finish().
        last_ = im;
        last_n_ = n;
        return pictures(dev, true);
    }
    bool finish(tarvo_dev_t *dev) override { return pictures(dev, false); }

  private:
    bool pictures(tarvo_dev_t *dev, bool per_frame) {
        auto due = [&](const std::string &p) { return !p.empty() && per_frame == has_number(p); };
        if (due(a_.pic.png) && !write_color_png(frame_path(a_.pic.png, last_n_), last_,
                                                a_.pic.range_min, a_.pic.range_max))
            return false;
        if (due(a_.pic.gray_png) &&
            !write_gray_png(frame_path(a_.pic.gray_png, last_n_), last_, a_.pic.gray_max))
            return false;
        if (due(a_.pic.ply)) {
            tarvo_camera_param_t cam{};
            const bool given = !a_.pic.lens.empty() && parse_lens(a_.pic.lens, cam);
            if (write_ply(frame_path(a_.pic.ply, last_n_), dev, last_, given ? &cam : nullptr,
                          a_.pic.ply_color) < 0)
                return false;
        }
        return true;
    }
    static bool has_number(const std::string &p) { return p.find("{n}") != std::string::npos; }

  private:
    static bool open_one(const std::string &path, int &fd) {
        if (path.empty()) return true;
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return fail("cannot create " + path, 0) != 0;
        return true;
    }
    const CaptureArgs &a_;
    int dist_fd_ = -1, gray_fd_ = -1, raw_fd_ = -1;
    Image last_;
    unsigned last_n_ = 0;
};

int run_capture(const Global &g, const CaptureArgs &a) {
    tarvo_camera_param_t cam;
    if (!a.pic.lens.empty() && !parse_lens(a.pic.lens, cam))
        return fail("--lens needs cx,cy,fx,fy with positive focal lengths", k_usage);
    Outputs out(a);
    if (!out.open_files()) return k_failed;
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    CaptureSummary sum;
    const int status = capture_frames(dev, a.cap, out, sum);
    if (status != k_ok && sum.frames == 0) return status;
    emit(g, summary_record(sum));
    return status;
}

}  // namespace

void add_capture_options(CLI::App *c, CaptureOptions &o) {
    c->add_option("-n,--frames", o.frames, "frames to capture (default 10)")
        ->check(CLI::PositiveNumber);
    c->add_option("-s,--seconds", o.seconds, "capture for this long instead of a number of frames")
        ->check(CLI::PositiveNumber);
    add_filter_options(c, o);
}

void add_filter_options(CLI::App *c, CaptureOptions &o) {
    c->add_flag("--undistort", o.undistort, "lens undistortion on");
    c->add_option("--min-amplitude", o.min_amplitude,
                  "minimum amplitude (pixels below carry no distance)");
    c->add_option("--auto-intg", o.auto_intg, "automatic integration time: threshold, per mille");
    c->add_flag("--hdr", o.hdr, "high dynamic range");
    c->add_option("--sync-guard", o.sync_guard, "synchronisation guard with this value");
}

void add_capture(CLI::App &app, Global &g, Runner &run) {
    auto a = std::make_shared<CaptureArgs>();
    CLI::App *c = app.add_subcommand("capture", "capture frames and save them");
    add_capture_options(c, a->cap);
    c->add_option("--dist", a->dist_file, "TQ_DIST frame file of every frame");
    c->add_option("--dist-format", a->dist_format, "f32 (metres), u32 or u16 (millimetres)")
        ->check(CLI::IsMember({"f32", "u32", "u16"}));
    c->add_option("--gray", a->gray_file, "TQ_GRAY frame file of every frame");
    c->add_option("--gray-format", a->gray_format, "u8 or u16")
        ->check(CLI::IsMember({"u8", "u16"}));
    add_picture_options(c, a->pic, true);
    c->add_option("--raw", a->raw, "raw frames, back to back");
    c->callback([&g, &run, a] { run = [&g, a] { return run_capture(g, *a); }; });
}

}  // namespace tarvo_cli
