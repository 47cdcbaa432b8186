// The command channel of the simulated camera: standard requests, the
// status record, parameters, registers, resets, capture start and stop,
// and the command faults a test asked for.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "epc_chip.h"
#include "state.h"
#include "tarvo_sim/scene.h"
#include "wire.h"

namespace tarvo::sim {
namespace {

bool matches(const CommandMatch &m, uint8_t request, uint16_t value) {
    return (m.request < 0 || m.request == request) && (m.value < 0 || m.value == (value & 0xFF));
}

// Takes the first behaviour of `kind` matching the command, counting one use.
bool take_behaviour(Camera::State &s, Behaviour::Kind kind, uint8_t request, uint16_t value,
                    Behaviour *out) {
    for (auto it = s.behaviours.begin(); it != s.behaviours.end(); ++it) {
        if (it->kind != kind || !matches(it->match, request, value)) continue;
        *out = *it;
        if (it->times <= 1)
            s.behaviours.erase(it);
        else
            --it->times;
        return true;
    }
    return false;
}

void set_outcome(Camera::State &s, uint8_t status, std::string text = {}) {
    s.last_status = status;
    s.last_text = std::move(text);
}

void apply_param_set(Camera::State &s, const uint8_t *d, size_t len) {
    if (len % wire::k_param_item != 0 || len == 0) {
        set_outcome(s, wire::k_status_error, "bad parameter item length");
        return;
    }
    for (size_t off = 0; off < len; off += wire::k_param_item) {
        const uint8_t id = d[off];
        const size_t n = std::min<size_t>(d[off + 1], k_param_value_max);
        s.params[id].assign(d + off + 2, d + off + 2 + n);
        // The sync delay (i16 delay, u8 flag) re-aligns the sensor with its clock.
        if (id == k_param_sync_delay) s.sync_set = true;
    }
}

void answer_param_get(Camera::State &s, std::vector<uint8_t> &reply) {
    if (s.param_query.empty()) {
        set_outcome(s, wire::k_status_error, "no parameter query");
        return;
    }
    const size_t items = reply.size() / wire::k_param_item;
    for (size_t i = 0; i < items && i < s.param_query.size(); ++i) {
        uint8_t *item = reply.data() + i * wire::k_param_item;
        const uint8_t id = s.param_query[i];
        item[0] = id;
        auto it = s.params.find(id);
        if (it == s.params.end()) continue;  // unknown: length 0
        const size_t n = std::min(it->second.size(), k_param_value_max);
        item[1] = static_cast<uint8_t>(n);
        std::memcpy(item + 2, it->second.data(), n);
    }
    for (size_t i = 0; i < items && i < s.param_query.size(); ++i) {
        uint8_t *item = reply.data() + i * wire::k_param_item;
        if (s.cfg.hostile == Hostile::param_255) {
            item[1] = 255;
            std::memset(item + 2, 0xA5, k_param_value_max);
        } else if (s.cfg.hostile == Hostile::calib_4gib && item[0] == k_param_calib_info) {
            // Valid, version 1, a file and valid size of 4 GiB - 1.
            std::memset(item + 2, 0, k_param_value_max);
            item[1] = 17;
            item[2] = 1;
            wire::put32(item + 5, 1);
            wire::put32(item + 9, 0xFFFFFFFFu);
            wire::put32(item + 13, 0xFFFFFFFFu);
        } else if (const auto *img = hostile_calibration(s.cfg.hostile, s.hostile_uploads);
                   img && item[0] == k_param_calib_info) {
            const std::vector<uint8_t> v = calib_info_of(*img);
            std::memset(item + 2, 0, k_param_value_max);
            item[1] = static_cast<uint8_t>(std::min(v.size(), k_param_value_max));
            std::memcpy(item + 2, v.data(), item[1]);
        }
    }
}

void apply_reg_write(Camera::State &s, const uint8_t *d, size_t len) {
    if (len < wire::k_reg_header) {
        set_outcome(s, wire::k_status_error, "short register header");
        return;
    }
    const uint8_t target = d[0];
    const uint32_t addr = wire::get32(d + 1);
    const uint16_t bytes = wire::get16(d + 5);
    if (bytes % 4 != 0 || len != wire::k_reg_header + bytes) {
        set_outcome(s, wire::k_status_error, "register byte count does not match");
        return;
    }
    const bool chip = epc_chip::owns(s, target);
    if (chip && !epc_chip::in_range(addr, bytes / 4u)) {
        set_outcome(s, wire::k_status_error, "chip register out of range");
        return;
    }
    for (uint32_t i = 0; i < bytes / 4u; ++i) {
        const uint32_t v = wire::get32(d + wire::k_reg_header + 4 * i);
        s.regs[{target, addr + i}] = chip ? epc_chip::stored(v) : v;
        s.reg_log.push_back({target, addr + i, v});
    }
}

void apply_reg_query(Camera::State &s, const uint8_t *d, size_t len) {
    if (len != wire::k_reg_header || wire::get16(d + 5) % 4 != 0) {
        s.reg_query_valid = false;
        set_outcome(s, wire::k_status_error, "bad register read header");
        return;
    }
    s.reg_query_valid = true;
    s.reg_query_target = d[0];
    s.reg_query_addr = wire::get32(d + 1);
    s.reg_query_count = static_cast<uint16_t>(wire::get16(d + 5) / 4);
}

void answer_reg_read(Camera::State &s, std::vector<uint8_t> &reply) {
    if (!s.reg_query_valid) {
        set_outcome(s, wire::k_status_error, "no register query");
        return;
    }
    if (epc_chip::owns(s, s.reg_query_target) &&
        !epc_chip::in_range(s.reg_query_addr, s.reg_query_count)) {
        set_outcome(s, wire::k_status_error, "chip register out of range");
        return;
    }
    const size_t n = std::min<size_t>(reply.size() / 4, s.reg_query_count);
    for (size_t i = 0; i < n; ++i) {
        auto it = s.regs.find({s.reg_query_target, s.reg_query_addr + static_cast<uint32_t>(i)});
        wire::put32(reply.data() + 4 * i, it == s.regs.end() ? 0 : it->second);
    }
}

// Runs a class/vendor command (not the status request). `reply` is sized to
// the data stage of a camera-to-host command.
void execute(Camera::State &s, const wire::Setup &st, const uint8_t *d, std::vector<uint8_t> &reply,
             int64_t now) {
    const uint8_t v = static_cast<uint8_t>(st.value);
    if (st.request == wire::k_req_dev) {
        if (v == 0 && !st.in()) {
            if (st.length != 4) return set_outcome(s, wire::k_status_error, "bad reset length");
            const uint32_t target = wire::get32(d);
            s.reset_log.push_back(static_cast<uint8_t>(target));
            if (target > 8) return set_outcome(s, wire::k_status_error, "bad reset target");
            if (target == 3) cam_schedule_vanish(s, now + 20000, s.cfg.reset_delay_ms + 1);
            return;
        }
        if (v == 3 && !st.in()) return apply_param_set(s, d, st.length);
        if (v == 4 && !st.in()) {
            if (st.length % wire::k_param_item != 0 || st.length == 0)
                return set_outcome(s, wire::k_status_error, "bad parameter item length");
            s.param_query.clear();
            for (size_t off = 0; off < st.length; off += wire::k_param_item)
                s.param_query.push_back(d[off]);
            return;
        }
        if (v == 4 && st.in()) return answer_param_get(s, reply);
    } else if (st.request == wire::k_req_sensor) {
        if (v == 0 && !st.in()) return apply_reg_write(s, d, st.length);
        if (v == 1 && !st.in()) return apply_reg_query(s, d, st.length);
        if (v == 1 && st.in()) return answer_reg_read(s, reply);
        if (v == 4 && !st.in()) {
            if (st.length != 4) return set_outcome(s, wire::k_status_error, "bad start length");
            s.cap_arg = wire::get32(d);
            cam_start_stream(s, now);
            return;
        }
        if (v == 5 && !st.in()) {
            cam_stop_stream(s);
            return;
        }
    } else if (st.request == wire::k_req_data) {
        return cam_data_action(s, st.in(), st.value, d, st.length, reply, now);
    }
    set_outcome(s, wire::k_status_error, "unknown command");
}

// Standard requests on endpoint 0. Returns the errno-style status.
int32_t standard_request(Camera::State &s, const wire::Setup &st, std::vector<uint8_t> &reply) {
    if (st.request == 0x06 && st.in()) {  // GET_DESCRIPTOR
        std::vector<uint8_t> d;
        const uint8_t kind = static_cast<uint8_t>(st.value >> 8),
                      idx = static_cast<uint8_t>(st.value);
        if (kind == 1)
            d = wire::device_descriptor();
        else if (kind == 2)
            d = wire::config_descriptor(s.cfg.speed);
        else if (kind == 3 && idx == 0)
            d = wire::string_descriptor({}, true);
        else if (kind == 3 && idx == 1)
            d = wire::string_descriptor(s.cfg.manufacturer, false);
        else if (kind == 3 && idx == 2)
            d = wire::string_descriptor(s.cfg.product_string, false);
        else if (kind == 3 && idx == 3)
            d = wire::string_descriptor(s.cfg.serial, false);
        else
            return -EPIPE;
        reply.resize(std::min(reply.size(), d.size()));
        std::memcpy(reply.data(), d.data(), reply.size());
        return 0;
    }
    if (st.request == 0x00 && st.in()) {  // GET_STATUS
        std::fill(reply.begin(), reply.end(), 0);
        return 0;
    }
    if (st.request == 0x08 && st.in()) {  // GET_CONFIGURATION
        if (!reply.empty()) reply[0] = 1;
        return 0;
    }
    if (!st.in()) return 0;  // SET_* and CLEAR_FEATURE: acknowledged
    return -EPIPE;
}

}  // namespace

void cam_control(Camera::State &s, Node &n, UrbPtr u, int64_t now) {
    if (!u->buf || u->length < 8) {
        u->status = -EINVAL;
        n.done.push_back(std::move(u));
        return;
    }
    uint8_t *b = u->buf->data;
    const wire::Setup st = wire::parse_setup(b);
    const size_t data_len = std::min<size_t>(st.length, static_cast<size_t>(u->length - 8));
    std::vector<uint8_t> reply(st.in() ? data_len : 0, 0);
    int32_t status = 0;

    if (s.bus && s.bus->verbose())
        std::fprintf(stderr, "tarvo-sim: port %u: request %02x/%02x value %u length %u\n", s.port,
                     st.type, st.request, st.value, st.length);

    Behaviour bh;
    if ((st.type & 0x60) == 0) {
        status = standard_request(s, st, reply);
    } else if (take_behaviour(s, Behaviour::Kind::vanish, st.request, st.value, &bh)) {
        // Leaves without answering: the unplug completes the URB as no-device.
        cam_schedule_vanish(s, now, bh.ms);
        n.pending.push_back(std::move(u));
        return;
    } else if (take_behaviour(s, Behaviour::Kind::refuse, st.request, st.value, &bh)) {
        status = -EPIPE;
    } else if (st.request == wire::k_req_status) {
        ++s.stats.status_polls;
        uint8_t code = s.last_status, req = s.last_req, val = s.last_val;
        if (!s.status_overrides.empty()) {
            std::tie(req, val) = s.status_overrides.front();
            s.status_overrides.pop_front();
            code = wire::k_status_ok;
        } else if (s.busy_left > 0) {
            --s.busy_left;
            code = wire::k_status_busy;
        }
        const Hostile hm = s.cfg.hostile;
        if (hm == Hostile::busy) code = wire::k_status_busy;
        if (hm == Hostile::status_unterminated) code = wire::k_status_error;
        if (hm == Hostile::status_other_command) {
            req = static_cast<uint8_t>(req ^ 0x0F);
            val = static_cast<uint8_t>(val + 7);
        }
        auto rec =
            wire::status_record(code, req, val, code == wire::k_status_error ? s.last_text : "");
        if (hm == Hostile::status_unterminated) std::fill(rec.begin() + 3, rec.end(), 'X');
        std::memcpy(reply.data(), rec.data(), std::min(reply.size(), rec.size()));
    } else {
        ++s.stats.commands;
        s.last_req = st.request;
        s.last_val = static_cast<uint8_t>(st.value);
        set_outcome(s, wire::k_status_ok);
        s.busy_left = 0;
        execute(s, st, b + 8, reply, now);
        if (take_behaviour(s, Behaviour::Kind::fail, st.request, st.value, &bh))
            set_outcome(s, wire::k_status_error, bh.text);
        if (take_behaviour(s, Behaviour::Kind::busy, st.request, st.value, &bh))
            s.busy_left = bh.polls;
        Command c;
        c.request_type = st.type;
        c.request = st.request;
        c.value = st.value;
        c.index = st.index;
        c.length = st.length;
        c.in = st.in();
        if (st.in())
            c.data = reply;
        else
            c.data.assign(b + 8, b + 8 + data_len);
        s.cmd_log.push_back(std::move(c));
    }

    if (status == 0 && st.in() &&
        take_behaviour(s, Behaviour::Kind::short_reply, st.request, st.value, &bh))
        reply.resize(std::min<size_t>(reply.size(), bh.bytes));
    const bool class_in = status == 0 && st.in() && (st.type & 0x60) != 0;
    if (class_in && s.cfg.hostile == Hostile::short_replies) reply.resize(reply.size() / 2);
    if (st.in()) std::memcpy(b + 8, reply.data(), reply.size());
    u->status = status;
    u->actual = status == 0 ? static_cast<int32_t>(st.in() ? reply.size() : data_len) : 0;
    // More than asked: the buffer fills and the transfer ends in an overflow.
    if (class_in && s.cfg.hostile == Hostile::long_replies) u->status = -EOVERFLOW;

    if ((st.type & 0x60) != 0 &&
        take_behaviour(s, Behaviour::Kind::delay, st.request, st.value, &bh)) {
        u->due_us = now + int64_t{bh.ms} * 1000;
        u->ignore_cancel = bh.ignore_cancel;
        n.pending.push_back(std::move(u));
        if (s.bus) s.bus->kick();
        return;
    }
    n.done.push_back(std::move(u));
}

void cam_tick(Camera::State &s, int64_t now) {
    for (auto &np : s.nodes) {
        Node &n = *np;
        for (auto it = n.pending.begin(); it != n.pending.end();) {
            Urb &u = **it;
            if (u.due_us >= 0 && u.due_us <= now) {
                if (u.discarded) {
                    // The host gave up on it; the answer still lands now.
                    u.status = u.ignore_cancel ? u.status : -ENOENT;
                }
                n.done.push_back(std::move(*it));
                it = n.pending.erase(it);
            } else {
                ++it;
            }
        }
        node_update_ready(n);
    }
    cam_pump_stream(s, now);
}

}  // namespace tarvo::sim
