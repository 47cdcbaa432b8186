// The simulated camera on an emulated USB bus.
//
// A Bus is a umockdev testbed holding one or more simulated cameras, each on
// its own port of bus 1 (port 2, 3, ...). Any libusb code in a process that
// runs under libumockdev-preload.so.0 with the bus's UMOCKDEV_DIR sees them
// as real USB devices: it lists them, reads their descriptors, opens them,
// runs control transfers (the command channel) and bulk reads on endpoint
// 0x81 (the image stream).
//
// In-process use (tests):
//
//     int main(int argc, char **argv) {
//         tarvo::sim::ensure_preloaded(argc, argv);   // re-execs once if needed
//         ...
//     }
//     tarvo::sim::Bus bus(2);                  // before libusb_init, before other threads
//     bus.camera(0).set_busy_polls(2);
//     ... libusb or the library ...
//     // destroy the bus after libusb_exit
//
// tests/support/sim_main.cpp is a GoogleTest main that does the first step.
//
// Threads: the camera model runs on umockdev's ioctl worker thread and on
// one timer thread per bus. Every Camera method may be called from any
// thread; each takes the camera's lock for a short time and never waits for
// the host.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarvo_sim/config.h"
#include "tarvo_sim/flash.h"

namespace tarvo::sim {

// --- Running under the preload library -------------------------------------

// True when libumockdev-preload.so.0 is loaded into this process.
bool preloaded();

// Makes sure the process runs under the preload library: returns at once when
// it does; otherwise sets LD_PRELOAD (keeping what was there) and re-executes
// /proc/self/exe with argv. The re-executed process also gets
// verify_asan_link_order=0 in ASAN_OPTIONS and, in a ThreadSanitizer build,
// the suppressions of sim/tsan.supp in TSAN_OPTIONS. Call it first thing in
// main, before any thread starts. Never returns on a failed exec: prints why
// and exits with status 125. `argc` is unused (argv is null-terminated).
void ensure_preloaded(int argc, char **argv);

// --- Stream helpers shared with tests ----------------------------------------

// Frame length the stream configuration gives (frame_bytes or width*height*2).
uint32_t frame_length(const StreamConfig &cfg);

// Fills `out` with the deterministic test pattern of the frame with capture
// sequence number `seq` (little-endian u16 words; the last odd byte, if any,
// is the low byte of the next word).
void test_pattern(uint32_t seq, std::span<uint8_t> out);

// The simulator's own Fletcher-16 of a packet header's bytes 0..33
// (low byte sum1, high byte sum2) and word sum of a payload.
uint16_t header_checksum(std::span<const uint8_t> first_34);
uint32_t payload_checksum(std::span<const uint8_t> payload);

// --- Faults ----------------------------------------------------------------

// A fault of the image stream, triggered when the camera is about to send the
// packet with sequence number `at_packet` (0 = the first of a capture).
struct StreamFault {
    enum class Kind {
        drop,             // `count` packets are not sent (sidx still advances)
        corrupt_header,   // `count` packets get a wrong header checksum
        corrupt_payload,  // `count` packets get one payload byte flipped (dsum then mismatches)
        stall,    // endpoint 0x81 halts: queued and new reads fail with a stall until CLEAR_HALT
        silence,  // nothing is sent for `duration_ms` (0: until capture stops); reads time out
        vanish,   // the camera leaves the bus; back after `duration_ms` if not 0 (new address)
    };
    Kind kind = Kind::drop;
    uint32_t at_packet = 0;
    uint32_t count = 1;
    uint32_t duration_ms = 0;
};

// --- Hostile modes -----------------------------------------------------------

// Launcher name of a mode ("short-replies", ...; "none").
const char *hostile_name(Hostile h);
// The mode of a name; false for an unknown one.
bool hostile_from_name(const std::string &name, Hostile *out);
// Every mode but none, in declaration order.
std::vector<Hostile> hostile_modes();
// One line per mode: its name and what the camera does.
std::string hostile_help();

// --- One camera --------------------------------------------------------------

class Bus;

namespace detail {
void sleep_ms(uint32_t ms);
}

class Camera {
  public:
    // Identity on the bus.
    uint8_t bus_number() const;   // always 1
    uint8_t port() const;         // 2, 3, ... unless moved
    uint8_t address() const;      // devnum; changes at every re-enumeration
    bool present() const;         // on the bus now
    std::string devnode() const;  // "/dev/bus/usb/001/005"

    // --- Parameters (store keyed by identifier, value up to 18 bytes).
    void set_param(uint8_t id, std::span<const uint8_t> value);
    void set_param_u32(uint8_t id, uint32_t value, uint8_t len = 4);
    void set_param_text(uint8_t id, const std::string &text);
    // Current value, empty when the identifier was never set.
    std::vector<uint8_t> param(uint8_t id) const;
    uint32_t param_u32(uint8_t id) const;  // little-endian from the first bytes

    // The stored calibration sent in data-upload mode (see CameraConfig).
    void set_calibration(std::vector<uint8_t> bytes);

    // Replaces the scene (from the next frame on).
    void set_scene(const SceneConfig &sc);
    // Ground truth of the physical scene at the stream's image size, at 12000 kHz.
    SceneTruth scene_truth() const;

    // --- Register spaces (32-bit registers by target and index; unset = 0).
    void set_reg(uint8_t target, uint32_t index, uint32_t value);
    uint32_t reg(uint8_t target, uint32_t index) const;
    std::vector<RegWrite> reg_writes() const;  // in order received

    // --- Behaviour of the next matching commands (each used up after
    // `times` matching commands; a CommandMatch value compares the value's
    // low byte). Status polls (0xB0) are matched by delay, refuse, short
    // reply and vanish only.
    // The status request answers busy (0xFE) `polls` times before the outcome.
    void set_busy_polls(unsigned polls, CommandMatch m = {}, unsigned times = 1);
    // The command fails: status 0xFF with `text` (at most 60 bytes).
    void fail_command(CommandMatch m, std::string text, unsigned times = 1);
    // The control transfer itself is refused (the request stalls).
    void refuse_command(CommandMatch m, unsigned times = 1);
    // The control transfer completes only after `delay_ms`; when
    // `ignore_cancel` it completes then even if the host discarded it (an
    // answer arriving after the host gave up), otherwise a discard ends it.
    void delay_command(CommandMatch m, uint32_t delay_ms, bool ignore_cancel = false,
                       unsigned times = 1);
    // A camera-to-host command answers only `bytes` bytes of its data stage.
    void short_reply(CommandMatch m, uint16_t bytes, unsigned times = 1);
    // The camera leaves the bus when it receives the command, without
    // answering it (it completes as no-device); back after `back_after_ms`
    // if not 0.
    void vanish_on_command(CommandMatch m, uint32_t back_after_ms = 0);
    // The next `times` status records name (`request`, `value`) instead of
    // the last command.
    void override_status(uint8_t request, uint8_t value, unsigned times = 1);
    // Drops every pending behaviour above.
    void clear_command_faults();
    // Switches the hostile mode (config.h); none gives a well-behaved camera.
    void set_hostile(Hostile h);
    Hostile hostile() const;

    // --- Stream.
    void set_stream(const StreamConfig &cfg);  // applies from the next capture start
    StreamConfig stream() const;
    // Arms a fault for every later capture (packet numbers count from each
    // capture's start) and for the running one.
    void add_stream_fault(const StreamFault &f);
    void clear_stream_faults();
    bool capturing() const;
    uint32_t capture_arg() const;  // argument of the last start command

    // --- Observation.
    std::optional<Command> last_command() const;
    std::vector<Command> commands() const;  // every command since creation or clear_log()
    std::vector<uint8_t> reset_targets() const;
    void record_payloads(bool on);  // keep packet payload bytes (off by default)
    // Packets and frames of the current or last capture, at most 65536 each.
    std::vector<SentPacket> packets() const;
    std::vector<SentFrame> frames() const;
    CameraStats stats() const;
    void clear_log();

    // --- Flash behind the data actions (request 0xCC): stored images,
    // erase timing, faults and counters (tarvo_sim/flash.h). Valid while
    // the bus exists.
    Flash &flash() const;

    // --- Plugging. Both change the testbed at once and block for a few
    // milliseconds; libusb contexts that already run learn of it through
    // hot-plug events, asynchronously. Nothing happens once the Bus is gone.
    // Unplug: the camera leaves the bus; every queued transfer completes as
    // no-device and later requests on its old node fail with no-device; a
    // running capture stops. No-op when it is not present.
    void unplug();
    // Unplugs if present, then re-enumerates with the next free address on
    // `port` (0: its own port), rebooted: no last command, no halt. The
    // parameters, registers, faults and logs are kept.
    void replug(uint8_t port = 0);

    // Waits (polling every 2 ms) until `pred(*this)` holds or `timeout_ms`
    // passes; returns whether it held. For tests.
    template <class Pred>
    bool wait_for(Pred pred, uint32_t timeout_ms) const;

    struct State;  // internal
    explicit Camera(std::shared_ptr<State> s) : s_(std::move(s)) {}

  private:
    std::shared_ptr<State> s_;
};

// --- The bus -----------------------------------------------------------------

struct BusOptions {
    bool verbose = false;  // print each request and transfer to stderr
};

class Bus {
  public:
    // Creates the testbed (sets UMOCKDEV_DIR in the environment) with
    // `cameras` copies of `cfg` on ports 2, 3, ... and starts the bus's timer
    // thread. The process must run under the preload library (preloaded();
    // the bus announces devices through a libudev that sees the testbed).
    // Construct it before libusb_init and before the process starts other
    // threads; destroy it after libusb_exit (destroying it while a libusb
    // handle is open aborts the preload). Throws std::runtime_error when the
    // process is not preloaded or the testbed cannot be made. Blocks for a
    // few milliseconds per camera. One bus at a time per process; buses one
    // after another are fine.
    explicit Bus(unsigned cameras = 1, const CameraConfig &cfg = {}, BusOptions opt = {});
    explicit Bus(const std::vector<CameraConfig> &cameras, BusOptions opt = {});
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    size_t size() const;
    Camera camera(size_t i) const;
    // Hot-plugs one more camera on the next free port.
    Camera add_camera(const CameraConfig &cfg = {});

    std::string root_dir() const;  // the testbed's root (UMOCKDEV_DIR)

    struct Impl;  // internal

  private:
    std::unique_ptr<Impl> impl_;
};

template <class Pred>
bool Camera::wait_for(Pred pred, uint32_t timeout_ms) const {
    for (uint32_t waited = 0;; waited += 2) {
        if (pred(*this)) return true;
        if (waited >= timeout_ms) return false;
        detail::sleep_ms(2);
    }
}

}  // namespace tarvo::sim
