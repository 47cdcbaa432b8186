// tarvo-sim: runs a program with simulated tarvo cameras on an emulated USB
// bus.
//
//   tarvo-sim run [--cameras N] [camera options] -- COMMAND [ARGS...]
//
// --unplug-after and --replug-after pull the cameras from the bus while
// COMMAND runs; --hostile makes them break the link's rules.
//
// The bus lives in this process; both run under the umockdev preload
// library and COMMAND and sees the cameras through its own, unchanged libusb. The exit
// status is COMMAND's.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "scene/options.h"
#include "tarvo_sim/epc_chip.h"
#include "tarvo_sim/replay.h"
#include "tarvo_sim/sim.h"

namespace {

void usage(FILE *f) {
    std::fputs(
        "usage: tarvo-sim run [options] -- COMMAND [ARGS...]\n"
        "Runs COMMAND with simulated tarvo cameras on an emulated USB bus.\n"
        "options:\n"
        "  --cameras N             number of cameras, on ports 2, 3, ... (default 1)\n"
        "  --full-speed            enumerate at full speed (default high speed)\n"
        "  --product TEXT          product text, parameter 3 (default TarvoSim-E2-1.0)\n"
        "  --id TEXT               id text, parameter 2 (camera i gets TEXT-i when N > 1)\n"
        "  --fps N                 frame rate, parameter 12 (default 30)\n"
        "  --intg US               integration time, parameter 13 (default 500)\n"
        "  --width N --height N    frame geometry (default 320 x 240)\n"
        "  --format N              frame format code (default 2 for EPC products, else 0)\n"
        "  --frame-bytes N         frame length (default width * height * 8 for EPC\n"
        "                          products: four phase planes; else width * height * 2)\n"
        "  --packet-bytes N        largest packet payload (default 65536)\n"
        "  --frames-per-packet N   frames carried by one packet (default 1)\n"
        "  --no-checksum           no payload checksums\n"
        "  --unpaced               send frames as fast as the host reads\n"
        "  --max-frames N          frames per capture (default no limit)\n"
        "  --reset-delay MS        time off the bus after a USB reset (default 300)\n"
        "  --verbose               print every request\n"
        "  --play FILE             replay a recording of tarvo-cli record: the recorded\n"
        "                          camera with its frames, looping, at the recorded\n"
        "                          frame rate unless --fps is given (docs/replay.md)\n"
        "  --unplug-after MS       the cameras leave the bus MS ms after the first open\n"
        "  --replug-after MS       ... and come back MS ms after leaving\n"
        "  --hostile NAME          a camera that breaks the link's rules; NAME is one of:\n",
        f);
    std::fputs(tarvo::sim::hostile_help().c_str(), f);
    tarvo::sim::phys::print_scene_options(f);
}

volatile sig_atomic_t g_child = 0;

void forward(int sig) {
    if (g_child > 0) kill(g_child, sig);
}

unsigned long num(const char *opt, const char *v) {
    char *end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(v, &end, 0);
    if (!*v || *end || errno) {
        std::fprintf(stderr, "tarvo-sim: %s needs a number, got '%s'\n", opt, v);
        std::exit(2);
    }
    return n;
}

// Waits for the child while unplugging the cameras `unplug_ms` after the
// first open of any of them, and replugging them `replug_ms` (if not
// negative) after that.
void serve_plugging(tarvo::sim::Bus &bus, pid_t pid, int64_t unplug_ms, int64_t replug_ms,
                    int &status) {
    using clock = std::chrono::steady_clock;
    std::optional<clock::time_point> opened, unplugged;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return;
        const auto now = clock::now();
        if (!opened)
            for (size_t k = 0; k < bus.size(); ++k)
                if (bus.camera(k).stats().opens > 0) opened = now;
        if (opened && !unplugged && now - *opened >= std::chrono::milliseconds(unplug_ms)) {
            for (size_t k = 0; k < bus.size(); ++k) bus.camera(k).unplug();
            std::fprintf(stderr, "tarvo-sim: cameras unplugged\n");
            unplugged = now;
        }
        if (unplugged && replug_ms >= 0 &&
            now - *unplugged >= std::chrono::milliseconds(replug_ms)) {
            for (size_t k = 0; k < bus.size(); ++k) bus.camera(k).replug();
            std::fprintf(stderr, "tarvo-sim: cameras replugged\n");
            replug_ms = -1;
        }
        usleep(5000);
    }
}

}  // namespace

int main(int argc, char **argv) {
    // The bus's own uevents go through libudev, which must see the testbed
    // as the child does.
    tarvo::sim::ensure_preloaded(argc, argv);
    if (argc < 2 || std::strcmp(argv[1], "run") != 0) {
        usage(argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))
                  ? stdout
                  : stderr);
        return argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) ? 0
                                                                                             : 2;
    }
    tarvo::sim::CameraConfig cfg;
    cfg.scene.physical = true;  // EPC cameras look at the physical scene
    tarvo::sim::BusOptions opt;
    unsigned cameras = 1;
    bool format_given = false;
    std::string play;
    bool fps_given = false;
    int64_t unplug_after = -1, replug_after = -1;
    int i = 2;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarvo-sim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        // Scene options: their own table.
        if (const auto *so = tarvo::sim::phys::find_scene_option(a)) {
            std::string err;
            if (!so->apply(cfg, so->arg ? value() : nullptr, err)) {
                std::fprintf(stderr, "tarvo-sim: %s %s\n", a.c_str(), err.c_str());
                return 2;
            }
            continue;
        }
        if (a == "--cameras")
            cameras = static_cast<unsigned>(num("--cameras", value()));
        else if (a == "--full-speed")
            cfg.speed = tarvo::sim::Speed::full;
        else if (a == "--product")
            cfg.product = value();
        else if (a == "--id")
            cfg.id_text = value();
        else if (a == "--fps") {
            cfg.frame_rate = static_cast<uint32_t>(num("--fps", value()));
            fps_given = true;
        } else if (a == "--intg")
            cfg.intg_time_us = static_cast<uint16_t>(num("--intg", value()));
        else if (a == "--width")
            cfg.stream.width = static_cast<uint16_t>(num("--width", value()));
        else if (a == "--height")
            cfg.stream.height = static_cast<uint16_t>(num("--height", value()));
        else if (a == "--format") {
            cfg.stream.format = static_cast<uint16_t>(num("--format", value()));
            format_given = true;
        } else if (a == "--frame-bytes") {
            cfg.stream.frame_bytes = static_cast<uint32_t>(num("--frame-bytes", value()));
            format_given = true;
        } else if (a == "--packet-bytes")
            cfg.stream.packet_payload = static_cast<uint32_t>(num("--packet-bytes", value()));
        else if (a == "--frames-per-packet")
            cfg.stream.frames_per_packet =
                static_cast<uint16_t>(num("--frames-per-packet", value()));
        else if (a == "--no-checksum")
            cfg.stream.payload_checksum = false;
        else if (a == "--unpaced")
            cfg.stream.paced = false;
        else if (a == "--max-frames")
            cfg.stream.max_frames = static_cast<uint32_t>(num("--max-frames", value()));
        else if (a == "--reset-delay")
            cfg.reset_delay_ms = static_cast<uint32_t>(num("--reset-delay", value()));
        else if (a == "--verbose")
            opt.verbose = true;
        else if (a == "--play")
            play = value();
        else if (a == "--unplug-after")
            unplug_after = static_cast<int64_t>(num(a.c_str(), value()));
        else if (a == "--replug-after")
            replug_after = static_cast<int64_t>(num(a.c_str(), value()));
        else if (a == "--hostile") {
            const char *name = value();
            if (!tarvo::sim::hostile_from_name(name, &cfg.hostile)) {
                std::fprintf(stderr, "tarvo-sim: unknown --hostile mode '%s'\n", name);
                return 2;
            }
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "tarvo-sim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "tarvo-sim: no command given after --\n");
        return 2;
    }
    // An EPC camera streams what an application decodes to distance: the
    // four phase planes of the scene, unless the options say otherwise.
    if (!format_given && tarvo::sim::epc_chip_present(cfg)) {
        cfg.stream.format = 2;
        cfg.stream.frame_bytes = static_cast<uint32_t>(cfg.stream.width) * cfg.stream.height * 8;
    }
    if (!play.empty()) {
        tarvo::rec::Recording r;
        std::string err;
        if (!tarvo::rec::load(play, r, err)) {
            std::fprintf(stderr, "tarvo-sim: --play: %s\n", err.c_str());
            return 2;
        }
        if (r.frames.empty()) {
            std::fprintf(stderr, "tarvo-sim: --play: %s holds no frame\n", play.c_str());
            return 2;
        }
        const uint32_t fps = cfg.frame_rate;
        cfg = tarvo::sim::replay_config(r, cfg);
        if (fps_given) {  // replayed slower or faster than recorded
            cfg.frame_rate = fps;
            cfg.extra_params.push_back(
                {tarvo::sim::k_param_frame_rate,
                 {static_cast<uint8_t>(fps), static_cast<uint8_t>(fps >> 8),
                  static_cast<uint8_t>(fps >> 16), static_cast<uint8_t>(fps >> 24)}});
        }
    }
    if (cameras == 0 || cameras > 100) {
        std::fprintf(stderr, "tarvo-sim: --cameras must be 1 to 100\n");
        return 2;
    }

    std::vector<tarvo::sim::CameraConfig> cams(cameras, cfg);
    if (cameras > 1)
        for (unsigned k = 0; k < cameras; ++k) {
            cams[k].id_text = cfg.id_text + "-" + std::to_string(k);
            cams[k].serial = cfg.serial + "-" + std::to_string(k);
        }
    try {
        tarvo::sim::Bus bus(cams, opt);

        const pid_t pid = fork();
        if (pid < 0) {
            std::perror("tarvo-sim: fork");
            return 125;
        }
        if (pid == 0) {
            unsetenv("TARVO_SIM_REEXEC");
            execvp(argv[i], argv + i);
            std::fprintf(stderr, "tarvo-sim: cannot run %s: %s\n", argv[i], std::strerror(errno));
            _exit(127);
        }
        g_child = pid;
        struct sigaction sa {};
        sa.sa_handler = forward;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
        int status = 0;
        if (unplug_after < 0) {
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        } else {
            serve_plugging(bus, pid, unplug_after, replug_after, status);
        }
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 125;
    }
}
