// Reader and writer of recordings (see recording.h and docs/recording.md).
#include "recording.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/byteio.h"

namespace tarvo::rec {

namespace {

constexpr size_t k_identity_bytes = 32 + 32 + 32 + 8 + 2 + 2 + 4 + 32;
constexpr size_t k_param_item = 20;
constexpr size_t k_param_value = 18;
constexpr size_t k_max_params = 256;
constexpr size_t k_lens_bytes = 9 * 8 + 2 * 4;

// Doubles travel as their IEEE 754 bits, low word first.
void put_f64(ByteWriter &w, double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    w.u32(static_cast<uint32_t>(b));
    w.u32(static_cast<uint32_t>(b >> 32));
}
double f64(ByteReader &r) {
    const uint64_t lo = r.u32(), hi = r.u32();
    const uint64_t b = lo | hi << 32;
    double d;
    std::memcpy(&d, &b, 8);
    return d;
}

std::string text_field(ByteReader &r, size_t n) {
    std::string s(n, '\0');
    r.bytes(s.data(), n);
    s.resize(std::strlen(s.c_str()));
    return s;
}
void put_text(ByteWriter &w, const std::string &s, size_t n) {
    const size_t len = std::min(s.size(), n - 1);  // always NUL-terminated
    w.bytes(s.data(), len);
    w.zeros(n - len);
}

bool parse_identity(ByteReader r, Identity &id) {
    id.product = text_field(r, 32);
    id.id_text = text_field(r, 32);
    r.bytes(id.id_block.data(), id.id_block.size());
    r.bytes(id.version.data(), id.version.size());
    id.usb_vendor = r.u16();
    id.usb_product = r.u16();
    id.bus = r.u8();
    id.port = r.u8();
    id.address = r.u8();
    id.speed = r.u8();
    id.driver = text_field(r, 32);
    return r.ok();
}

bool parse_params(ByteReader r, size_t len, std::vector<Param> &out, std::string &err) {
    const uint16_t n = r.u16();
    if (n > k_max_params || len != 2 + k_param_item * n) {
        err = "parameter chunk of " + std::to_string(len) + " bytes for " + std::to_string(n) +
              " parameters";
        return false;
    }
    out.reserve(n);
    for (uint16_t i = 0; i < n; ++i) {
        Param p;
        p.id = r.u8();
        const uint8_t vlen = r.u8();
        uint8_t v[k_param_value];
        r.bytes(v, sizeof v);
        if (vlen > k_param_value) {
            err =
                "parameter " + std::to_string(p.id) + " claims " + std::to_string(vlen) + " bytes";
            return false;
        }
        p.value.assign(v, v + vlen);
        out.push_back(std::move(p));
    }
    return r.ok();
}

Lens parse_lens(ByteReader r) {
    Lens l;
    for (double *f : {&l.cx, &l.cy, &l.fx, &l.fy}) *f = f64(r);
    for (double &d : l.dcoeff) d = f64(r);
    l.width = r.u32();
    l.height = r.u32();
    return l;
}

bool parse_frame(ByteReader r, size_t len, std::span<const uint8_t> body, Frame &f,
                 std::string &err) {
    FrameInfo &i = f.info;
    i.size = r.u32();
    i.format = r.u16();
    i.index = r.u16();
    i.width = r.u32();
    i.height = r.u32();
    i.bpp = r.u8();
    r.skip(3);
    r.bytes(i.drv_info.data(), i.drv_info.size());
    const uint32_t lo = r.u32(), hi = r.u32();
    i.time_us = lo | uint64_t{hi} << 32;
    if (!r.ok()) {
        err = "frame chunk shorter than its header";
        return false;
    }
    if (i.size > k_max_frame_bytes || i.width > k_max_dimension || i.height > k_max_dimension) {
        err = "frame of " + std::to_string(i.size) + " bytes, " + std::to_string(i.width) + " x " +
              std::to_string(i.height) + " is past the limits";
        return false;
    }
    if (len != k_frame_header + size_t{i.size}) {
        err = "frame chunk of " + std::to_string(len) + " bytes for a frame of " +
              std::to_string(i.size);
        return false;
    }
    f.raw = body.subspan(k_frame_header, i.size);
    return true;
}

bool parse_chunks(Recording &out, std::string &err) {
    const std::span<const uint8_t> all(out.bytes);
    ByteReader r(all.data(), all.size());
    r.skip(sizeof k_magic);
    out.version = r.u16();
    const uint16_t header_len = r.u16();
    if (!r.ok() || std::memcmp(all.data(), k_magic, sizeof k_magic) != 0) {
        err = "not a tarvo recording";
        return false;
    }
    if (out.version != k_version) {
        err = "recording version " + std::to_string(out.version) + " (this program reads " +
              std::to_string(k_version) + ")";
        return false;
    }
    if (header_len < k_file_header || header_len > all.size()) {
        err = "file header of " + std::to_string(header_len) + " bytes";
        return false;
    }
    r.seek(header_len);
    bool have_id = false, have_params = false, have_calib = false;
    while (r.remaining() > 0) {
        char tag[4];
        r.bytes(tag, 4);
        const uint32_t len = r.u32();
        if (!r.ok() || len > r.remaining()) {
            err = "chunk at byte " + std::to_string(r.pos()) + " runs past the end of the file";
            return false;
        }
        const std::span<const uint8_t> body = all.subspan(r.pos(), len);
        const ByteReader br(body.data(), body.size());
        r.skip(len);
        const std::string t(tag, 4);
        if (!have_id && t != "IDNT") {
            err = "the identity chunk must come first";
            return false;
        }
        if (t == "IDNT") {
            if (have_id || len < k_identity_bytes || !parse_identity(br, out.identity)) {
                err = "bad or repeated identity chunk";
                return false;
            }
            have_id = true;
        } else if (t == "PARM") {
            if (have_params) {
                err = "repeated parameter chunk";
                return false;
            }
            if (!parse_params(br, len, out.params, err)) return false;
            have_params = true;
        } else if (t == "LENS") {
            if (out.lens || len < k_lens_bytes) {
                err = "bad or repeated lens chunk";
                return false;
            }
            out.lens = parse_lens(br);
        } else if (t == "CALB") {
            if (have_calib || len > k_max_calibration_bytes) {
                err = "calibration chunk of " + std::to_string(len) + " bytes, or repeated";
                return false;
            }
            out.calibration = body;
            have_calib = true;
        } else if (t == "FRAM") {
            if (out.frames.size() >= k_max_frames) {
                err = "more than " + std::to_string(k_max_frames) + " frames";
                return false;
            }
            Frame f;
            if (!parse_frame(br, len, body, f, err)) return false;
            out.frames.push_back(f);
        }
        // Chunks of other tags belong to later versions of the writer: skipped.
    }
    if (!have_id) {
        err = "no identity chunk";
        return false;
    }
    return true;
}

}  // namespace

const Param *Recording::param(uint8_t id) const {
    for (const Param &p : params)
        if (p.id == id) return &p;
    return nullptr;
}

bool parse(std::vector<uint8_t> bytes, Recording &out, std::string &err) {
    out = Recording{};
    out.bytes = std::move(bytes);
    if (parse_chunks(out, err)) return true;
    out = Recording{};
    return false;
}

bool load(const std::string &path, Recording &out, std::string &err) {
    out = Recording{};
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        err = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> bytes;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(f) : -1;
    ok = ok && size >= 0 && static_cast<uint64_t>(size) <= k_max_file_bytes &&
         std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        bytes.resize(static_cast<size_t>(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    }
    std::fclose(f);
    if (!ok) {
        err = "cannot read " + path + (size > 0 ? " (too large?)" : "");
        return false;
    }
    if (parse(std::move(bytes), out, err)) return true;
    err = path + ": " + err;
    return false;
}

bool looks_like_recording(std::span<const uint8_t> head) {
    return head.size() >= sizeof k_magic && std::memcmp(head.data(), k_magic, sizeof k_magic) == 0;
}

Writer::~Writer() {
    if (f_) std::fclose(f_);
}

bool Writer::chunk(const char tag[4], std::span<const uint8_t> head,
                   std::span<const uint8_t> tail) {
    uint8_t h[k_chunk_header];
    ByteWriter w(h, sizeof h);
    w.bytes(tag, 4);
    w.u32(static_cast<uint32_t>(head.size() + tail.size()));
    ok_ = ok_ && w.ok() && std::fwrite(h, 1, sizeof h, f_) == sizeof h &&
          std::fwrite(head.data(), 1, head.size(), f_) == head.size() &&
          std::fwrite(tail.data(), 1, tail.size(), f_) == tail.size();
    return ok_;
}

bool Writer::open(const std::string &path, const Identity &id, const std::vector<Param> &params,
                  const std::optional<Lens> &lens, std::span<const uint8_t> calibration) {
    if (f_) std::fclose(f_);
    frames_ = 0;
    f_ = std::fopen(path.c_str(), "wb");
    ok_ = f_ != nullptr && params.size() <= k_max_params &&
          calibration.size() <= k_max_calibration_bytes;
    if (!ok_) return false;

    uint8_t head[k_file_header];
    ByteWriter hw(head, sizeof head);
    hw.bytes(k_magic, sizeof k_magic);
    hw.u16(k_version);
    hw.u16(k_file_header);
    hw.u32(0);
    ok_ = hw.ok() && std::fwrite(head, 1, sizeof head, f_) == sizeof head;

    std::vector<uint8_t> b(k_identity_bytes);
    ByteWriter iw(b.data(), b.size());
    put_text(iw, id.product, 32);
    put_text(iw, id.id_text, 32);
    iw.bytes(id.id_block.data(), id.id_block.size());
    iw.bytes(id.version.data(), id.version.size());
    iw.u16(id.usb_vendor);
    iw.u16(id.usb_product);
    for (uint8_t v : {id.bus, id.port, id.address, id.speed}) iw.u8(v);
    put_text(iw, id.driver, 32);
    ok_ = ok_ && iw.ok() && chunk("IDNT", b);

    b.assign(2 + k_param_item * params.size(), 0);
    ByteWriter pw(b.data(), b.size());
    pw.u16(static_cast<uint16_t>(params.size()));
    for (const Param &p : params) {
        const size_t n = std::min(p.value.size(), k_param_value);
        pw.u8(p.id);
        pw.u8(static_cast<uint8_t>(n));
        pw.bytes(p.value.data(), n);
        pw.zeros(k_param_value - n);
    }
    ok_ = ok_ && pw.ok() && chunk("PARM", b);

    if (lens) {
        b.assign(k_lens_bytes, 0);
        ByteWriter lw(b.data(), b.size());
        for (double f : {lens->cx, lens->cy, lens->fx, lens->fy}) put_f64(lw, f);
        for (double d : lens->dcoeff) put_f64(lw, d);
        lw.u32(lens->width);
        lw.u32(lens->height);
        ok_ = ok_ && lw.ok() && chunk("LENS", b);
    }
    if (!calibration.empty()) ok_ = ok_ && chunk("CALB", calibration);
    return ok_;
}

bool Writer::add_frame(const FrameInfo &info, std::span<const uint8_t> raw) {
    if (!ok() || raw.size() != info.size || info.size > k_max_frame_bytes ||
        frames_ >= k_max_frames)
        return ok_ = false;
    uint8_t h[k_frame_header];
    ByteWriter w(h, sizeof h);
    w.u32(info.size);
    w.u16(info.format);
    w.u16(info.index);
    w.u32(info.width);
    w.u32(info.height);
    w.u8(info.bpp);
    w.zeros(3);
    w.bytes(info.drv_info.data(), info.drv_info.size());
    w.u32(static_cast<uint32_t>(info.time_us));
    w.u32(static_cast<uint32_t>(info.time_us >> 32));
    if (!w.ok() || !chunk("FRAM", h, raw)) return false;
    ++frames_;
    return true;
}

bool Writer::close() {
    if (!f_) return false;
    const bool ok = ok_ && std::fflush(f_) == 0;
    const bool closed = std::fclose(f_) == 0;
    f_ = nullptr;
    return ok && closed;
}

}  // namespace tarvo::rec
