// Recordings of a camera: its identity, parameters, lens record, stored
// calibration and the raw frames it sent, in one little-endian file
// (docs/recording.md describes the layout). tarvo-cli writes them,
// tarvo-sim replays them as a camera, and any program can read them
// without the library: this unit depends on nothing but the C++ library.
//
// The reader is bounded: it takes the whole file as bytes, checks every
// length against what is left and against the limits below before it
// looks further, and keeps frames as views into those bytes, so it
// allocates nothing from a length it has not checked.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarvo::rec {

inline constexpr char k_magic[8] = {'T', 'A', 'R', 'V', 'O', 'R', 'E', 'C'};
inline constexpr uint16_t k_version = 1;
inline constexpr size_t k_file_header = 16;
inline constexpr size_t k_chunk_header = 8;
inline constexpr size_t k_frame_header = 36;

// Limits of the reader.
inline constexpr uint32_t k_max_frames = 100000;
inline constexpr uint32_t k_max_frame_bytes = 16u << 20;        // four planes of 1024 x 2048
inline constexpr uint32_t k_max_calibration_bytes = 32u << 20;  // the camera's whole image
inline constexpr uint32_t k_max_dimension = 4096;
inline constexpr uint64_t k_max_file_bytes = uint64_t{4} << 30;

// Who the camera is: the text parameters the library reads at open and
// where it sat on the bus.
struct Identity {
    std::string product;                 // parameter 3, "name-code-version"
    std::string id_text;                 // parameter 2
    std::array<uint8_t, 32> id_block{};  // parameter 5
    std::array<uint8_t, 8> version{};    // parameter 6; u16 at bytes 2..3 the firmware
    uint16_t usb_vendor = 0, usb_product = 0;
    uint8_t bus = 0, port = 0, address = 0, speed = 0;  // speed: 1 low .. 4 super
    std::string driver;                                 // name of the chip driver that served it
};

// One parameter as the camera answered it (up to 18 value bytes).
struct Param {
    uint8_t id = 0;
    std::vector<uint8_t> value;
};

// The lens parameters at the recorded frames' size.
struct Lens {
    double cx = 0, cy = 0, fx = 0, fy = 0;
    std::array<double, 5> dcoeff{};  // k1, k2, p1, p2, k3
    uint32_t width = 0, height = 0;
};

// The description of one frame as the chip driver gave it, with the
// driver bytes of its frame header (EPC cameras: sensor and IB temperature
// in 0.1 degC as i16 at bytes 0 and 2) and when it arrived.
struct FrameInfo {
    uint32_t size = 0;
    uint16_t format = 0;
    uint16_t index = 0;
    uint32_t width = 0, height = 0;
    uint8_t bpp = 0;
    std::array<uint8_t, 8> drv_info{};
    uint64_t time_us = 0;  // since the first frame
};

struct Frame {
    FrameInfo info;
    std::span<const uint8_t> raw;  // info.size bytes, inside Recording::bytes
};

struct Recording {
    uint16_t version = 0;
    Identity identity;
    std::vector<Param> params;
    std::optional<Lens> lens;
    std::span<const uint8_t> calibration;  // empty: none recorded
    std::vector<Frame> frames;
    std::vector<uint8_t> bytes;  // the file; every span above points into it

    // The value of parameter `id`, or null.
    const Param *param(uint8_t id) const;
};

// Parses a whole recording. False with `err` set when the bytes are not a
// recording of a known version or break a limit; `out` is then empty.
// `out.bytes` must hold the bytes: parse(std::move(bytes), out, err).
bool parse(std::vector<uint8_t> bytes, Recording &out, std::string &err);

// Reads and parses a file (at most k_max_file_bytes).
bool load(const std::string &path, Recording &out, std::string &err);

// True when `head` (the first bytes of a file) starts like a recording.
bool looks_like_recording(std::span<const uint8_t> head);

// Writes a recording: the header chunks at once, frames as they come.
// Every write goes through the bounds-checked little-endian writer; a
// failure is sticky and reported by ok() and close().
class Writer {
  public:
    Writer() = default;
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Creates `path` and writes the file header, identity, parameters,
    // lens (when given) and calibration (when not empty).
    bool open(const std::string &path, const Identity &id, const std::vector<Param> &params,
              const std::optional<Lens> &lens, std::span<const uint8_t> calibration);
    bool add_frame(const FrameInfo &info, std::span<const uint8_t> raw);
    // Flushes and closes; true when every write succeeded.
    bool close();
    bool ok() const { return f_ && ok_; }
    uint32_t frames() const { return frames_; }

  private:
    bool chunk(const char tag[4], std::span<const uint8_t> head,
               std::span<const uint8_t> tail = {});
    FILE *f_ = nullptr;
    bool ok_ = false;
    uint32_t frames_ = 0;
};

}  // namespace tarvo::rec
