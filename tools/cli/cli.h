// tarvo-cli: shared pieces of the subcommands. The program uses only the
// library's public C interface.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tarvo/tarvo.h"

namespace tarvo_quality {
struct Figures;
}

namespace tarvo_cli {

// Exit statuses of the program.
enum Exit : int { k_ok = 0, k_failed = 1, k_usage = 2, k_no_camera = 3 };

// Options every subcommand understands.
struct Global {
    bool json = false;
    std::string prefix;  // empty: the per-user state directory
    std::string log_level = "warn";
    int device = 0;         // index in the camera list
    char **argv = nullptr;  // the program's arguments (a re-exec needs them)
};

// A record of named values, printed as "key: value" lines for people or
// as one JSON object for scripts. Values are rendered when added.
class Record {
  public:
    Record &add(const std::string &key, const std::string &text);
    Record &add(const std::string &key, const char *text) { return add(key, std::string(text)); }
    Record &add(const std::string &key, double v);
    Record &add(const std::string &key, int64_t v);
    Record &add(const std::string &key, int v) { return add(key, static_cast<int64_t>(v)); }
    Record &add(const std::string &key, unsigned v) { return add(key, static_cast<int64_t>(v)); }
    Record &add(const std::string &key, uint64_t v) { return add(key, static_cast<int64_t>(v)); }
    Record &add(const std::string &key, bool v);
    Record &add(const std::string &key, const Record &child);
    Record &add(const std::string &key, const std::vector<Record> &list);
    Record &add_numbers(const std::string &key, const std::vector<double> &list);

    std::string json() const;
    std::string text(int indent = 0) const;

  private:
    struct Field {
        std::string key, json, text;
        std::vector<Record> children;  // a nested record (1) or a list
        bool nested = false, list = false;
    };
    std::vector<Field> fields_;
};

// Prints a record the way the global options ask for.
void emit(const Global &g, const Record &r);

// "tarvo-cli: <message>" on standard error; returns `status`.
int fail(const std::string &message, int status = k_failed);

// The library for one run: started with the path prefix and log level of
// the global options, ended on destruction, with at most one open camera.
class Session {
  public:
    explicit Session(const Global &g);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    bool ok() const { return ok_; }
    const std::string &prefix() const { return prefix_; }
    // The attached cameras (identity only).
    std::vector<tarvo_dev_t> list();
    // Opens the camera chosen by --device; null after explaining why on
    // standard error (no camera: the likely causes and the simulator).
    tarvo_dev_t *open();
    // Opens a given list entry (owned by the session from then on).
    tarvo_dev_t *open(const tarvo_dev_t &entry);
    void close();
    // Exit status after open() failed: k_no_camera or k_failed.
    int open_status() const { return open_status_; }

  private:
    const Global &g_;
    std::string prefix_;
    bool ok_ = false;
    tarvo_dev_t dev_{};
    bool open_ = false;
    int open_status_ = k_failed;
};

// The prefix the program uses: --prefix, else $XDG_STATE_HOME/tarvo, else
// ~/.local/state/tarvo.
std::string default_prefix();

// The explanation printed when no camera is attached.
extern const char *const k_no_camera_help;

// Numbers from text: decimal, 0x hexadecimal, or negative; false when the
// whole text is not a number that fits.
bool parse_int(const std::string &s, int64_t &out);

// "01 A2 ..." of a byte array.
std::string hex_bytes(const uint8_t *p, size_t n);

// Little-endian integers of a parameter value.
uint32_t le_u32(const uint8_t *p, size_t n);

// Identity of an open device as a record (list and info share it).
Record identity(tarvo_dev_t *dev);

struct PictureOptions;
// --png, --range-min, --range-max, --gray-png, --gray-max, --ply,
// --ply-color, --lens; `each` adds the per-frame note of capture.
void add_picture_options(CLI::App *c, PictureOptions &p, bool each);

// Each subcommand adds itself to the application and sets `run` when chosen.
using Runner = std::function<int()>;
void add_list(CLI::App &app, Global &g, Runner &run);
void add_info(CLI::App &app, Global &g, Runner &run);
void add_access(CLI::App &app, Global &g, Runner &run);  // param, reg, reset
void add_capture(CLI::App &app, Global &g, Runner &run);
void add_record(CLI::App &app, Global &g, Runner &run);
void add_convert(CLI::App &app, Global &g, Runner &run);
void add_transfer(CLI::App &app, Global &g, Runner &run);  // fw-upgrade, data-write, data-read
void add_quality(CLI::App &app, Global &g, Runner &run);
void add_view(CLI::App &app, Global &g, Runner &run);

// The depth-quality figures as a record (quality prints it, the viewer
// sends it).
Record quality_record(const tarvo_quality::Figures &f);

}  // namespace tarvo_cli
