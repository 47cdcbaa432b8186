// Inside the stream reassembler: the packet header, the frame record, the
// record lists and the reassembler record itself. Shared by the files of
// src/stream/ and by the unit tests and fuzz target that audit a
// reassembler's insides.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tarvo/tq_stream.h"

namespace tarvo::stream {

// Packet header on the wire.
inline constexpr size_t k_hdr_size = 36;
inline constexpr uint8_t k_sync0 = 0xFB;
inline constexpr uint8_t k_sync1 = 0x98;
inline constexpr uint32_t k_max_len = 0xFFFFF;
inline constexpr uint32_t k_max_frlen = 0x7FFFFFF;
inline constexpr uint16_t k_max_frfmt = 1023;
inline constexpr uint8_t k_pkt_frame_bound = 0x01;  // pkt_flags bit 0
inline constexpr uint8_t k_chk_dsum = 0x01;         // chk_flags bit 0
// Offset and size of the part of the packet header kept with each frame.
inline constexpr size_t k_frame_hdr_off = 8;
inline constexpr size_t k_frame_hdr_size = 20;

// A packet header decoded from its 36 bytes.
struct PktHdr {
    uint16_t sidx;
    uint32_t len;
    uint32_t frlen;
    uint16_t fridx;
    uint16_t frfmt;
    uint32_t dsum;
    uint8_t pkt_flags;
    uint8_t chk_flags;
    uint16_t hsum;
};

// Fletcher-16 of the header bytes 0..33: low byte sum1, high byte sum2.
uint16_t hdr_fletcher16(const uint8_t *hdr);

// Decodes 36 header bytes.
PktHdr hdr_decode(const uint8_t *hdr);

// Decodes the frame header kept with each frame (header bytes 8..27).
tq_frame_hdr_t frame_hdr_decode(const uint8_t *hdr);

// True when the 36 bytes are a header the reassembler accepts: the sync
// bytes, the checksum, the limits of len, frlen and frfmt, and a frame
// length above zero.
bool hdr_valid(const uint8_t *hdr, PktHdr *out);

// Sum of the little-endian u32 words of `n` bytes (n a multiple of 4),
// wrapping at 2^32.
uint32_t word_sum(const uint8_t *p, size_t n);

}  // namespace tarvo::stream

// One frame being filled or ready: the links, its header, how much of it is
// there, then its bytes (cap of them) right after the record.
struct tq_fr_node {
    tq_fr_node *next;
    tq_fr_node *prev;
    tq_frame_hdr_t hdr;
    uint32_t filled;
    uint32_t cap;

    uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(this + 1); }
    bool complete() const { return filled == cap; }
};

// A doubly linked list of frame records, oldest first.
struct tq_fr_list {
    tq_fr_node *head;
    tq_fr_node *tail;
};

struct tq_stream {
    tq_stream_cfg_t cfg;
    tq_fr_list ring;          // complete frames; changed only under `lock`
    pthread_rwlock_t lock;    // guards `ring` and `state.fr_ready`
    uint8_t hdr[36];          // the last header, complete or in part
    uint8_t discarding;       // payload skipped until a frame-bound header
    uint8_t pkt_done;         // the current packet's payload is complete
    uint8_t hdr_have;         // header bytes held; 36: `cur` is valid
    uint32_t pkt_recv;        // payload bytes of the current packet so far
    uint32_t dsum_acc;        // running payload word sum
    uint16_t pkt_frames;      // frames completed under the current header
    int32_t prev_sidx;        // sidx of the previous packet, -1 for none
    int32_t prev_fridx;       // fridx of the previous packet, -1 for none
    uint16_t frames_per_pkt;  // frames the previous packet carried
    tq_fr_list frlist;        // records being filled (one incomplete at most)
    tq_stream_state_t state;  // counters: written by the feeder, read by anyone

    // Feeder-private extras.
    tarvo::stream::PktHdr cur;  // `hdr` decoded, meaningful when hdr_have is 36
    tq_frame_hdr_t fhdr;        // `hdr` bytes 8..27 decoded, for new records
    uint8_t word_part[4];       // payload bytes of a word cut by a piece boundary
    uint8_t word_part_n;
};

namespace tarvo::stream {

// Counters shared between the feeder and readers live in plain u32 fields
// (the record layout of tq_stream_state_t) and are reached atomically.
inline uint32_t load(const uint32_t &v) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(v)).load(std::memory_order_relaxed);
}
inline void store(uint32_t &v, uint32_t x) {
    std::atomic_ref<uint32_t>(v).store(x, std::memory_order_relaxed);
}
// Only one thread writes each counter, so a load and a store make the add.
inline void bump(uint32_t &v, uint32_t by) {
    store(v, load(v) + by);
}

// Frame records come from here: malloc() unless a test swapped it.
using AllocFn = void *(*)(size_t);
void set_record_alloc(AllocFn fn);  // null restores malloc()
tq_fr_node *node_alloc(uint32_t cap);
void node_free(tq_fr_node *node);

// List helpers.
void list_push_back(tq_fr_list &l, tq_fr_node *n);
void list_unlink(tq_fr_list &l, tq_fr_node *n);
void list_free_all(tq_fr_list &l);
uint32_t list_count(const tq_fr_list &l);

// Checks the insides of a reassembler that no other thread is using: ring
// links and count, every ring frame complete, at most one incomplete record
// being filled, the header state. Returns "" when all holds, or what broke.
std::string audit(tq_stream_t *s);

}  // namespace tarvo::stream
