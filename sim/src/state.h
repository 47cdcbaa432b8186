// Internal state of one simulated camera and of the device nodes it had.
// Everything here is guarded by State::mu unless said otherwise.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarvo_sim/flash.h"
#include "tarvo_sim/sim.h"

namespace tarvo::sim {

struct BusCore;
namespace phys {
class Model;
}

// Milliseconds and microseconds on a monotonic clock.
int64_t mono_us();

// One URB a client submitted.
struct Urb {
    Urb() = default;
    Urb(const Urb &) = delete;
    Urb &operator=(const Urb &) = delete;
    ~Urb();

    UMockdevIoctlClient *client = nullptr;  // ref held
    UMockdevIoctlData *urb = nullptr;       // the usbdevfs_urb, ref held
    UMockdevIoctlData *buf = nullptr;       // its buffer, ref held; null when empty
    // A stream read's bytes until it is reaped: its buffer is reached only
    // then, for exactly these bytes, so a read that is cancelled or filled
    // in part never copies the whole buffer from and back to the client.
    std::vector<uint8_t> staged;
    uint64_t addr = 0;  // URB address in the client
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int32_t length = 0;
    int32_t status = 0;  // completion status (negative errno)
    int32_t actual = 0;
    // Delayed control answer: due time, and whether a discard is ignored.
    int64_t due_us = -1;
    bool ignore_cancel = false;
    bool discarded = false;
};
using UrbPtr = std::unique_ptr<Urb>;

// A device node: one address the camera had. Nodes stay until the bus goes,
// so clients of an old address get no-device answers, not a crash.
struct Node {
    Camera::State *cam = nullptr;
    uint8_t devnum = 0;
    std::string devnode;  // /dev/bus/usb/001/NNN
    std::string fifo;     // the FIFO in the testbed standing for it
    int fd = -1;          // our end of the FIFO
    bool fifo_full = false;
    bool gone = false;
    UMockdevIoctlBase *handler = nullptr;
    std::deque<UrbPtr> pending;  // submitted, not finished
    std::deque<UrbPtr> done;     // finished, not reaped
};

// A command behaviour set by a test.
struct Behaviour {
    enum class Kind { busy, fail, refuse, delay, short_reply, vanish } kind;
    CommandMatch match;
    unsigned times = 1;
    unsigned polls = 0;
    std::string text;
    uint32_t ms = 0;
    bool ignore_cancel = false;
    uint16_t bytes = 0;
};

// The stream generator of a capture.
struct StreamGen {
    bool on = false;
    StreamConfig cfg;
    uint32_t frlen = 0;
    int64_t period_us = 0;  // 0: unpaced
    int64_t t0_us = 0;
    uint32_t frame_seq = 0;  // frames started
    uint32_t pkt_seq = 0;    // packets produced (sent or dropped)
    uint16_t sidx = 0;
    // The frame group being packetised: frames [group_seq, group_seq + group_n),
    // group_off bytes already sent.
    uint32_t group_seq = 0;
    uint32_t group_n = 0;
    uint32_t group_off = 0;
    uint32_t group_len = 0;
    std::vector<uint8_t> group;  // the group's bytes
    bool uploading = false;      // data-upload mode: the frame is `upload`
    bool scene = false;          // frames are the EPC scene's phase samples
    bool replay = false;         // frames are CameraConfig::replay's, one per packet group
    std::vector<uint8_t> upload;
    bool group_damaged = false;
    std::vector<uint8_t> q;  // stream bytes not yet handed to the host
    size_t qhead = 0;
    int64_t silent_until_us = 0;                       // -1: silent until stop
    std::vector<std::pair<StreamFault, bool>> faults;  // fault, fired
    size_t avail() const { return q.size() - qhead; }
};

// Actions the timer thread or a caller runs outside the camera lock.
struct PlugEvent {
    int64_t at_us = -1;
    bool unplug = false;  // else replug
    uint8_t port = 0;
};

struct Camera::State {
    std::mutex mu;
    BusCore *bus = nullptr;
    CameraConfig cfg;
    uint8_t port = 0;
    bool present = false;
    Node *node = nullptr;                      // current node
    std::vector<std::unique_ptr<Node>> nodes;  // every node it had

    std::map<uint8_t, std::vector<uint8_t>> params;
    std::map<std::pair<uint8_t, uint32_t>, uint32_t> regs;
    std::vector<RegWrite> reg_log;
    std::vector<Command> cmd_log;
    std::vector<uint8_t> reset_log;

    uint8_t last_req = 0;
    uint8_t last_val = 0;
    uint8_t last_status = wire_ok();
    std::string last_text;
    unsigned busy_left = 0;
    std::deque<std::pair<uint8_t, uint8_t>> status_overrides;
    std::vector<Behaviour> behaviours;
    std::vector<uint8_t> param_query;
    bool reg_query_valid = false;
    uint8_t reg_query_target = 0;
    uint32_t reg_query_addr = 0;
    uint16_t reg_query_count = 0;

    StreamConfig stream_cfg;
    StreamGen gen;
    // Physical scene: the per-scene model (built at the first capture that
    // needs it), the moment of power-on (first capture), and whether the
    // host has set the sync parameter.
    std::shared_ptr<phys::Model> phys_model;
    int64_t power_on_us = -1;
    bool sync_set = false;
    std::vector<StreamFault> faults;  // armed at the next start
    bool halted = false;
    uint32_t cap_arg = 0;

    CameraStats stats;
    uint32_t hostile_uploads = 0;  // calibration read-outs served by a hostile mode
    bool keep_payloads = false;
    std::vector<SentPacket> packets;
    std::vector<SentFrame> frames;

    std::vector<PlugEvent> plug_events;

    // The flash behind the data actions (request 0xCC); locks itself.
    std::shared_ptr<Flash> flash = std::make_shared<Flash>();

    static constexpr uint8_t wire_ok() { return 0; }

    // Next moment the timer must look at this camera (-1: none).
    int64_t next_due_us() const;
};

// Camera model entry points (camera_cmd.cpp, camera_stream.cpp); called
// with State::mu held.
// Handles a control URB: answers it now (moves it to done), or keeps it
// pending for later.
void cam_control(Camera::State &s, Node &n, UrbPtr u, int64_t now);
// Fills pending bulk reads from the stream; produces packets as due.
void cam_pump_stream(Camera::State &s, int64_t now);
// Starts and stops the stream generator.
void cam_start_stream(Camera::State &s, int64_t now);
void cam_stop_stream(Camera::State &s);
// Runs a data action (request 0xCC) on the camera's flash (camera_flash.cpp).
void cam_data_action(Camera::State &s, bool in, uint16_t value, const uint8_t *d, size_t len,
                     std::vector<uint8_t> &reply, int64_t now);
// Completes every pending URB of node n with `status`.
void node_fail_pending(Node &n, int32_t status);
// Finishes delayed control answers that are due.
void cam_tick(Camera::State &s, int64_t now);
// Sets the FIFO so that libusb sees reapable URBs exactly when there are.
void node_update_ready(Node &n);
// Schedules an unplug (and a replug after back_ms when not 0).
void cam_schedule_vanish(Camera::State &s, int64_t now, uint32_t back_ms);
// The stored calibration image a hostile mode serves at read-out `round`
// (0, 1, ...), or null when the mode leaves the calibration alone
// (hostile.cpp).
const std::vector<uint8_t> *hostile_calibration(Hostile h, uint32_t round);

// The bus's shared part (bus.cpp).
struct BusCore {
    virtual ~BusCore() = default;
    virtual void kick() = 0;  // wake the timer thread
    virtual bool verbose() const = 0;
};

}  // namespace tarvo::sim
