// The image stream of the simulated camera: packets of frames with the
// deterministic test pattern (or, on an EPC camera, the scene's phase
// samples), paced or unpaced, with the stream faults a
// test asked for, handed to the host's bulk reads on endpoint 0x81.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "epc_chip.h"
#include "scene.h"
#include "state.h"
#include "wire.h"

namespace tarvo::sim {
namespace {

// Packets and frames kept for observation, so a long capture stays bounded.
constexpr size_t k_keep_packets = 1 << 16;
constexpr size_t k_keep_frames = 1 << 16;

// Starts the next frame group when one is due. False when none is due yet.
bool start_group(Camera::State &s, int64_t now) {
    StreamGen &g = s.gen;
    if (g.cfg.max_frames && g.frame_seq >= g.cfg.max_frames) return false;
    if (g.period_us && now < g.t0_us + int64_t{g.frame_seq} * g.period_us) return false;
    uint32_t k = std::max<uint32_t>(1, g.cfg.frames_per_packet);
    if (g.cfg.max_frames) k = std::min(k, g.cfg.max_frames - g.frame_seq);
    const ReplayFrame *rf = nullptr;
    if (g.replay) {
        // One recorded frame per group, with its own geometry and header bytes.
        rf = &(*s.cfg.replay)[g.frame_seq % s.cfg.replay->size()];
        k = 1;
        g.frlen = std::max<uint32_t>(1, static_cast<uint32_t>(rf->bytes.size()));
        g.cfg.format = rf->format;
        g.cfg.width = rf->width;
        g.cfg.height = rf->height;
        g.cfg.drv_info = rf->drv_info;
    }
    g.group_seq = g.frame_seq;
    g.group_n = k;
    g.group_off = 0;
    g.group_len = g.frlen * k;
    g.group.resize(g.group_len);
    if (g.uploading) {
        std::copy(g.upload.begin(), g.upload.end(), g.group.begin());
    } else if (rf) {
        std::copy(rf->bytes.begin(), rf->bytes.end(), g.group.begin());
    } else if (g.scene) {
        // The chip's frequency as the host has programmed it by now.
        const uint32_t f = epc_chip::modulation_khz(s);
        for (uint32_t i = 0; i < k; ++i) {
            const std::span<uint8_t> frame{g.group.data() + size_t{i} * g.frlen, g.frlen};
            if (s.cfg.scene.physical)
                scene::render_physical(s, now, g.group_seq + i, g.cfg.width, g.cfg.height, f, frame,
                                       g.cfg.drv_info);
            else
                scene::render(s.cfg.scene, g.cfg.width, g.cfg.height, f, frame);
        }
    } else {
        for (uint32_t i = 0; i < k; ++i)
            test_pattern(g.group_seq + i, {g.group.data() + size_t{i} * g.frlen, g.frlen});
    }
    g.group_damaged = false;
    g.frame_seq += k;
    return true;
}

const StreamFault *fault_at(StreamGen &g, uint32_t seq, StreamFault::Kind kind, bool once) {
    for (auto &[f, fired] : g.faults) {
        if (f.kind != kind) continue;
        if (once) {
            if (!fired && f.at_packet == seq) {
                fired = true;
                return &f;
            }
        } else if (seq >= f.at_packet && seq - f.at_packet < f.count) {
            return &f;
        }
    }
    return nullptr;
}

void finish_group_frames(Camera::State &s) {
    StreamGen &g = s.gen;
    for (uint32_t i = 0; i < g.group_n; ++i) {
        s.stats.frames_sent++;
        if (s.frames.size() < k_keep_frames)
            s.frames.push_back({g.group_seq + i,
                                static_cast<uint16_t>(g.cfg.first_fridx + g.group_seq + i), g.frlen,
                                g.group_damaged});
    }
}

// Produces one packet into the queue. False when the stream is paused
// (nothing due, silent, or a stall/silence/vanish fault fired).
bool next_packet(Camera::State &s, int64_t now) {
    StreamGen &g = s.gen;
    if (!g.on || s.halted) return false;
    if (g.silent_until_us < 0 || now < g.silent_until_us) return false;
    if (g.group_off >= g.group_len && !start_group(s, now)) return false;

    const uint32_t seq = g.pkt_seq;
    if (fault_at(g, seq, StreamFault::Kind::stall, true)) {
        // The reads queued now are failed by the pump, which may be walking
        // the queue at this moment.
        s.halted = true;
        return false;
    }
    if (const StreamFault *f = fault_at(g, seq, StreamFault::Kind::silence, true)) {
        g.silent_until_us = f->duration_ms ? now + int64_t{f->duration_ms} * 1000 : -1;
        if (g.period_us) g.t0_us += int64_t{f->duration_ms} * 1000;
        return false;
    }
    if (const StreamFault *f = fault_at(g, seq, StreamFault::Kind::vanish, true)) {
        cam_schedule_vanish(s, now, f->duration_ms);
        g.on = false;
        return false;
    }

    // One packet: a whole group when several frames share a packet, else
    // the next piece of at most packet_payload bytes of the frame.
    const bool multi = g.group_n > 1;
    const uint32_t chunk = multi ? g.group_len
                                 : std::min(g.group_len - g.group_off,
                                            std::max<uint32_t>(4, g.cfg.packet_payload & ~3u));
    wire::PacketHeader h;
    h.sidx = g.sidx++;
    h.len = chunk;
    h.frlen = g.frlen;
    h.fridx = static_cast<uint16_t>(g.cfg.first_fridx + g.group_seq);
    h.frfmt = g.cfg.format;
    h.width = g.cfg.width;
    h.height = g.cfg.height;
    h.drv_info = g.cfg.drv_info;
    if (s.cfg.hostile == Hostile::header_limits && !g.uploading) {
        // Every field at its limit in turn, every third frame, behind a valid
        // header checksum. Two good frames between them keep the host's
        // work (a record of 128 MiB for each frlen at its limit) moderate.
        const uint32_t k = g.group_seq % 9;
        if (k == 6 && g.group_off == 0) h.len = 0xFFFFF;
        if (k == 3) h.frlen = 0x7FFFFFF;
        if (k == 0) {
            h.sidx = static_cast<uint16_t>(h.sidx - 10);
            h.fridx = static_cast<uint16_t>(h.fridx - 5);
        }
    }
    h.frame_bound = g.group_off == 0;
    h.has_dsum = g.cfg.payload_checksum;
    const uint8_t *payload = g.group.data() + g.group_off;
    if (h.has_dsum) h.dsum = payload_checksum({payload, chunk});

    SentPacket rec;
    rec.seq = seq;
    rec.payload_len = chunk;
    wire::encode_header(h, rec.header.data());
    const bool drop = fault_at(g, seq, StreamFault::Kind::drop, false) != nullptr;
    const bool bad_hdr = fault_at(g, seq, StreamFault::Kind::corrupt_header, false) != nullptr;
    const bool bad_payload = fault_at(g, seq, StreamFault::Kind::corrupt_payload, false) != nullptr;
    if (bad_hdr) rec.header[34] ^= 0x5A;
    rec.dropped = drop;
    rec.corrupted = bad_hdr || bad_payload;
    if (drop || rec.corrupted) g.group_damaged = true;

    if (!drop) {
        const size_t at = g.q.size();
        g.q.insert(g.q.end(), rec.header.begin(), rec.header.end());
        g.q.insert(g.q.end(), payload, payload + chunk);
        if (bad_payload && chunk) g.q[at + wire::k_pkt_header + chunk / 2] ^= 0x01;
        s.stats.packets_sent++;
    }
    if (s.keep_payloads) {
        rec.payload.assign(payload, payload + chunk);
        if (bad_payload && chunk) rec.payload[chunk / 2] ^= 0x01;
    }
    if (s.packets.size() < k_keep_packets) s.packets.push_back(std::move(rec));
    g.pkt_seq++;
    g.group_off += chunk;
    if (g.group_off >= g.group_len) finish_group_frames(s);
    return true;
}

// A halted endpoint ends every queued read with a stall; new ones fail the
// same way until CLEAR_HALT.
void fail_stream_reads(Camera::State &s, Node &n) {
    for (auto it = n.pending.begin(); it != n.pending.end();) {
        if ((*it)->endpoint == wire::k_stream_ep && (*it)->due_us < 0) {
            (*it)->status = -EPIPE;
            (*it)->actual = 0;
            s.stats.bulk_failed++;
            n.done.push_back(std::move(*it));
            it = n.pending.erase(it);
        } else {
            ++it;
        }
    }
    s.stats.bulk_pending = 0;
}

}  // namespace

void cam_start_stream(Camera::State &s, int64_t now) {
    StreamGen &g = s.gen;
    g = StreamGen{};
    g.on = true;
    g.cfg = s.stream_cfg;
    auto mode = s.params.find(k_param_mode);
    const std::vector<uint8_t> *hostile_image =
        hostile_calibration(s.cfg.hostile, s.hostile_uploads);
    if (mode != s.params.end() && !mode->second.empty() && mode->second[0] == 9 &&
        (!s.cfg.calibration.empty() || hostile_image)) {
        // Data upload: the stored calibration as one frame of format 171.
        g.uploading = true;
        g.upload = hostile_image ? *hostile_image : s.cfg.calibration;
        if (hostile_image) ++s.hostile_uploads;
        g.cfg.format = 171;
        g.cfg.frame_bytes = static_cast<uint32_t>(g.upload.size());
        g.cfg.frames_per_packet = 1;
        g.cfg.max_frames = 1;
        g.cfg.paced = false;
    }
    g.frlen = std::max<uint32_t>(1, frame_length(g.cfg));
    if (!g.uploading && s.cfg.replay && !s.cfg.replay->empty()) {
        g.replay = true;
        g.cfg.frames_per_packet = 1;
    } else if (!g.uploading && scene::applies(s, g.cfg, g.frlen)) {
        g.scene = true;
        g.cfg.drv_info = scene::drv_info(s, g.cfg.drv_info);
    }
    if (s.cfg.hostile == Hostile::ragged_frames && !g.uploading) g.frlen += 3;
    if (g.cfg.frames_per_packet > 1 && uint64_t{g.frlen} * g.cfg.frames_per_packet > 0xFFFFF)
        g.cfg.frames_per_packet = static_cast<uint16_t>(std::max<uint32_t>(1, 0xFFFFF / g.frlen));
    g.cfg.packet_payload = std::min<uint32_t>(std::max<uint32_t>(4, g.cfg.packet_payload), 0xFFFFC);
    uint32_t fps = 0;
    if (auto it = s.params.find(k_param_frame_rate); it != s.params.end())
        for (size_t i = 0; i < it->second.size() && i < 4; ++i)
            fps |= uint32_t{it->second[i]} << (8 * i);
    g.period_us = g.cfg.paced && fps ? 1000000 / fps : 0;
    g.t0_us = now;
    g.sidx = g.cfg.first_sidx;
    for (const auto &f : s.faults) g.faults.emplace_back(f, false);
    s.packets.clear();
    s.frames.clear();
    s.stats.captures_started++;
    cam_pump_stream(s, now);
    if (s.bus) s.bus->kick();
}

void cam_stop_stream(Camera::State &s) {
    if (s.gen.on) s.stats.captures_stopped++;
    s.gen.on = false;
    s.gen.q.clear();
    s.gen.qhead = 0;
}

void cam_pump_stream(Camera::State &s, int64_t now) {
    Node *n = s.node;
    if (!n || n->gone) return;
    StreamGen &g = s.gen;
    for (auto it = n->pending.begin(); it != n->pending.end() && !s.halted;) {
        Urb &u = **it;
        if (u.endpoint != wire::k_stream_ep || u.due_us >= 0) {
            ++it;
            continue;
        }
        while (g.avail() < static_cast<size_t>(u.length) && next_packet(s, now)) {
        }
        if (g.avail() == 0) break;
        const size_t take = std::min(g.avail(), static_cast<size_t>(u.length));
        const auto from = g.q.begin() + static_cast<std::ptrdiff_t>(g.qhead);
        u.staged.assign(from, from + static_cast<std::ptrdiff_t>(take));
        g.qhead += take;
        u.status = 0;
        u.actual = static_cast<int32_t>(take);
        s.stats.stream_bytes += take;
        s.stats.bulk_completed++;
        n->done.push_back(std::move(*it));
        it = n->pending.erase(it);
    }
    if (s.halted) fail_stream_reads(s, *n);
    if (g.qhead == g.q.size()) {
        g.q.clear();
        g.qhead = 0;
    } else if (g.qhead > (4u << 20)) {
        g.q.erase(g.q.begin(), g.q.begin() + static_cast<std::ptrdiff_t>(g.qhead));
        g.qhead = 0;
    }
    node_update_ready(*n);
}

int64_t Camera::State::next_due_us() const {
    int64_t due = -1;
    auto earliest = [&due](int64_t t) {
        if (t >= 0 && (due < 0 || t < due)) due = t;
    };
    for (const auto &n : nodes)
        for (const auto &u : n->pending) earliest(u->due_us);
    for (const auto &e : plug_events) earliest(e.at_us);
    if (gen.on && !halted && node && !node->gone) {
        bool reader = false;
        for (const auto &u : node->pending) reader |= u->endpoint == wire::k_stream_ep;
        if (reader) {
            if (gen.silent_until_us > 0)
                earliest(gen.silent_until_us);
            else if (gen.silent_until_us == 0 && gen.period_us &&
                     !(gen.cfg.max_frames && gen.frame_seq >= gen.cfg.max_frames))
                earliest(gen.t0_us + int64_t{gen.frame_seq} * gen.period_us);
        }
    }
    return due;
}

}  // namespace tarvo::sim
