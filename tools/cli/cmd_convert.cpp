// tarvo-cli convert: frame files to PNG and PLY, without a camera.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "cli.h"
#include "images.h"

namespace tarvo_cli {

namespace {

struct ConvertArgs {
    PictureOptions pic;
    std::string input;
    unsigned frame = 0;  // which frame of the file
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

int run_convert(const Global &g, const ConvertArgs &a) {
    char head[16] = {};
    const int fd = ::open(a.input.c_str(), O_RDONLY);
    if (fd < 0) return fail("cannot open " + a.input);
    const ssize_t got = ::read(fd, head, sizeof head - 1);
    ::close(fd);
    const bool dist = got >= 8 && !std::strncmp(head, "TQ_DIST,", 8);
    const bool gray = got >= 8 && !std::strncmp(head, "TQ_GRAY,", 8);
    if (!dist && !gray)
        return fail(a.input +
                    " is no TQ_DIST or TQ_GRAY frame file; raw frames need the camera's decoder: "
                    "replay a recording with 'tarvo-sim run --play FILE -- tarvo-cli capture ...'");
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
    CLI::App *c =
        app.add_subcommand("convert", "turn a TQ_DIST or TQ_GRAY frame file into PNG or PLY");
    c->add_option("input", a->input, "the frame file")->required();
    c->add_option("--frame", a->frame, "frame of the file (default 0, the first)");
    add_picture_options(c, a->pic, false);
    c->callback([&g, &run, a] {
        if (a->pic.png.empty() && a->pic.gray_png.empty() && a->pic.ply.empty())
            throw CLI::ValidationError("convert", "give at least one of --png, --gray-png, --ply");
        run = [&g, a] { return run_convert(g, *a); };
    });
}

}  // namespace tarvo_cli
