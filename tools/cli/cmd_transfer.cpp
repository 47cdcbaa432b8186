// tarvo-cli fw-upgrade, data-write, data-read: whole images to and from
// the camera's flash. The library's transfer blocks; a progress line with
// the elapsed time runs beside it on a terminal.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "cli.h"

namespace tarvo_cli {

namespace {

struct TransferArgs {
    std::string file;
    unsigned type = 0;
    unsigned version = 0;
};

const char *const k_warning =
    "tarvo-cli: DO NOT unplug or power off the camera until this command returns.\n";

// Runs `op` on a worker thread, drawing a progress line until it ends.
int with_progress(const std::string &what, uint64_t bytes, const std::function<int()> &op) {
    std::atomic<bool> done{false};
    int result = -1;
    std::thread worker([&] {
        result = op();
        done = true;
    });
    const bool tty = isatty(2);
    const auto t0 = std::chrono::steady_clock::now();
    static const char spin[] = "|/-\\";
    for (unsigned k = 0; !done; ++k) {
        if (tty) {
            const double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::fprintf(stderr, "\r%s %llu bytes [%c] %.1f s ", what.c_str(),
                         static_cast<unsigned long long>(bytes), spin[k % 4], t);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    worker.join();
    if (tty) std::fputc('\n', stderr);
    return result;
}

int run_write(const Global &g, const TransferArgs &a, bool firmware) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(a.file, ec);
    if (ec) return fail("cannot read " + a.file + ": " + ec.message());
    if (size == 0) return fail(a.file + " is empty");
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    std::fputs(k_warning, stderr);
    if (a.type <= 3)
        std::fprintf(stderr, "tarvo-cli: the camera settles for %d s after the transfer.\n",
                     a.type <= 1 ? 20 : 7);
    const uint8_t type = static_cast<uint8_t>(a.type);
    const uint16_t version = static_cast<uint16_t>(a.version);
    const int r = with_progress("writing", size, [&] {
        return firmware ? tarvo_firmware_upgrade(dev, type, version, a.file.c_str())
                        : tarvo_data_download(dev, a.file.c_str(), type, version, 0);
    });
    if (r != 1)
        return fail("the camera refused or lost the image (is version " +
                    std::to_string(a.version) + " above the stored one? see the log under " +
                    s.prefix() + ")");
    emit(g, Record()
                .add("written", a.file)
                .add("bytes", static_cast<uint64_t>(size))
                .add("type", a.type)
                .add("version", a.version));
    return k_ok;
}

int run_read(const Global &g, const TransferArgs &a) {
    Session s(g);
    tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
    if (!dev) return s.open_status();
    const int r = with_progress("reading", 0, [&] {
        return tarvo_data_upload(dev, static_cast<uint8_t>(a.type), a.file.c_str());
    });
    if (r != 1) return fail("the camera holds no readable data of type " + std::to_string(a.type));
    std::error_code ec;
    const auto size = std::filesystem::file_size(a.file, ec);
    emit(g, Record()
                .add("read", a.file)
                .add("bytes", static_cast<uint64_t>(ec ? 0 : size))
                .add("type", a.type));
    return k_ok;
}

void write_command(CLI::App &app, Global &g, Runner &run, const char *name, const char *help,
                   bool fw) {
    auto a = std::make_shared<TransferArgs>();
    CLI::App *c = app.add_subcommand(name, help);
    c->add_option("file", a->file, "the image to write")->required()->check(CLI::ExistingFile);
    c->add_option("--type", a->type,
                  fw ? "data type (0 and 1 reset the camera and wait 20 s)"
                     : "data type (2 and 3 wait 7 s, 4 and above do not wait)")
        ->required()
        ->check(CLI::Range(0, 255));
    c->add_option("--version", a->version, "image version, above the stored one")
        ->required()
        ->check(CLI::Range(0, 65535));
    c->callback([&g, &run, a, fw] { run = [&g, a, fw] { return run_write(g, *a, fw); }; });
}

}  // namespace

void add_transfer(CLI::App &app, Global &g, Runner &run) {
    write_command(app, g, run, "fw-upgrade", "write a firmware image to the camera", true);
    write_command(app, g, run, "data-write", "write calibration or other data to the camera",
                  false);
    auto a = std::make_shared<TransferArgs>();
    CLI::App *c = app.add_subcommand("data-read", "read stored data from the camera into a file");
    c->add_option("file", a->file, "the file to write")->required();
    c->add_option("--type", a->type, "data type")->required()->check(CLI::Range(0, 255));
    c->callback([&g, &run, a] { run = [&g, a] { return run_read(g, *a); }; });
}

}  // namespace tarvo_cli
