// Configuration and observation records of the simulated camera.
//
// Plain values: a test fills a CameraConfig (or takes the defaults), hands
// it to tarvo::sim::Bus, and reads back what the host did through the
// records at the end of this file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::sim {

// Parameter identifiers the camera gives a meaning to. Any other identifier
// is stored and read back unchanged.
enum ParamId : uint8_t {
    k_param_mode = 0,
    k_param_id_text = 2,
    k_param_product = 3,
    k_param_id_block = 5,
    k_param_version = 6,
    k_param_chip_info = 7,
    k_param_calib_info = 8,
    k_param_sensor_mode = 10,
    k_param_frame_rate = 12,
    k_param_intg_time = 13,
    k_param_temperature = 15,
    k_param_sync_delay = 17,
};

// Longest value a parameter item carries.
constexpr size_t k_param_value_max = 18;

// Speed the camera enumerates at.
enum class Speed { full, high };

// The image stream a capture produces.
struct StreamConfig {
    uint16_t width = 320;
    uint16_t height = 240;
    uint16_t format = 0;       // frfmt of every packet header (at most 1023)
    uint32_t frame_bytes = 0;  // frlen; 0 means width * height * 2
    // Largest payload of one packet. A frame longer than this is spread
    // over several packets (frame-bound bit on the first only).
    uint32_t packet_payload = 64 * 1024;
    // Frames carried by one packet (> 1: several small frames per packet,
    // the frame-bound bit set, fridx naming the first). Needs
    // frames_per_packet * frame_bytes <= 0xFFFFF.
    uint16_t frames_per_packet = 1;
    bool payload_checksum = true;       // set chk_flags bit 0 and dsum
    std::array<uint8_t, 8> drv_info{};  // copied into every header
    // true: one frame every 1 / frame-rate seconds (parameter 12, read at
    // capture start); false: as fast as the host reads.
    bool paced = true;
    uint16_t first_fridx = 0;  // fridx of the first frame
    uint16_t first_sidx = 0;   // sidx of the first packet
    uint32_t max_frames = 0;   // stop sending after this many; 0 = no limit
};

// The EPC sensor chip (register space 1, see epc_chip.h). Unless set, the
// chip is there exactly when the product code (second field of the product
// text) names an EPC camera (E1, E2, E3); without it register space 1 is a
// plain store of 32-bit registers at any index, as the link tests use it.
struct EpcChipConfig {
    std::optional<bool> enabled;
    uint8_t r129 = 0x00;  // clock divider bits 4-5
    uint8_t r130 = 0x17;  // clock multiplier: 0x17 gives 96000 kHz
};

// What an EPC camera looks at. With the chip on, frames of format 2 (and
// of format 0 when they are long enough) carry the four DCS planes of this
// scene: for each pixel DCS_k = ambient + amplitude x cos(phi - k x pi / 2),
// phi = 2 pi d / range, range = 149896229 / (f x 1000) m with f the
// modulation frequency the chip registers select (R128, R133, R129, R130),
// rounded and kept within 1..4094; the samples of a plane in the sensor's
// read-out order (raw rows from the centre out, alternately up and down).
// Those frames also carry the temperatures (parameter 15) as the first two
// little-endian i16 of the header's drv_info.
// One object of a physical scene, in camera coordinates (metres; x to the
// right, y down, z along the optical axis).
struct SceneObject {
    enum class Kind { plane, box, sphere };
    Kind kind = Kind::plane;
    std::array<double, 3> centre{0.0, 0.0, 1.5};   // plane: a point on it; box, sphere: centre
    std::array<double, 3> normal{0.0, 0.0, -1.0};  // plane only (towards the camera)
    std::array<double, 3> half{0.1, 0.1, 0.1};     // box: half extents along x, y, z
    double radius = 0.1;                           // sphere
    double reflectivity = 0.8;                     // 0..1
};

// What the EPC sensor sees. Two models:
// - flat (physical = false, the default of in-process tests that predate
//   the physical model): each output row one distance, constant amplitude
//   and ambient, no lens, no noise, no sensor errors;
// - physical: objects seen through the default lens, amplitude from
//   reflectivity, integration time and distance, ambient light, shot noise,
//   a per-pixel fixed-pattern phase error and a temperature drift (see
//   sim/README.md).
struct SceneConfig {
    double distance_m = 1.5;   // flat: distance of output row 0; physical: the default plane
    double row_step_m = 0.0;   // flat: added per output row (a tilted wall)
    double amplitude = 900.0;  // flat: A, in ADC counts
    double ambient = 2048.0;   // flat: B, in ADC counts

    bool physical = false;
    // Physical: the objects; empty means one plane facing the camera at
    // `distance_m` along the optical axis, turned by `tilt_deg` about the
    // horizontal axis through the point where the axis meets it.
    std::vector<SceneObject> objects;
    double tilt_deg = 0.0;
    double reflectivity = 0.8;   // of the default plane
    double ambient_light = 1.0;  // relative ambient light (1: indoor)
    bool noise = true;           // shot noise
    uint64_t seed = 1;           // of the noise
    // Fixed sensor and IB temperatures in degC; unset: they rise from 30
    // degC at power-on towards 45 / 47 degC (time constant 120 s).
    std::optional<double> temperature_c;
    // A camera out of step with its clock source: the ambient level of its
    // samples is off until the host sets parameter 17 (sync delay).
    bool out_of_sync = false;
};

// The ground truth of a physical scene, per output pixel (row-major):
// the true radial distance along the pixel's ray (0 where the ray meets
// nothing) and the true point (x, y, z), metres.
struct SceneTruth {
    int width = 0;
    int height = 0;
    std::vector<float> radial_m;
    std::vector<float> xyz;  // 3 per pixel
};

// One frame of a replayed recording, sent as the camera took it.
struct ReplayFrame {
    uint16_t format = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    std::array<uint8_t, 8> drv_info{};  // the frame header's driver bytes
    std::vector<uint8_t> bytes;
};

// A hostile camera: every command or packet of the kind named breaks the
// rules of the link in one way, for as long as the mode is set
// (CameraConfig::hostile, Camera::set_hostile, tarvo-sim --hostile NAME).
enum class Hostile {
    none,
    short_replies,         // camera-to-host commands answer half the bytes asked
    long_replies,          // ... answer more than asked (the transfer overflows)
    status_unterminated,   // status records: an error whose text has no terminating zero
    status_other_command,  // status records name another command than the last
    param_255,             // parameter items claim 255 value bytes
    busy,                  // every status poll answers busy
    header_limits,         // packet headers at their limits: len 0xFFFFF, frlen
                           // 0x7FFFFFF, sidx and fridx jumping backwards
    ragged_frames,         // frames 3 bytes longer than their geometry
    calib_4gib,            // parameter 8 describes a valid 4 GiB calibration file
    flash_sizes,           // flash information: sizes and addresses of 0xFFFFFFF0
    // The stored calibration (parameter 8 describing it) of an EPC camera,
    // served in place of its own:
    calib_overlong,  // the image header claims more payload than the frame holds
    zip_bomb,        // the archive's package expands to 40 MiB (of zeros)
    zip_names,       // an entry with a hostile name, the next one at each read-out:
                     // "../", absolute, "..\", a NUL then "/../../", 300 bytes long
};

// One simulated camera.
struct CameraConfig {
    Speed speed = Speed::high;
    // Parameter 3: "name-code-version"; the middle field selects the chip
    // driver (E1/E2/E3 EPC, T0 TI).
    std::string product = "TarvoSim-E2-1.0";
    std::string id_text = "SIM-0001";                          // parameter 2
    std::vector<uint8_t> id_block = {0x54, 0x51, 0x00, 0x01};  // parameter 5
    // Parameter 6: the u16 at bytes 2..3 is the firmware version.
    std::vector<uint8_t> version = {0x01, 0x00, 0x1F, 0x01, 0x00, 0x00, 0x00, 0x00};
    uint32_t frame_rate = 30;     // parameter 12
    uint16_t intg_time_us = 500;  // parameter 13
    // Parameter 15, in 0.1 degree Celsius, as little-endian i16s.
    std::vector<int16_t> temperatures = {350, 352};
    int16_t sync_delay = 0;  // parameter 17 ...
    uint8_t sync_flag = 0;   // ... and its flag
    uint8_t mode = 0;        // parameter 0
    // Chip information (parameter 7): part version, chip id, wafer id.
    std::array<uint16_t, 3> chip_info = {0x0003, 42, 7};
    EpcChipConfig epc;  // register space 1
    SceneConfig scene;  // what the EPC sensor sees
    // The stored calibration: a capture started while parameter 0 (mode)
    // is 9 sends it as one frame of format 171, then nothing more.
    std::vector<uint8_t> calibration;
    // With a physical scene: the camera holds its factory calibration (the
    // DRNU parameters and distance images of its own sensor, zipped behind
    // the 17-byte header, with parameter 8 describing it) unless
    // `calibration` is given.
    bool factory_calibration = true;
    // Time a USB-interface reset (target 3) keeps the camera off the bus.
    uint32_t reset_delay_ms = 300;
    // Strings of the device descriptor.
    std::string manufacturer = "Tarvo";
    std::string product_string = "Tarvo ToF camera (simulated)";
    std::string serial = "SIM0001";
    StreamConfig stream;
    // Parameters set after those above, overriding them (a replay's
    // recorded values; values cut to 18 bytes).
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> extra_params;
    // Replay: every capture sends these frames, in order from the first,
    // looping after the last, in place of the scene or the test pattern
    // (a data-upload capture still sends `calibration`). Paced by
    // parameter 12 unless `stream.paced` is false. See tarvo_sim/replay.h.
    std::shared_ptr<const std::vector<ReplayFrame>> replay;
    Hostile hostile = Hostile::none;
};

// Which commands a behaviour applies to: request code and value, -1 = any.
struct CommandMatch {
    int request = -1;
    int value = -1;
};

// A command (control request other than the status request) as received.
struct Command {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    bool in = false;            // camera to host
    std::vector<uint8_t> data;  // data stage: as sent (out) or as answered (in)
};

// One register write the host made.
struct RegWrite {
    uint8_t target = 0;
    uint32_t index = 0;
    uint32_t value = 0;
};

// One stream packet the camera produced (in order, faults included).
struct SentPacket {
    uint32_t seq = 0;                  // packet count since capture start
    std::array<uint8_t, 36> header{};  // as sent (after any corruption)
    uint32_t payload_len = 0;
    std::vector<uint8_t> payload;  // only with Camera::record_payloads(true)
    bool dropped = false;          // never reached the bus
    bool corrupted = false;
};

// One frame the camera produced.
struct SentFrame {
    uint32_t seq = 0;  // frame count since capture start; selects the test pattern
    uint16_t fridx = 0;
    uint32_t bytes = 0;
    bool damaged = false;  // one of its packets was dropped or corrupted
};

// Counters of one camera.
struct CameraStats {
    uint64_t commands = 0;  // control requests except status polls
    uint64_t status_polls = 0;
    uint64_t bulk_submitted = 0;    // bulk URBs the host queued
    uint64_t bulk_completed = 0;    // completed with data or a zero length
    uint64_t bulk_cancelled = 0;    // discarded by the host (cancel or time-out)
    uint64_t bulk_failed = 0;       // completed with a stall or no-device status
    uint32_t bulk_pending = 0;      // queued now
    uint32_t bulk_pending_max = 0;  // most queued at once
    uint64_t stream_bytes = 0;      // bytes handed to the host on endpoint 0x81
    uint64_t packets_sent = 0;
    uint64_t frames_sent = 0;
    uint32_t captures_started = 0;
    uint32_t captures_stopped = 0;
    uint32_t clear_halts = 0;
    uint32_t opens = 0;  // clients that connected to the device node
};

}  // namespace tarvo::sim
