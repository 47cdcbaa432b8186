// The viewer's frame encoding: every byte goes through the bounds-checked
// little-endian writer, so the layout is the same on any host.
#include "frame_codec.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "common/byteio.h"

namespace tarvo::viewer {

uint16_t distance_mm(float metres) {
    if (!(metres > 0)) return 0;  // NaN too
    if (metres >= 60) {
        const double mm = std::round(static_cast<double>(metres) * 1000);
        return mm >= 65535 ? 65535 : static_cast<uint16_t>(mm);
    }
    const auto mm = static_cast<uint16_t>(static_cast<double>(metres) * 1000);
    return mm == 0 ? 1 : mm;
}

std::vector<uint8_t> encode(const Figures &fig, int width, int height, std::span<const float> dist,
                            std::span<const float> gray) {
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535) return {};
    const size_t px = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (dist.size() != px || (!gray.empty() && gray.size() != px)) return {};
    const size_t size = k_header_bytes + 2 * px + (gray.empty() ? 0 : 2 * px);
    std::vector<uint8_t> out(size);
    ByteWriter w(out.data(), out.size());
    w.bytes(k_magic, sizeof k_magic);
    w.u16(k_version);
    w.u16(static_cast<uint16_t>(k_header_bytes));
    w.u16(static_cast<uint16_t>(width));
    w.u16(static_cast<uint16_t>(height));
    w.u32(fig.counter);
    w.u16(fig.camera_index);
    w.u16(gray.empty() ? 0 : k_flag_gray);
    w.u32(0);
    w.u32(std::bit_cast<uint32_t>(fig.fps));
    w.u32(fig.stream_drops);
    w.u32(fig.lost_drops);
    w.i16(fig.sensor_temp);
    w.i16(fig.ib_temp);
    w.u16(fig.integration_us);
    w.u16(fig.rays_version);
    w.u32(std::bit_cast<uint32_t>(fig.decode_ms));
    w.u32(fig.time_ms);
    w.zeros(k_header_bytes - w.pos());
    for (float d : dist) w.u16(distance_mm(d));
    for (float g : gray) {
        const float level = std::round(g);
        w.u16(!(level > 0) ? 0 : level >= 65535 ? 65535 : static_cast<uint16_t>(level));
    }
    if (!w.ok() || w.pos() != size) return {};
    return out;
}

std::vector<uint8_t> encode_rays(int width, int height, uint16_t version,
                                 std::span<const float> xyz, bool valid) {
    const size_t px =
        static_cast<size_t>(std::max(width, 0)) * static_cast<size_t>(std::max(height, 0));
    if (px == 0 || width > 65535 || height > 65535 || xyz.size() != 3 * px) return {};
    std::vector<uint8_t> out(8 + 12 * px);
    ByteWriter w(out.data(), out.size());
    w.u16(static_cast<uint16_t>(width));
    w.u16(static_cast<uint16_t>(height));
    w.u16(version);
    w.u16(valid ? 1 : 0);
    for (float v : xyz) w.u32(std::bit_cast<uint32_t>(valid ? v : NAN));
    return w.ok() ? out : std::vector<uint8_t>{};
}

bool decode_header(std::span<const uint8_t> bytes, Header &out) {
    ByteReader r(bytes.data(), bytes.size());
    char magic[4];
    r.bytes(magic, sizeof magic);
    Header h;
    h.version = r.u16();
    const uint16_t header_bytes = r.u16();
    h.width = r.u16();
    h.height = r.u16();
    h.fig.counter = r.u32();
    h.fig.camera_index = r.u16();
    h.flags = r.u16();
    r.skip(4);
    h.fig.fps = std::bit_cast<float>(r.u32());
    h.fig.stream_drops = r.u32();
    h.fig.lost_drops = r.u32();
    h.fig.sensor_temp = r.i16();
    h.fig.ib_temp = r.i16();
    h.fig.integration_us = r.u16();
    h.fig.rays_version = r.u16();
    h.fig.decode_ms = std::bit_cast<float>(r.u32());
    h.fig.time_ms = r.u32();
    if (!r.ok() || std::memcmp(magic, k_magic, sizeof magic) != 0 || h.version != k_version ||
        header_bytes != k_header_bytes)
        return false;
    const uint64_t px = uint64_t{h.width} * h.height;
    const uint64_t want = k_header_bytes + 2 * px + ((h.flags & k_flag_gray) ? 2 * px : 0);
    if (want != bytes.size()) return false;
    out = h;
    return true;
}

}  // namespace tarvo::viewer
