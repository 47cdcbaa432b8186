// PNG and PLY writers of tarvo-cli.
#include "images.h"

#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli.h"

namespace tarvo_cli {

namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool write_png(const std::string &path, int w, int h, int color_type,
               const std::vector<uint8_t> &px) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) {
        std::fprintf(stderr, "tarvo-cli: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    const size_t stride = px.size() / static_cast<size_t>(h);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fprintf(stderr, "tarvo-cli: PNG encoding of %s failed\n", path.c_str());
        return false;
    }
    png_init_io(png, f.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, color_type,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < h; ++y) png_write_row(png, px.data() + stride * static_cast<size_t>(y));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fflush(f.get()) == 0;
}

void put_f32(std::vector<uint8_t> &o, float v) {
    uint32_t b;
    std::memcpy(&b, &v, 4);
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<uint8_t>(b >> (8 * i)));
}

}  // namespace

bool write_color_png(const std::string &path, const Image &im, float range_min, float range_max) {
    const int n = im.width * im.height;
    std::vector<uint8_t> px(static_cast<size_t>(n) * 3);
    if (tarvo_cmap_float(px.data(), static_cast<int>(px.size()), im.dist.data(), n,
                         TARVO_CMAP_OUTFMT_RGB, range_min, range_max) != n) {
        std::fprintf(stderr, "tarvo-cli: colour mapping failed\n");
        return false;
    }
    return write_png(path, im.width, im.height, PNG_COLOR_TYPE_RGB, px);
}

bool write_gray_png(const std::string &path, const Image &im, float gray_max) {
    if (im.gray.empty()) return false;
    if (gray_max <= 0)
        for (float v : im.gray)
            if (std::isfinite(v) && v > gray_max) gray_max = v;
    std::vector<uint8_t> px(im.gray.size());
    for (size_t i = 0; i < px.size(); ++i) {
        const float v = im.gray[i];
        const double level = gray_max > 0 && v > 0 ? std::round(255.0 * v / gray_max) : 0.0;
        px[i] = static_cast<uint8_t>(level > 255 ? 255 : level);
    }
    return write_png(path, im.width, im.height, PNG_COLOR_TYPE_GRAY, px);
}

int write_ply(const std::string &path, tarvo_dev_t *dev, const Image &im,
              const tarvo_camera_param_t *cam, bool color) {
    const int n = im.width * im.height, per = color ? 4 : 3;
    std::vector<float> pts(static_cast<size_t>(n) * per + per);
    const int len = static_cast<int>(pts.size());
    const int count = color ? tarvo_frame_get_pcl_xyzd(dev, pts.data(), len, im.dist.data(), n,
                                                       im.width, im.height, true, cam)
                            : tarvo_frame_get_pcl(dev, pts.data(), len, im.dist.data(), n, im.width,
                                                  im.height, cam);
    if (count < 0) return -1;
    std::string head = "ply\nformat binary_little_endian 1.0\ncomment tarvo-cli\nelement vertex " +
                       std::to_string(count) +
                       "\nproperty float x\nproperty float y\nproperty float z\n";
    if (color) head += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    head += "end_header\n";
    std::vector<uint8_t> body;
    body.reserve(static_cast<size_t>(count) * 15);
    for (int i = 0; i < count; ++i) {
        const float *p = &pts[static_cast<size_t>(i) * per];
        put_f32(body, p[0]);
        put_f32(body, p[1]);
        put_f32(body, p[2]);
        if (color) {
            const uint32_t c = static_cast<uint32_t>(p[3]);  // 0x00BBGGRR
            body.push_back(static_cast<uint8_t>(c));
            body.push_back(static_cast<uint8_t>(c >> 8));
            body.push_back(static_cast<uint8_t>(c >> 16));
        }
    }
    File f(std::fopen(path.c_str(), "wb"));
    if (!f || std::fwrite(head.data(), 1, head.size(), f.get()) != head.size() ||
        std::fwrite(body.data(), 1, body.size(), f.get()) != body.size()) {
        std::fprintf(stderr, "tarvo-cli: cannot write %s\n", path.c_str());
        return -1;
    }
    return count;
}

std::string frame_path(const std::string &pattern, unsigned n) {
    const size_t at = pattern.find("{n}");
    if (at == std::string::npos) return pattern;
    return pattern.substr(0, at) + std::to_string(n) + pattern.substr(at + 3);
}

bool parse_lens(const std::string &text, tarvo_camera_param_t &out) {
    float v[4];
    char tail;
    if (std::sscanf(text.c_str(), "%f,%f,%f,%f%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4)
        return false;
    if (!(v[2] > 0) || !(v[3] > 0)) return false;
    out = {v[0], v[1], v[2], v[3], 1.0f};
    return true;
}

void add_picture_options(CLI::App *c, PictureOptions &p, bool each) {
    const std::string one = each ? " (\"{n}\" in the name: one per frame, else the last)" : "";
    c->add_option("--png", p.png, "colour-mapped distance PNG" + one);
    c->add_option("--range-min", p.range_min, "distance shown red, metres (default 0)");
    c->add_option("--range-max", p.range_max, "distance shown blue, metres (default 5)");
    c->add_option("--gray-png", p.gray_png, "gray PNG" + one);
    c->add_option("--gray-max", p.gray_max,
                  "gray level drawn white (default: the frame's largest)");
    c->add_option("--ply", p.ply, "PLY point cloud, binary little-endian" + one);
    c->add_flag("--ply-color", p.ply_color, "colour the points with the colour map");
    c->add_option("--lens", p.lens, "cx,cy,fx,fy for the point cloud instead of the camera's lens");
}

}  // namespace tarvo_cli
