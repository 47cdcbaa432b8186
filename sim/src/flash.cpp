// The simulated flash: the camera's side of the data-action protocol.
#include "tarvo_sim/flash.h"

#include <algorithm>
#include <array>
#include <limits>

namespace tarvo::sim {

namespace {

// Action codes and sizes as the camera's firmware knows them.
constexpr uint16_t k_act_info = 0;
constexpr uint16_t k_act_announce = 1;
constexpr uint16_t k_act_ack = 4;
constexpr uint16_t k_act_ack_short = 5;
constexpr uint16_t k_act_data = 6;
constexpr uint16_t k_act_erase = 7;
constexpr uint16_t k_act_payload = 17;

constexpr size_t k_info_size = 16;
constexpr size_t k_announce_size = 12;
constexpr size_t k_ack_size = 13;
constexpr size_t k_ack_short_size = 9;
constexpr size_t k_erase_size = 13;
constexpr size_t k_chunk_head_size = 6;
constexpr size_t k_payload_req_size = 12;
constexpr uint32_t k_chunk_max = 1018;
constexpr uint32_t k_payload_max = 450;
constexpr uint32_t k_size_none = 0xFFFFFFFFu;
constexpr uint32_t k_capacity = 16u << 20;  // largest image one type can hold

constexpr uint8_t k_status_ready = 1;
constexpr uint8_t k_status_announced = 3;
constexpr uint8_t k_status_busy = 4;

constexpr size_t k_types = 256;

uint16_t get16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t get32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void set16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void set32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::array<uint16_t, 256> make_crc_table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = i << 8;
        for (int k = 0; k < 8; ++k) v = (v & 0x8000) ? (v << 1) ^ 0x1021 : v << 1;
        t[i] = static_cast<uint16_t>(v);
    }
    return t;
}

}  // namespace

Flash::Flash() : images_(k_types) {}

uint16_t Flash::crc16(std::span<const uint8_t> bytes) {
    static const std::array<uint16_t, 256> table = make_crc_table();
    uint16_t crc = 0;
    for (uint8_t b : bytes) crc = static_cast<uint16_t>((crc << 8) ^ table[(crc >> 8) ^ b]);
    return crc;
}

FlashReply Flash::handle(bool in, uint16_t action, std::span<const uint8_t> out, uint16_t in_len) {
    std::lock_guard<std::mutex> g(lock_);
    if (faults_.fail_phase && faults_.fail_phase->action == action &&
        faults_.fail_phase->in == in) {
        if (faults_.fail_phase->skip == 0) {
            faults_.fail_phase.reset();
            return error("injected failure");
        }
        --faults_.fail_phase->skip;
    }
    return in ? in_phase(action, in_len) : out_phase(action, out);
}

FlashReply Flash::error(std::string text) {
    ++stats_.protocol_errors;
    pending_action_ = -1;
    FlashReply r;
    r.kind = FlashReply::Kind::error;
    r.text = std::move(text);
    return r;
}

std::vector<uint8_t> Flash::ack_bytes(size_t len) const {
    std::vector<uint8_t> b(len, 0);
    set32(b, 0, next_);
    b[4] = status_;
    return b;
}

FlashReply Flash::out_phase(uint16_t action, std::span<const uint8_t> out) {
    switch (action) {
        case k_act_info: {
            if (out.size() != k_info_size) return error("info: bad record size");
            ++stats_.info_exchanges;
            info_type_ = out[0];
            pending_action_ = k_act_info;
            // Every information exchange starts a read of that type anew.
            read_armed_ = true;
            read_type_ = info_type_;
            read_pos_ = 0;
            payload_index_ = 0;
            return {};
        }
        case k_act_announce: {
            if (out.size() != k_announce_size) return error("announce: bad record size");
            ++stats_.announces;
            uint8_t type = out[0];
            uint16_t version = get16(out, 2);
            uint32_t size = get32(out, 4);
            const auto &stored = images_[type];
            bool refuse = faults_.refuse_announce_status != 0 || size == 0 || size > k_capacity ||
                          (stored && version <= stored->version);
            next_ = 0;
            if (refuse) {
                phase_ = Phase::refused;
                status_ = faults_.refuse_announce_status ? faults_.refuse_announce_status : 2;
                return {};
            }
            phase_ = Phase::announced;
            status_ = k_status_announced;
            w_type_ = type;
            w_version_ = version;
            w_size_ = size;
            w_data_.clear();
            return {};
        }
        case k_act_ack:
        case k_act_ack_short: {
            size_t want = action == k_act_ack ? k_ack_size : k_ack_short_size;
            if (out.size() != want) return error("ack: bad record size");
            pending_action_ = action;
            return {};
        }
        case k_act_erase: {
            if (out.size() != k_erase_size) return error("erase: bad record size");
            if (phase_ != Phase::announced) return error("erase: nothing announced");
            uint8_t type = out[0];
            uint32_t total = get32(out, 1);
            uint32_t chunk = get32(out, 5);
            if (type != w_type_ || total != w_size_ || chunk != k_chunk_max)
                return error("erase: does not match the announcement");
            ++stats_.erases;
            images_[type].reset();  // the old image is gone from here on
            w_data_.clear();
            w_data_.reserve(w_size_);
            next_ = 0;
            busy_left_ =
                faults_.stall_erase ? std::numeric_limits<uint32_t>::max() : erase_busy_acks_;
            phase_ = Phase::erasing;
            status_ = busy_left_ ? k_status_busy : k_status_ready;
            if (!busy_left_) phase_ = Phase::receiving;
            return {};
        }
        case k_act_data:
            return chunk(out);
        case k_act_payload: {
            if (out.size() != k_payload_req_size) return error("payload: bad request size");
            uint32_t n = get32(out, 4);
            if (n == 0 || n > k_payload_max) return error("payload: bad length");
            if (!read_armed_ || !images_[read_type_]) return error("payload: no read armed");
            if (faults_.drop_at_payload && *faults_.drop_at_payload == payload_index_) {
                faults_.drop_at_payload.reset();
                FlashReply r;
                r.kind = FlashReply::Kind::vanish;
                return r;
            }
            const auto &img = *images_[read_type_];
            if (read_pos_ + n > img.data.size()) return error("payload: beyond the stored data");
            payload_len_ = n;
            pending_action_ = k_act_payload;
            return {};
        }
        default:
            return error("unknown data action");
    }
}

FlashReply Flash::chunk(std::span<const uint8_t> out) {
    if (phase_ != Phase::receiving) return error("data: not ready for data");
    if (out.size() < k_chunk_head_size + 1) return error("data: short message");
    uint16_t crc = get16(out, 0);
    uint32_t n = get32(out, 2);
    std::span<const uint8_t> bytes = out.subspan(k_chunk_head_size);
    uint32_t index = next_;
    if (stats_.chunk_sends.size() <= index) stats_.chunk_sends.resize(index + 1, 0);
    ++stats_.chunk_sends[index];

    if (faults_.drop_at_chunk && *faults_.drop_at_chunk == index) {
        faults_.drop_at_chunk.reset();
        FlashReply r;
        r.kind = FlashReply::Kind::vanish;
        return r;
    }
    uint32_t expected = std::min(k_chunk_max, w_size_ - index * k_chunk_max);
    bool rejected = faults_.reject_chunk && *faults_.reject_chunk == index;
    if (rejected) faults_.reject_chunk.reset();
    // A chunk of the wrong length or with a checksum that does not match
    // is refused: the acknowledgement keeps asking for the same index.
    if (rejected || n != bytes.size() || n != expected || crc16(bytes) != crc) {
        ++stats_.chunks_refused;
        return {};
    }
    ++stats_.chunks_accepted;
    w_data_.insert(w_data_.end(), bytes.begin(), bytes.end());
    next_ = index + 1;
    if (faults_.skip_after_chunk && *faults_.skip_after_chunk == index) {
        faults_.skip_after_chunk.reset();
        next_ = index + 2;
    }
    if (w_data_.size() >= w_size_) {
        FlashImage img;
        img.type = w_type_;
        img.version = w_version_;
        img.address = address_of(w_type_);
        img.data = std::move(w_data_);
        images_[w_type_] = std::move(img);
        w_data_.clear();
        phase_ = Phase::done;
    }
    return {};
}

FlashReply Flash::in_phase(uint16_t action, uint16_t in_len) {
    if (pending_action_ != action) return error("answer without a request");
    pending_action_ = -1;
    FlashReply r;
    switch (action) {
        case k_act_info: {
            if (in_len != k_info_size) return error("info: bad answer size");
            r.data.assign(k_info_size, 0);
            const auto &img = images_[info_type_];
            r.data[0] = info_type_;
            set16(r.data, 2, img ? img->version : 0);
            set32(r.data, 4, img ? static_cast<uint32_t>(img->data.size()) : k_size_none);
            set32(r.data, 8, img ? img->address : address_of(info_type_));
            return r;
        }
        case k_act_ack:
        case k_act_ack_short: {
            size_t want = action == k_act_ack ? k_ack_size : k_ack_short_size;
            if (in_len != want) return error("ack: bad answer size");
            ++stats_.ack_reads;
            if (phase_ == Phase::erasing) {
                if (busy_left_ > 0) {
                    if (busy_left_ != std::numeric_limits<uint32_t>::max()) --busy_left_;
                    ++stats_.busy_acks;
                    status_ = k_status_busy;
                    r.data = ack_bytes(want);
                    return r;
                }
                phase_ = Phase::receiving;
                status_ = k_status_ready;
            }
            r.data = ack_bytes(want);
            return r;
        }
        case k_act_payload: {
            if (in_len != payload_len_) return error("payload: bad answer size");
            const auto &img = *images_[read_type_];
            r.data.assign(img.data.begin() + read_pos_, img.data.begin() + read_pos_ + in_len);
            read_pos_ += in_len;
            ++payload_index_;
            ++stats_.payload_reads;
            return r;
        }
        default:
            return error("unknown data action");
    }
}

void Flash::store(const FlashImage &img) {
    std::lock_guard<std::mutex> g(lock_);
    images_[img.type] = img;
}

void Flash::erase_image(uint8_t type) {
    std::lock_guard<std::mutex> g(lock_);
    images_[type].reset();
}

std::optional<FlashImage> Flash::image(uint8_t type) const {
    std::lock_guard<std::mutex> g(lock_);
    return images_[type];
}

void Flash::set_erase_busy_acks(uint32_t n) {
    std::lock_guard<std::mutex> g(lock_);
    erase_busy_acks_ = n;
}

void Flash::set_faults(const FlashFaults &f) {
    std::lock_guard<std::mutex> g(lock_);
    faults_ = f;
}

void Flash::clear_faults() {
    set_faults({});
}

FlashStats Flash::stats() const {
    std::lock_guard<std::mutex> g(lock_);
    return stats_;
}

void Flash::reset() {
    std::lock_guard<std::mutex> g(lock_);
    for (auto &img : images_) img.reset();
    erase_busy_acks_ = 3;
    faults_ = {};
    stats_ = {};
    phase_ = Phase::idle;
    w_type_ = 0;
    w_version_ = 0;
    w_size_ = 0;
    w_data_.clear();
    next_ = 0;
    status_ = 0;
    busy_left_ = 0;
    pending_action_ = -1;
    info_type_ = 0;
    payload_len_ = 0;
    read_armed_ = false;
    read_type_ = 0;
    read_pos_ = 0;
    payload_index_ = 0;
}

void Flash::clear_stats() {
    std::lock_guard<std::mutex> g(lock_);
    stats_ = {};
}

}  // namespace tarvo::sim
