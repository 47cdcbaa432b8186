// The test-facing methods of Camera: configuration, faults, observation and
// plugging. Each takes the camera's lock briefly.
#include <algorithm>
#include <cerrno>
#include <thread>

#include "bus_impl.h"
#include "epc_chip.h"
#include "scene.h"
#include "tarvo_sim/scene.h"
#include "wire.h"

namespace tarvo::sim {

namespace detail {
void sleep_ms(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
}  // namespace detail

void cam_schedule_vanish(Camera::State &s, int64_t at, uint32_t back_ms) {
    s.plug_events.push_back({at, true, 0});
    if (back_ms) s.plug_events.push_back({at + int64_t{back_ms} * 1000, false, 0});
    if (s.bus) s.bus->kick();
}

namespace {
Bus::Impl *impl_of(Camera::State &s) {
    return static_cast<Bus::Impl *>(s.bus);
}
}  // namespace

uint8_t Camera::bus_number() const {
    return 1;
}
uint8_t Camera::port() const {
    std::lock_guard l(s_->mu);
    return s_->port;
}
uint8_t Camera::address() const {
    std::lock_guard l(s_->mu);
    return s_->node ? s_->node->devnum : 0;
}
bool Camera::present() const {
    std::lock_guard l(s_->mu);
    return s_->present;
}
std::string Camera::devnode() const {
    std::lock_guard l(s_->mu);
    return s_->node ? s_->node->devnode : std::string();
}

void Camera::set_param(uint8_t id, std::span<const uint8_t> value) {
    std::lock_guard l(s_->mu);
    s_->params[id].assign(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                             value.size(), k_param_value_max)));
}
void Camera::set_param_u32(uint8_t id, uint32_t value, uint8_t len) {
    uint8_t b[4];
    wire::put32(b, value);
    set_param(id, {b, std::min<size_t>(len, 4)});
}
void Camera::set_param_text(uint8_t id, const std::string &text) {
    set_param(id, {reinterpret_cast<const uint8_t *>(text.data()), text.size()});
}
std::vector<uint8_t> Camera::param(uint8_t id) const {
    std::lock_guard l(s_->mu);
    auto it = s_->params.find(id);
    return it == s_->params.end() ? std::vector<uint8_t>{} : it->second;
}
uint32_t Camera::param_u32(uint8_t id) const {
    const auto v = param(id);
    uint32_t r = 0;
    for (size_t i = 0; i < v.size() && i < 4; ++i) r |= uint32_t{v[i]} << (8 * i);
    return r;
}

void Camera::set_calibration(std::vector<uint8_t> bytes) {
    std::lock_guard l(s_->mu);
    s_->cfg.calibration = std::move(bytes);  // a running upload keeps its own copy
}

void Camera::set_scene(const SceneConfig &sc) {
    CameraConfig cfg;
    phys::Exposure e;
    {
        std::lock_guard l(s_->mu);
        s_->cfg.scene = sc;
        s_->phys_model.reset();  // rebuilt by the next frame unless made here
        if (!sc.physical || !epc_chip::present(s_->cfg)) return;
        cfg = s_->cfg;
        cfg.stream = s_->stream_cfg;
        e = scene::exposure_of(*s_, mono_us(), epc_chip::modulation_khz(*s_));
    }
    // The scene's model and first frame are made here, outside the lock,
    // so that the camera keeps answering the host meanwhile.
    auto m = scene::prepare_physical(cfg, e);
    std::lock_guard l(s_->mu);
    if (!s_->phys_model) s_->phys_model = std::move(m);
}

SceneTruth Camera::scene_truth() const {
    CameraConfig c;
    StreamConfig st;
    {
        std::lock_guard l(s_->mu);
        c = s_->cfg;
        st = s_->stream_cfg;
    }
    return tarvo::sim::scene_truth(c, st.width, st.height);
}

void Camera::set_reg(uint8_t target, uint32_t index, uint32_t value) {
    std::lock_guard l(s_->mu);
    s_->regs[{target, index}] = value;
}
uint32_t Camera::reg(uint8_t target, uint32_t index) const {
    std::lock_guard l(s_->mu);
    auto it = s_->regs.find({target, index});
    return it == s_->regs.end() ? 0 : it->second;
}
std::vector<RegWrite> Camera::reg_writes() const {
    std::lock_guard l(s_->mu);
    return s_->reg_log;
}

namespace {
Behaviour behaviour(Behaviour::Kind kind, CommandMatch m, unsigned times) {
    Behaviour b{};
    b.kind = kind;
    b.match = m;
    b.times = times;
    return b;
}
void add_behaviour(Camera::State &s, Behaviour b) {
    std::lock_guard l(s.mu);
    if (b.times == 0) return;
    s.behaviours.push_back(std::move(b));
}
}  // namespace

void Camera::set_busy_polls(unsigned polls, CommandMatch m, unsigned times) {
    Behaviour b = behaviour(Behaviour::Kind::busy, m, times);
    b.polls = polls;
    add_behaviour(*s_, b);
}
void Camera::fail_command(CommandMatch m, std::string text, unsigned times) {
    Behaviour b = behaviour(Behaviour::Kind::fail, m, times);
    b.text = std::move(text);
    add_behaviour(*s_, b);
}
void Camera::refuse_command(CommandMatch m, unsigned times) {
    add_behaviour(*s_, behaviour(Behaviour::Kind::refuse, m, times));
}
void Camera::delay_command(CommandMatch m, uint32_t delay_ms, bool ignore_cancel, unsigned times) {
    Behaviour b = behaviour(Behaviour::Kind::delay, m, times);
    b.ms = delay_ms;
    b.ignore_cancel = ignore_cancel;
    add_behaviour(*s_, b);
}
void Camera::short_reply(CommandMatch m, uint16_t bytes, unsigned times) {
    Behaviour b = behaviour(Behaviour::Kind::short_reply, m, times);
    b.bytes = bytes;
    add_behaviour(*s_, b);
}
void Camera::vanish_on_command(CommandMatch m, uint32_t back_after_ms) {
    Behaviour b = behaviour(Behaviour::Kind::vanish, m, 1);
    b.ms = back_after_ms;
    add_behaviour(*s_, b);
}
void Camera::override_status(uint8_t request, uint8_t value, unsigned times) {
    std::lock_guard l(s_->mu);
    for (unsigned i = 0; i < times; ++i) s_->status_overrides.emplace_back(request, value);
}
void Camera::clear_command_faults() {
    std::lock_guard l(s_->mu);
    s_->behaviours.clear();
    s_->status_overrides.clear();
    s_->busy_left = 0;
}

void Camera::set_stream(const StreamConfig &cfg) {
    std::lock_guard l(s_->mu);
    s_->stream_cfg = cfg;
}
StreamConfig Camera::stream() const {
    std::lock_guard l(s_->mu);
    return s_->stream_cfg;
}
void Camera::add_stream_fault(const StreamFault &f) {
    std::lock_guard l(s_->mu);
    s_->faults.push_back(f);
    if (s_->gen.on) s_->gen.faults.emplace_back(f, false);
}
void Camera::clear_stream_faults() {
    std::lock_guard l(s_->mu);
    s_->faults.clear();
    s_->gen.faults.clear();
}
bool Camera::capturing() const {
    std::lock_guard l(s_->mu);
    return s_->gen.on;
}
uint32_t Camera::capture_arg() const {
    std::lock_guard l(s_->mu);
    return s_->cap_arg;
}

std::optional<Command> Camera::last_command() const {
    std::lock_guard l(s_->mu);
    if (s_->cmd_log.empty()) return std::nullopt;
    return s_->cmd_log.back();
}
std::vector<Command> Camera::commands() const {
    std::lock_guard l(s_->mu);
    return s_->cmd_log;
}
std::vector<uint8_t> Camera::reset_targets() const {
    std::lock_guard l(s_->mu);
    return s_->reset_log;
}
void Camera::record_payloads(bool on) {
    std::lock_guard l(s_->mu);
    s_->keep_payloads = on;
}
std::vector<SentPacket> Camera::packets() const {
    std::lock_guard l(s_->mu);
    return s_->packets;
}
std::vector<SentFrame> Camera::frames() const {
    std::lock_guard l(s_->mu);
    return s_->frames;
}
CameraStats Camera::stats() const {
    std::lock_guard l(s_->mu);
    return s_->stats;
}
void Camera::clear_log() {
    std::lock_guard l(s_->mu);
    s_->cmd_log.clear();
    s_->reg_log.clear();
    s_->reset_log.clear();
    s_->packets.clear();
    s_->frames.clear();
    const uint32_t pending = s_->stats.bulk_pending;
    s_->stats = CameraStats{};
    s_->stats.bulk_pending = pending;
}

void Camera::unplug() {
    Bus::Impl *b;
    {
        std::lock_guard l(s_->mu);
        b = impl_of(*s_);
    }
    if (b) b->unplug(*s_);
}

void Camera::replug(uint8_t port) {
    Bus::Impl *b;
    {
        std::lock_guard l(s_->mu);
        b = impl_of(*s_);
    }
    if (b) b->replug(*s_, port);
}

}  // namespace tarvo::sim
