// The binary form in which tarvo-cli view sends a frame to its page over
// the WebSocket (docs/viewer.md describes the layout): one 64-byte
// little-endian header, then the distance image as 16-bit millimetres,
// and the gray image as 16-bit levels. The point cloud travels once as a
// table of rays, the library's point of each pixel at 1 m, that the page
// scales by each pixel's distance: the same cloud as the library's, in
// less than half the bytes of 16-bit coordinates with every frame.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarvo::viewer {

inline constexpr char k_magic[4] = {'T', 'V', 'F', 'R'};
inline constexpr uint16_t k_version = 1;
inline constexpr size_t k_header_bytes = 64;
inline constexpr uint16_t k_flag_gray = 1;
// A temperature that is not known (a camera without an EPC chip).
inline constexpr int16_t k_no_temperature = INT16_MIN;

// The figures that travel with every frame.
struct Figures {
    uint32_t counter = 0;                    // frames the tool has published, from 1
    uint16_t camera_index = 0;               // the camera's frame index
    float fps = 0;                           // frames per second arriving from the camera
    uint32_t stream_drops = 0;               // frames the reassembler discarded (stream errors)
    uint32_t lost_drops = 0;                 // other frames missing between camera indices
    int16_t sensor_temp = k_no_temperature;  // 0.1 degC
    int16_t ib_temp = k_no_temperature;      // 0.1 degC
    uint16_t integration_us = 0;
    uint16_t rays_version = 0;  // the ray table (GET /api/rays) the pixels go with
    float decode_ms = 0;        // distance and gray decode of this frame
    uint32_t time_ms = 0;       // since the viewer started
};

struct Header {
    uint16_t version = 0, flags = 0;
    uint16_t width = 0, height = 0;
    Figures fig;
};

// Distance in metres to the millimetres of the frame: the invalid codes
// (values of 60 m and more) keep their millimetre code (65300 low
// amplitude, 65400 saturated, 65500 ADC limit; anything larger 65535); a
// valid distance is truncated to whole millimetres and kept at least 1, so
// that 0 < mm < 60000 holds exactly for the pixels that have a point; 0,
// negative values and NaN give 0.
uint16_t distance_mm(float metres);

// Encodes one frame. `gray` may be empty. Empty on a size mismatch.
std::vector<uint8_t> encode(const Figures &fig, int width, int height, std::span<const float> dist,
                            std::span<const float> gray);

// The ray table of the page's point cloud: u16 width, u16 height, u16
// version, u16 1 (0: no lens, no cloud), then x, y, z (f32) of each
// pixel's point at a distance of 1 m, row by row; NaN where the ray
// leaves the lens. `xyz` holds 3 x width x height floats.
std::vector<uint8_t> encode_rays(int width, int height, uint16_t version,
                                 std::span<const float> xyz, bool valid);

// Reads the header of an encoded frame and checks that the planes it
// announces are all there. False for anything else.
bool decode_header(std::span<const uint8_t> bytes, Header &out);

}  // namespace tarvo::viewer
