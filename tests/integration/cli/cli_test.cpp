// tarvo-cli on simulated cameras, run through tarvo-sim as a user would,
// and without a camera. Its files are read back independently: PNGs with
// libpng, PLYs and frame files with readers of this test.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "recording.h"
#include "run_command.h"
#include "tarvo/tarvo.h"

namespace fs = std::filesystem;

namespace {

using Result = tarvo_test::CommandResult;

// The state directory of every run is the test's own.
const std::string k_env = "XDG_STATE_HOME=" + (fs::current_path() / "state").string() + " ";
const std::string k_cli = std::string(TARVO_CLI_EXE);

Result cli(const std::string &args) {
    return tarvo_test::run_command(k_env + k_cli + " " + args);
}
Result sim(const std::string &sim_args, const std::string &args) {
    return tarvo_test::run_command(k_env + TARVO_SIM_EXE + " run " + sim_args + " -- " + k_cli +
                                   " " + args);
}
// Several commands against one simulated bus: `script` runs under sh, with
// "$CLI" for the program.
Result sim_sh(const std::string &sim_args, const std::string &script) {
    return tarvo_test::run_command(k_env + "CLI=" + k_cli + " " + TARVO_SIM_EXE + " run " +
                                   sim_args + " -- sh -c '" + script + "'");
}
bool has(const Result &r, const std::string &s) {
    return r.out.find(s) != std::string::npos;
}

std::vector<uint8_t> slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Frame `k` of a "TQ_DIST,F32" or "TQ_GRAY,U16" file, read by hand.
std::vector<float> tq_frame(const std::string &path, const char *head, unsigned k, int &w, int &h) {
    const std::vector<uint8_t> b = slurp(path);
    const auto nl = std::find(b.begin(), b.end(), '\n');
    const std::string line(b.begin(), nl);
    char fmt[8] = {};
    if (std::sscanf(line.c_str(), (std::string(head) + ",%3[A-Z0-9],%d,%d").c_str(), fmt, &w, &h) !=
        3)
        return {};
    const size_t sample = std::strcmp(fmt, "F32") == 0 ? 4 : 2, n = static_cast<size_t>(w) * h;
    const size_t at = line.size() + 1 + k * n * sample;
    if (b.size() < at + n * sample) return {};
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t *p = &b[at + i * sample];
        if (sample == 4) {
            uint32_t bits = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
            std::memcpy(&v[i], &bits, 4);
        } else {
            v[i] = static_cast<float>(p[0] | p[1] << 8);
        }
    }
    return v;
}

struct Png {
    int w = 0, h = 0, channels = 0;
    std::vector<uint8_t> px;
};

Png read_png(const std::string &path) {
    Png out;
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return out;
    out.channels = (img.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1;
    img.format = out.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    out.px.resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, out.px.data(), 0, nullptr)) return {};
    out.w = static_cast<int>(img.width);
    out.h = static_cast<int>(img.height);
    return out;
}

struct Ply {
    long vertices = -1;
    bool color = false;
    std::vector<float> xyz;
    std::vector<uint8_t> rgb;
};

// A reader of binary little-endian PLY files with float x y z and
// optional uchar red green blue.
Ply read_ply(const std::string &path) {
    Ply p;
    const std::vector<uint8_t> b = slurp(path);
    const std::string text(b.begin(), b.end());
    const size_t end = text.find("end_header\n");
    if (text.rfind("ply\nformat binary_little_endian 1.0\n", 0) != 0 || end == std::string::npos)
        return p;
    std::sscanf(text.c_str() + text.find("element vertex "), "element vertex %ld", &p.vertices);
    p.color = text.find("property uchar red") < end;
    const size_t stride = p.color ? 15 : 12;
    const size_t at = end + 11;
    if (b.size() != at + stride * static_cast<size_t>(p.vertices)) return {};
    for (long i = 0; i < p.vertices; ++i) {
        const uint8_t *q = &b[at + stride * static_cast<size_t>(i)];
        for (int c = 0; c < 3; ++c) {
            uint32_t bits = q[4 * c] | q[4 * c + 1] << 8 | q[4 * c + 2] << 16 |
                            static_cast<uint32_t>(q[4 * c + 3]) << 24;
            float f;
            std::memcpy(&f, &bits, 4);
            p.xyz.push_back(f);
        }
        if (p.color) p.rgb.insert(p.rgb.end(), q + 12, q + 15);
    }
    return p;
}

TEST(Cli, ListInfoParametersRegistersReset) {
    Result r = sim("--cameras 2", "--json list");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, R"("port":2)") && has(r, R"("port":3)")) << r.out;
    EXPECT_TRUE(has(r, R"("product":"TarvoSim-E2-1.0")") && has(r, R"("driver":"EPC chip driver")"))
        << r.out;
    EXPECT_TRUE(has(r, R"("firmware":287)")) << r.out;

    r = sim("--fps 12", "info");
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char *s : {"frame_rate: 12", "integration_time_us: ", "chip_id: 42", "wafer_id: 7",
                          "calibration: ", "temperatures_c: 35 35.2", "fx: "})
        EXPECT_TRUE(has(r, s)) << s << "\n" << r.out;
    EXPECT_FALSE(has(r, "calibration: none")) << r.out;  // the camera holds its own

    // What is set is read back; the library's log went to the state directory.
    r = sim_sh("",
               "$CLI param set 12 17 && $CLI param get 12 && $CLI param set 2 --text CAM-7 && "
               "$CLI --json param get 2");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "bytes: 11 00 00 00")) << r.out;
    EXPECT_TRUE(has(r, R"("text":"CAM-7")")) << r.out;
    r = sim_sh("", "$CLI --json reg write 200 0x5A 7 && $CLI --json reg read 200 2");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(
        r,
        R"("registers":[{"register":200,"value":90,"hex":"0x0000005A"},{"register":201,"value":7)"))
        << r.out;
    EXPECT_EQ(sim("", "reset --target 2").status, 0);
    EXPECT_FALSE(fs::exists("tq.log"));
    bool logged = false;
    for (const auto &e : fs::directory_iterator("state/tarvo"))
        logged = logged || e.path().filename().string().rfind("tarvo_", 0) == 0;
    EXPECT_TRUE(logged);
    r = sim("", "--prefix " + (fs::current_path() / "other").string() + " info");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "calibration_dir: " + (fs::current_path() / "other").string())) << r.out;
}

TEST(Cli, NoCameraAndBadArguments) {
    Result r = cli("list");
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_TRUE(has(r, "no camera found") && has(r, "70-tarvo.rules") && has(r, "tarvo-sim run"))
        << r.out;
    EXPECT_EQ(cli("capture -n 1").status, 3);
    EXPECT_EQ(cli("param get banana").status, 2);
    EXPECT_EQ(cli("reset --target 9").status, 2);
    EXPECT_EQ(cli("capture --frames 0").status, 2);
    EXPECT_EQ(cli("--log-level loud list").status, 2);
    EXPECT_EQ(cli("").status, 2);
    r = cli("capture --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r, "--ply-color")) << r.out;
    EXPECT_EQ(sim("", "param set 12 70000 --size 2").status, 2);
    EXPECT_EQ(sim("", "reg read 300").status, 1);  // past the chip's 256 registers
}

TEST(Cli, CaptureWritesFramesPicturesAndPointClouds) {
    fs::create_directories("cap");
    const Result r =
        sim("--distance 2.0 --amplitude 1000 --no-calibration",
            "--prefix " + (fs::current_path() / "flat").string() +
                " capture -n 3 --dist cap/d.tq --gray cap/g.tq --png cap/c.png --range-min 1 "
                "--range-max 3 --gray-png cap/g.png --gray-max 2000 --ply cap/p.ply --ply-color "
                "--lens 160,120,400,400 --raw cap/r.bin --min-amplitude 0");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "frames: 3\n")) << r.out;
    const size_t at = r.out.find("centre_median_m: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_NEAR(std::stod(r.out.substr(at + 17)), 2.0, 0.01) << r.out;
    EXPECT_EQ(fs::file_size("cap/r.bin"), 3u * 320 * 240 * 8);

    int w = 0, h = 0;
    const std::vector<float> d = tq_frame("cap/d.tq", "TQ_DIST", 2, w, h);
    ASSERT_EQ(d.size(), 320u * 240);
    EXPECT_NEAR(d[0], 2.0, 0.01);
    EXPECT_NEAR(d[239 * 320], 2.0, 0.01);

    // The colour picture is the library's colour map of the last frame.
    tarvo_init("cli_test.log");
    std::vector<uint8_t> want(d.size() * 3);
    tarvo_cmap_float(want.data(), static_cast<int>(want.size()), d.data(),
                     static_cast<int>(d.size()), TARVO_CMAP_OUTFMT_RGB, 1.0f, 3.0f);
    tarvo_uninit();
    const Png c = read_png("cap/c.png");
    ASSERT_EQ(c.w, 320);
    ASSERT_EQ(c.h, 240);
    ASSERT_EQ(c.channels, 3);
    for (size_t px : {size_t{0}, size_t{120 * 320 + 160}, size_t{239 * 320 + 319}})
        for (int k = 0; k < 3; ++k) EXPECT_EQ(c.px[px * 3 + k], want[px * 3 + k]) << px;

    const std::vector<float> g = tq_frame("cap/g.tq", "TQ_GRAY", 2, w, h);
    const Png gp = read_png("cap/g.png");
    ASSERT_EQ(gp.channels, 1);
    ASSERT_EQ(gp.w * gp.h, 320 * 240);
    for (size_t px : {size_t{0}, size_t{120 * 320 + 160}})
        EXPECT_NEAR(gp.px[px], std::lround(255.0 * g[px] / 2000.0), 1.0) << px;

    // Every pixel is valid: the cloud has all of them in pixel order.
    const Ply p = read_ply("cap/p.ply");
    ASSERT_EQ(p.vertices, 320 * 240);
    ASSERT_TRUE(p.color);
    for (int px : {0, 120 * 320 + 160, 239 * 320 + 7}) {
        const float u = static_cast<float>(px % 320), v = static_cast<float>(px / 320), ds = d[px];
        EXPECT_NEAR(p.xyz[3 * px], ds * (u - 160) / 400, 1e-5) << px;
        EXPECT_NEAR(p.xyz[3 * px + 1], ds * (v - 120) / 400, 1e-5) << px;
        const double x = p.xyz[3 * px], y = p.xyz[3 * px + 1];
        EXPECT_NEAR(p.xyz[3 * px + 2], std::sqrt(ds * ds - x * x - y * y), 1e-5) << px;
        EXPECT_EQ(p.rgb[3 * px], want[3 * px]) << px;
    }
}

TEST(Cli, ConvertWithoutACamera) {
    fs::create_directories("conv");
    ASSERT_EQ(sim("--distance 1.2 --amplitude 1000 --no-calibration",
                  "--prefix " + (fs::current_path() / "flat").string() +
                      " capture -n 2 --dist conv/d.tq --gray conv/g.tq")
                  .status,
              0);
    Result r =
        cli("convert conv/d.tq --frame 1 --png conv/c.png --ply conv/p.ply --lens 150,110,210,210");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "points: 76800")) << r.out;
    EXPECT_EQ(read_png("conv/c.png").w, 320);
    const Ply p = read_ply("conv/p.ply");
    ASSERT_EQ(p.vertices, 76800);
    EXPECT_FALSE(p.color);
    int w, h;
    const std::vector<float> d = tq_frame("conv/d.tq", "TQ_DIST", 1, w, h);
    EXPECT_NEAR(p.xyz[0], d[0] * (0 - 150.0f) / 210, 1e-5);
    ASSERT_EQ(cli("convert conv/g.tq --gray-png conv/gray.png").status, 0);
    EXPECT_EQ(read_png("conv/gray.png").channels, 1);

    EXPECT_EQ(cli("convert conv/g.tq --png conv/x.png").status, 2);
    EXPECT_EQ(cli("convert conv/d.tq --ply conv/x.ply").status, 2);  // no lens
    EXPECT_EQ(cli("convert conv/d.tq --frame 5 --png conv/x.png").status, 1);
    std::ofstream("conv/junk.bin") << "not a frame file";
    r = cli("convert conv/junk.bin --png conv/x.png");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r, "no TQ_DIST or TQ_GRAY frame file nor a recording")) << r.out;
}

uint32_t le32_at(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Offset of the body of the first chunk tagged `tag`, walking the chunks.
size_t chunk_body(const std::vector<uint8_t> &b, const char *tag) {
    for (size_t at = 16; at + 8 <= b.size(); at += 8 + le32_at(b, at + 4))
        if (std::memcmp(&b[at], tag, 4) == 0) return at + 8;
    return 0;
}

TEST(Cli, RecordStoresTheCameraAndItsRawFrames) {
    fs::create_directories("rec");
    // A fixed temperature and no noise: two captures see the same frames.
    const std::string cam = "--fps 20 --temperature 35 --noise off";
    const std::string prefix = "--prefix " + (fs::current_path() / "rec").string();
    Result r = sim(cam, prefix + " record rec/r.tvr -n 3");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "frames_recorded: 3")) << r.out;
    ASSERT_EQ(sim(cam, prefix + " capture -n 3 --raw rec/raw.bin").status, 0);

    tarvo::rec::Recording rec;
    std::string err;
    ASSERT_TRUE(tarvo::rec::load("rec/r.tvr", rec, err)) << err;
    EXPECT_EQ(rec.identity.product, "TarvoSim-E2-1.0");
    EXPECT_EQ(rec.identity.id_text, "SIM-0001");
    EXPECT_EQ(rec.identity.driver, "EPC chip driver");
    EXPECT_EQ(rec.identity.version[2] | rec.identity.version[3] << 8, 287);
    EXPECT_EQ(rec.identity.usb_vendor, 0x1209);
    EXPECT_EQ(rec.identity.port, 2);
    ASSERT_TRUE(rec.param(12) && rec.param(7));
    EXPECT_EQ(rec.param(12)->value, (std::vector<uint8_t>{20, 0, 0, 0}));
    EXPECT_EQ(rec.param(7)->value, (std::vector<uint8_t>{3, 0, 42, 0, 7, 0}));
    ASSERT_TRUE(rec.lens);
    EXPECT_DOUBLE_EQ(rec.lens->cx, 157.262);
    EXPECT_DOUBLE_EQ(rec.lens->dcoeff[4], -0.0133954);
    EXPECT_EQ(rec.lens->width, 320u);
    // The stored calibration image as the camera sends it: valid, zipped,
    // its payload length in the header.
    ASSERT_GT(rec.calibration.size(), 17u);
    const std::vector<uint8_t> cal(rec.calibration.begin(), rec.calibration.end());
    EXPECT_EQ(cal[0], 1);
    EXPECT_EQ(cal[2], 1);
    EXPECT_EQ(le32_at(cal, 11), cal.size() - 17);

    const std::vector<uint8_t> raw = slurp("rec/raw.bin");
    ASSERT_EQ(rec.frames.size(), 3u);
    ASSERT_EQ(raw.size(), 3u * 614400);
    for (size_t k = 0; k < 3; ++k) {
        const tarvo::rec::FrameInfo &i = rec.frames[k].info;
        EXPECT_EQ(i.format, 2);
        EXPECT_EQ(i.width * i.height * 8, 614400u);
        EXPECT_EQ(i.drv_info[0] | i.drv_info[1] << 8, 350);  // 35.0 degC
        EXPECT_EQ(i.drv_info[2] | i.drv_info[3] << 8, 350);
        EXPECT_TRUE(std::equal(rec.frames[k].raw.begin(), rec.frames[k].raw.end(),
                               raw.begin() + static_cast<std::ptrdiff_t>(k * 614400)))
            << "frame " << k;
    }
    EXPECT_GT(rec.frames[2].info.time_us, rec.frames[0].info.time_us);

    // Damaged files are refused with a reason, never read past their end.
    const std::vector<uint8_t> good = slurp("rec/r.tvr");
    const size_t fram = chunk_body(good, "FRAM");
    ASSERT_GT(fram, 0u);
    auto refused = [](std::vector<uint8_t> b, const char *why) {
        tarvo::rec::Recording out;
        std::string e;
        EXPECT_FALSE(tarvo::rec::parse(std::move(b), out, e)) << why;
        EXPECT_TRUE(out.frames.empty());
        return e;
    };
    std::vector<uint8_t> b(good.begin(), good.end() - 1);
    EXPECT_NE(refused(b, "cut").find("past the end"), std::string::npos);
    b = good;
    b[fram] = b[fram + 1] = b[fram + 2] = b[fram + 3] = 0xFF;  // a 4 GiB frame
    EXPECT_NE(refused(b, "huge frame").find("limits"), std::string::npos);
    b = good;
    b[fram] ^= 1;  // size no longer matches the chunk
    refused(b, "size mismatch");
    b = good;
    b[8] = 2;
    EXPECT_NE(refused(b, "version").find("version 2"), std::string::npos);
    EXPECT_EQ(cli("record rec/none.tvr -n 1").status, 3);
}

TEST(Cli, AReplayedRecordingDecodesToTheLiveDistances) {
    fs::create_directories("play");
    const auto prefix = [](const char *d) {
        return "--prefix " + (fs::current_path() / "play" / d).string();
    };
    // Noise on and temperatures rising: only the recorded raw frames can
    // make a replay give the same distances.
    Result r =
        sim("--seed 9 --cameras 1", prefix("live") + " record play/r.tvr -n 4 --dist play/live.tq");
    ASSERT_EQ(r.status, 0) << r.out;
    // A fresh prefix: the replayed camera's stored calibration is read out
    // anew. Slower than recorded, so that no frame arrives while the tool
    // is not collecting (the library drops those).
    r = sim_sh("--play play/r.tvr --fps 4", "$CLI --json " + prefix("replay") + " list && $CLI " +
                                                prefix("replay") +
                                                " capture -n 4 --dist play/replay.tq");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, R"("product":"TarvoSim-E2-1.0","id_text":"SIM-0001")")) << r.out;
    const std::vector<uint8_t> live = slurp("play/live.tq"), replay = slurp("play/replay.tq");
    ASSERT_GT(live.size(), 4u * 320 * 240 * 4);
    EXPECT_TRUE(live == replay) << "the replayed distances differ from the live ones";
    int w, h;
    const std::vector<float> d = tq_frame("play/replay.tq", "TQ_DIST", 3, w, h);
    ASSERT_EQ(d.size(), 320u * 240);
    EXPECT_NEAR(d[120 * 320 + 160], 1.5, 0.05);  // the scene's default plane

    r = tarvo_test::run_command(k_env + TARVO_SIM_EXE + " run --play play/live.tq -- true");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r, "not a tarvo recording")) << r.out;
}

TEST(Cli, ConvertDecodesRecordingsAndRawFramesWithoutACamera) {
    fs::create_directories("conv2");
    const std::string live_prefix = "--prefix " + (fs::current_path() / "conv2/live").string();
    // At 30.0 degC, the temperature raw frames are decoded at.
    Result r =
        sim("--temperature 30", live_prefix + " record conv2/r.tvr -n 2 --dist conv2/live.tq");
    ASSERT_EQ(r.status, 0) << r.out;
    int w, h;
    const std::vector<float> d = tq_frame("conv2/live.tq", "TQ_DIST", 1, w, h);
    ASSERT_EQ(d.size(), 320u * 240);

    // A recording: the frame asked for, calibrated with the recorded
    // calibration (a fresh prefix), its cloud through the recorded lens.
    r = cli("--prefix " + (fs::current_path() / "conv2/fresh").string() +
            " convert conv2/r.tvr --frame 1 --png conv2/c.png --range-min 1 --range-max 2 --ply "
            "conv2/p.ply");
    ASSERT_EQ(r.status, 0) << r.out;
    tarvo_init("cli_test.log");
    std::vector<uint8_t> want(d.size() * 3);
    tarvo_cmap_float(want.data(), static_cast<int>(want.size()), d.data(),
                     static_cast<int>(d.size()), TARVO_CMAP_OUTFMT_RGB, 1.0f, 2.0f);
    tarvo_uninit();
    const Png c = read_png("conv2/c.png");
    ASSERT_EQ(c.w * c.h, 320 * 240);
    EXPECT_EQ(c.px, want);
    const Ply p = read_ply("conv2/p.ply");
    size_t first = d.size();
    long valid = 0;
    for (size_t i = 0; i < d.size(); ++i)
        if (d[i] > 0 && d[i] < 60) first = std::min(first, i), ++valid;
    ASSERT_EQ(p.vertices, valid);
    const float u = static_cast<float>(first % 320) - 157.262f;
    EXPECT_FLOAT_EQ(p.xyz[0], static_cast<float>(d[first] * static_cast<double>(u) / 210.783f));

    // The same frame as raw bytes, with the calibration files the live
    // run left in its prefix: the same picture.
    tarvo::rec::Recording rec;
    std::string err;
    ASSERT_TRUE(tarvo::rec::load("conv2/r.tvr", rec, err)) << err;
    {
        std::ofstream raw("conv2/r.bin", std::ios::binary);
        for (const auto &f : rec.frames)
            raw.write(reinterpret_cast<const char *>(f.raw.data()),
                      static_cast<std::streamsize>(f.raw.size()));
    }
    r = cli(live_prefix +
            " convert conv2/r.bin --raw --frame 1 --png conv2/raw.png --range-min 1 "
            "--range-max 2");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_png("conv2/raw.png").px, want);

    EXPECT_EQ(cli("convert conv2/r.tvr --frame 2 --png conv2/x.png").status, 1);
    r = cli("convert conv2/r.bin --raw --width 7 --png conv2/x.png");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r, "no whole number")) << r.out;
}

TEST(Cli, TransfersAndARefusedFirmwareImage) {
    {
        std::ofstream f("image.bin", std::ios::binary);
        for (int i = 0; i < 2037; ++i) f.put(static_cast<char>(i * 7));
    }
    // Nothing is stored: version 0 is not above it, so the image is refused
    // before anything is erased, and no settle wait follows.
    Result r = sim("", "fw-upgrade image.bin --type 0 --version 0");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r, "DO NOT unplug") && has(r, "refused")) << r.out;
    r = sim_sh(
        "", "$CLI data-write image.bin --type 5 --version 3 && $CLI data-read back.bin --type 5");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "bytes: 2037")) << r.out;
    EXPECT_EQ(slurp("back.bin"), slurp("image.bin"));
    r = sim("", "data-read none.bin --type 6");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(cli("data-write missing.bin --type 5 --version 1").status, 2);
}

// A cable pulled mid-capture: the tool ends at once with the capture's error
// and status 1, not a signal nor a time-out; once the camera is back the
// next run captures again.
TEST(Cli, ACameraPulledDuringCaptureEndsTheToolAndComesBack) {
    Result r = sim_sh("--unplug-after 2500 --replug-after 300",
                      "$CLI capture --seconds 20; echo status=$?; sleep 1; $CLI capture -n 3");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r, "tarvo-sim: cameras unplugged\n") &&
                has(r, "tarvo-sim: cameras replugged\n"))
        << r.out;
    EXPECT_TRUE(has(r, "tarvo-cli: the capture failed: TARVO_ERR_CAP_UNKNOWN\n")) << r.out;
    const size_t first = r.out.find("status=1\n");
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("frames: 3\n", first), std::string::npos) << r.out;
}

// The number after "key": in a JSON line (NaN when absent or null).
double json_number(const Result &r, const std::string &key) {
    const size_t at = r.out.find("\"" + key + "\":");
    if (at == std::string::npos) return NAN;
    char *end = nullptr;
    const char *p = r.out.c_str() + at + key.size() + 3;
    const double v = std::strtod(p, &end);
    return end == p ? NAN : v;
}

// The depth-quality figures of simulated walls against their true pose:
// tilted both ways, with and without the sensor's noise, and a region
// given by hand.
TEST(Cli, QualityFiguresMatchTheSimulatedWall) {
    struct Case {
        double distance, tilt;
        bool noise;
        const char *roi;
    };
    for (const Case &c : {Case{1.5, 20, true, ""}, Case{2.5, -30, false, "--roi 100,120,120,80"}}) {
        char sim_args[96], args[128];
        std::snprintf(sim_args, sizeof sim_args, "--distance %g --tilt %g --noise %s", c.distance,
                      c.tilt, c.noise ? "on" : "off");
        std::snprintf(args, sizeof args, "quality --json --frames 12 --distance %g %s", c.distance,
                      c.roi);
        const Result r = sim(sim_args, args);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NEAR(json_number(r, "distance_m"), c.distance, 0.005) << r.out;
        EXPECT_NEAR(json_number(r, "tilt_x_deg"), c.tilt, 0.2) << r.out;
        EXPECT_NEAR(json_number(r, "tilt_deg"), std::fabs(c.tilt), 0.2) << r.out;
        EXPECT_NEAR(json_number(r, "tilt_y_deg"), 0.0, 0.2) << r.out;
        EXPECT_NEAR(json_number(r, "error_mm"),
                    (json_number(r, "distance_m") - c.distance) * 1000.0, 0.01)
            << r.out;
        EXPECT_EQ(json_number(r, "fill_rate_percent"), 100.0) << r.out;
        EXPECT_EQ(json_number(r, "frames"), 12.0) << r.out;
        // Shot noise at 1.5 m is several millimetres; without it only the
        // warming sensor's residue is left.
        const double noise = json_number(r, "temporal_noise_mm");
        if (c.noise) {
            EXPECT_TRUE(noise > 3 && noise < 15) << r.out;
            EXPECT_EQ(json_number(r, "roi_pixels"), 160.0 * 120.0) << r.out;
        } else {
            EXPECT_LT(noise, 1.0) << r.out;
            EXPECT_LT(json_number(r, "rms_mm"), 6.0) << r.out;
            EXPECT_EQ(json_number(r, "roi_pixels"), 120.0 * 80.0) << r.out;
        }
    }
    EXPECT_EQ(cli("quality --roi 1,2,3").status, 2);
    EXPECT_EQ(cli("quality --frames 1").status, 2);
}

}  // namespace
