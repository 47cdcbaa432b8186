// Feeding the reassembler: the pass loop over a piece of the stream, the
// header search, the continuity checks, cutting payload into frame records
// and moving complete frames to the ready ring.
//
// Only the feeding thread runs this code. It owns the held header, the
// records being filled and the counters it writes; the ready ring and
// fr_ready change under the ring's write lock.
#include <algorithm>
#include <cstring>

#include "common/byteio.h"
#include "log/log.h"
#include "stream/stream_impl.h"

namespace tarvo::stream {
namespace {

constexpr const char *k_feed = "tq_stream_feed_input";

// The bytes of the piece not yet consumed.
struct Piece {
    const uint8_t *p;
    size_t n;

    void consume(size_t k) {
        p += k;
        n -= k;
    }
};

bool frame_bound(const tq_stream_t *s) {
    return (s->cur.pkt_flags & k_pkt_frame_bound) != 0;
}

// Drops the record being filled, if there is one. Returns its fridx, or -1
// when there was none.
int discard_cur_frame(tq_stream_t *s) {
    tq_fr_node *t = s->frlist.tail;
    if (!t || t->complete()) return -1;
    int fridx = t->hdr.fridx;
    bump(s->state.bytes_skipped, t->filled);
    bump(s->state.fr_discarded, 1);
    TQ_DBG("[%s] discard frame: idx = %d\n", "_discard_cur_frame", t->hdr.fridx);
    list_unlink(s->frlist, t);
    node_free(t);
    return fridx;
}

// Copies payload into the frame records, starting new ones as frames
// complete. Returns the bytes placed: fewer than `n` only when a record
// could not be allocated.
size_t add_data(tq_stream_t *s, const uint8_t *p, size_t n) {
    size_t placed = 0;
    auto fill = [&](tq_fr_node *node) {
        size_t c = std::min<size_t>(n - placed, node->cap - node->filled);
        std::memcpy(node->data() + node->filled, p + placed, c);
        node->filled += static_cast<uint32_t>(c);
        placed += c;
        if (node->complete()) {
            bump(s->state.fr_assembled, 1);
            ++s->pkt_frames;
        }
    };

    tq_fr_node *t = s->frlist.tail;
    if (t && !t->complete()) fill(t);
    while (placed < n) {
        tq_fr_node *node = node_alloc(s->cur.frlen);
        if (!node) {
            TQ_ERR("[%s] malloc failed: %d bytes\n", "_fr_node_add_data",
                   static_cast<int>(sizeof(tq_fr_node) + s->cur.frlen));
            return placed;
        }
        node->hdr = s->fhdr;
        node->hdr.fridx = static_cast<uint16_t>(s->cur.fridx + s->pkt_frames);
        list_push_back(s->frlist, node);
        fill(node);
    }
    return placed;
}

// Moves complete records to the ready ring and drops the oldest frames of
// a ring above its capacity, in one hold of the write lock so that readers
// never see the ring above its capacity. Logging and freeing come after.
void refresh_ring(tq_stream_t *s) {
    tq_stream_state_t &st = s->state;
    bool move = s->frlist.head && s->frlist.head->complete();
    uint32_t capacity = load(s->cfg.fbuf_frames);
    if (!move && load(st.fr_ready) <= capacity) return;

    tq_fr_list gone{};
    uint32_t excess = 0;
    uint32_t overflow_total = 0;
    pthread_rwlock_wrlock(&s->lock);
    if (move) {
        // Every record but possibly the last is complete: splice them all
        // and give an incomplete last one back.
        tq_fr_list &ring = s->ring;
        uint32_t k = list_count(s->frlist);
        s->frlist.head->prev = ring.tail;
        if (ring.tail)
            ring.tail->next = s->frlist.head;
        else
            ring.head = s->frlist.head;
        ring.tail = s->frlist.tail;
        s->frlist = tq_fr_list{};
        if (!ring.tail->complete()) {
            tq_fr_node *back = ring.tail;
            list_unlink(ring, back);
            list_push_back(s->frlist, back);
            --k;
        }
        bump(st.fr_queued, k);
        bump(st.fr_ready, k);
    }
    // A taking fetch may have shrunk the ring since the look above.
    uint32_t ready = load(st.fr_ready);
    if (ready > capacity) excess = ready - capacity;
    for (uint32_t i = 0; i < excess && s->ring.head; ++i) {
        tq_fr_node *old = s->ring.head;
        list_unlink(s->ring, old);
        list_push_back(gone, old);
        bump(st.bytes_skipped, old->hdr.frlen);
        bump(st.fr_ready, static_cast<uint32_t>(-1));
        bump(st.fr_overflow, 1);
    }
    overflow_total = load(st.fr_overflow);
    pthread_rwlock_unlock(&s->lock);

    if (excess == 0) return;
    TQ_DBG("[%s] discard frames: frame buffer is full (%d/%d)\n", "_fr_list_refresh",
           static_cast<int>(excess), static_cast<int>(overflow_total));
    for (const tq_fr_node *old = gone.head; old; old = old->next)
        TQ_DBG("[%s] discard frame: idx = %d\n", "_fr_list_refresh", old->hdr.fridx);
    list_free_all(gone);
}

// Adds a piece of payload to the running word sum. A word cut by the end
// of a piece is completed by the next piece of the same packet.
void sum_payload(tq_stream_t *s, const uint8_t *p, size_t n) {
    if (s->word_part_n) {
        size_t k = std::min<size_t>(4u - s->word_part_n, n);
        std::memcpy(s->word_part + s->word_part_n, p, k);
        s->word_part_n = static_cast<uint8_t>(s->word_part_n + k);
        p += k;
        n -= k;
        if (s->word_part_n < 4) return;
        s->dsum_acc += le32(s->word_part);
        s->word_part_n = 0;
    }
    size_t whole = n & ~size_t{3};
    s->dsum_acc += word_sum(p, whole);
    if (n > whole) {
        std::memcpy(s->word_part, p + whole, n - whole);
        s->word_part_n = static_cast<uint8_t>(n - whole);
    }
}

void packet_complete(tq_stream_t *s) {
    s->pkt_done = 1;
    s->pkt_recv = 0;
    s->dsum_acc = 0;
    s->word_part_n = 0;
}

// A header just became the held one: start its packet afresh.
void hdr_taken(tq_stream_t *s) {
    s->hdr_have = static_cast<uint8_t>(k_hdr_size);
    s->pkt_frames = 0;
    s->pkt_recv = 0;
    s->dsum_acc = 0;
    s->word_part_n = 0;
    s->fhdr = frame_hdr_decode(s->hdr);
}

// The packet index must follow the previous one inside a frame.
void check_packet_index(tq_stream_t *s) {
    if (s->prev_sidx == -1 || frame_bound(s)) return;
    int expected = (s->prev_sidx + 1) & 0xFFFF;
    if (s->cur.sidx == expected) return;
    TQ_DBG("[%s] discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n", k_feed,
           s->prev_sidx, s->cur.sidx);
    s->discarding = 1;
    discard_cur_frame(s);
}

void check_frame_bound(tq_stream_t *s) {
    if (s->frlist.head) {
        TQ_DBG("[%s] discard frame: frame bound met, prev not complete\n", k_feed);
        discard_cur_frame(s);
        s->prev_sidx = -1;
        return;
    }
    if (load(s->state.fr_assembled) != 0 && s->prev_fridx != -1) {
        int expected = (s->prev_fridx + s->frames_per_pkt) & 0xFFFF;
        if (expected != s->cur.fridx)
            TQ_DBG("[%s] missing frame: jumpping frame idx (prev=%d, cur=%d)\n", k_feed, expected,
                   s->cur.fridx);
    }
    check_packet_index(s);
}

// A packet longer than its frame length must carry whole frames. Any other
// length (a camera that sends `len` 0xFFFFF on a stream of one frame per
// packet) would have the next megabyte, later headers included, cut into
// frames of the wrong bytes. Such a packet is skipped with the frames it
// would start, and the stream picks up at the next frame start.
bool refuse_ragged_packet(tq_stream_t *s) {
    if (s->cur.len <= s->cur.frlen || s->cur.len % s->cur.frlen == 0) return false;
    TQ_ERR("[%s] packet refused: len %u is not a whole number of %u-byte frames (sidx=%d)\n",
           k_feed, static_cast<unsigned>(s->cur.len), static_cast<unsigned>(s->cur.frlen),
           s->cur.sidx);
    const int dropped = discard_cur_frame(s);
    if (frame_bound(s) || (!s->discarding && dropped == -1)) {
        bump(s->state.fr_discarded, 1);
        TQ_DBG("[%s] discard frame: idx = %d\n", k_feed, s->cur.fridx);
    }
    s->discarding = 1;
    s->prev_sidx = -1;
    return true;
}

// What follows the acceptance of a header.
void on_header_accepted(tq_stream_t *s) {
    if (refuse_ragged_packet(s)) return;
    if (s->discarding) {
        if (!frame_bound(s)) return;
        s->discarding = 0;
        s->prev_sidx = -1;
        check_frame_bound(s);
        return;
    }
    if (frame_bound(s)) {
        check_frame_bound(s);
        return;
    }
    int dropped = -1;
    if (s->prev_fridx != -1 && s->prev_fridx != s->cur.fridx) {
        TQ_DBG("[%s] discard frame: frame idx not consist (prev=%d, cur=%d)\n", k_feed,
               s->prev_fridx, s->cur.fridx);
        dropped = discard_cur_frame(s);
        s->prev_sidx = -1;
    } else {
        check_packet_index(s);
    }
    // A packet that continues a frame while no frame is being filled would
    // start a record in the middle of a frame, and every frame cut after it
    // in this packet would be shifted. Its frame is lost: count it (unless
    // its record was the one just dropped) and skip to the next frame start.
    if (!s->discarding && !s->frlist.head) {
        TQ_DBG("[%s] skip packet: no frame to continue (sidx=%d, fridx=%d)\n", k_feed, s->cur.sidx,
               s->cur.fridx);
        s->discarding = 1;
        if (dropped != s->cur.fridx) {
            bump(s->state.fr_discarded, 1);
            TQ_DBG("[%s] discard frame: idx = %d\n", k_feed, s->cur.fridx);
        }
    }
}

// Pass step: payload of the held header.
void take_payload(tq_stream_t *s, Piece &in) {
    uint32_t take = static_cast<uint32_t>(std::min<size_t>(s->cur.len - s->pkt_recv, in.n));
    s->pkt_recv += take;
    bool done = s->pkt_recv == s->cur.len;
    if (s->cur.chk_flags & k_chk_dsum) {
        sum_payload(s, in.p, take);
        if (done) {
            TQ_TRC("[%s] check data checksum: sidx=%d\n", k_feed, s->cur.sidx);
            if (s->dsum_acc != s->cur.dsum) {
                TQ_DBG("[%s] discard frame: verify data checksum failed: sidx=%d\n", k_feed,
                       s->cur.sidx);
                discard_cur_frame(s);
                s->discarding = 1;
                packet_complete(s);
                in.consume(take);
                return;
            }
        }
    }
    if (done) packet_complete(s);

    TQ_TRC("[%s] Add %d bytes to frlist\n", k_feed, static_cast<int>(take));
    size_t placed = take ? add_data(s, in.p, take) : 0;
    refresh_ring(s);
    if (placed < take) {
        // No memory for a record: the rest of the piece is lost, and so is
        // the frame it belonged to; wait for the next frame start.
        bump(s->state.bytes_skipped, static_cast<uint32_t>(in.n - placed));
        s->discarding = 1;
        in.consume(in.n);
        return;
    }
    in.consume(take);
}

void log_partial(const tq_stream_t *s) {
    TQ_TRC("[%s] partial stream hdr found: %d bytes, need more bytes.\n", k_feed, s->hdr_have);
}

// Pass step: look for the next header in the rest of the piece.
void search_header(tq_stream_t *s, Piece &in) {
    const uint8_t *p = in.p;
    size_t n = in.n;
    for (size_t i = 0; n >= 2 && i < n - 1; ++i) {
        const void *hit = std::memchr(p + i, k_sync0, n - 1 - i);
        if (!hit) break;
        i = static_cast<size_t>(static_cast<const uint8_t *>(hit) - p);
        if (p[i + 1] != k_sync1) continue;
        size_t avail = n - i;
        if (avail < k_hdr_size) {
            std::memcpy(s->hdr, p + i, avail);
            s->hdr_have = static_cast<uint8_t>(avail);
            in.consume(n);
            log_partial(s);
            return;
        }
        // Candidates are tested where they stand, so one that fails leaves
        // a held header (and what its packet means for the count) alone.
        if (!hdr_valid(p + i, &s->cur)) continue;
        std::memcpy(s->hdr, p + i, k_hdr_size);
        hdr_taken(s);
        TQ_TRC("[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n", "_sync_stream_hdr",
               s->cur.sidx, static_cast<int>(s->cur.len), static_cast<int>(s->cur.frlen),
               s->cur.fridx, s->cur.frfmt);
        in.consume(i + k_hdr_size);
        if (i > 0) {
            TQ_TRC("[%s] sync hdr: skip %d bytes\n", k_feed, static_cast<int>(i));
            bump(s->state.bytes_skipped, static_cast<uint32_t>(i));
        }
        on_header_accepted(s);
        return;
    }

    in.consume(n);
    if (p[n - 1] == k_sync0) {
        s->hdr[0] = k_sync0;
        s->hdr_have = 1;
        log_partial(s);
        return;
    }
    if (s->hdr_have == k_hdr_size) {
        // Payload of a packet skipped after an index error.
        bump(s->state.bytes_skipped, static_cast<uint32_t>(n));
    } else if (s->discarding) {
        TQ_DBG("[%s] not find hdr: skip %d bytes\n", k_feed, static_cast<int>(n));
    } else {
        TQ_DBG("[%s] discard frame: stream hdr verify failed\n", k_feed);
        s->discarding = 1;
        discard_cur_frame(s);
    }
}

// Pass step: add bytes to a header held in part.
void complete_header(tq_stream_t *s, Piece &in) {
    size_t need = k_hdr_size - s->hdr_have;
    if (in.n < need) {
        std::memcpy(s->hdr + s->hdr_have, in.p, in.n);
        s->hdr_have = static_cast<uint8_t>(s->hdr_have + in.n);
        in.consume(in.n);
        log_partial(s);
        return;
    }
    std::memcpy(s->hdr + s->hdr_have, in.p, need);
    if (!hdr_valid(s->hdr, &s->cur)) {
        // The held bytes were not a header after all; nothing of the piece
        // is consumed, and the next pass searches it from its first byte.
        s->hdr_have = 0;
        return;
    }
    hdr_taken(s);
    TQ_TRC("[%s] HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n", k_feed, s->cur.sidx,
           static_cast<int>(s->cur.len), static_cast<int>(s->cur.frlen), s->cur.fridx,
           s->cur.frfmt);
    in.consume(need);
    on_header_accepted(s);
}

}  // namespace
}  // namespace tarvo::stream

using namespace tarvo::stream;

extern "C" TARVO_API bool tq_stream_feed_input(tq_stream_t *stream, const uint8_t *data, int len) {
    if (!stream) return false;
    tq_stream_t *s = stream;
    TQ_TRC("[%s] %d raw bytes\n", k_feed, len);
    Piece in{data, data && len > 0 ? static_cast<size_t>(len) : 0};

    // Every pass consumes bytes or changes the state so that the next one
    // will: a packet of length 0 completes at once, a failed partial
    // header is dropped, and a search always consumes.
    while (in.n > 0) {
        if (s->hdr_have == k_hdr_size) {
            if (!s->discarding && !s->pkt_done) {
                take_payload(s, in);
                continue;
            }
            s->prev_sidx = s->cur.sidx;
            s->prev_fridx = s->cur.fridx;
            s->frames_per_pkt =
                s->cur.len > s->cur.frlen ? static_cast<uint16_t>(s->cur.len / s->cur.frlen) : 1;
            if (s->pkt_done) {
                s->hdr_have = 0;
                s->pkt_done = 0;
            }
            search_header(s, in);
            continue;
        }
        if (s->hdr_have > 0 && !s->pkt_done) {
            complete_header(s, in);
            continue;
        }
        // No header bytes: a piece that starts here has lost the memory of
        // the packets before it.
        s->prev_sidx = -1;
        s->prev_fridx = -1;
        s->frames_per_pkt = 1;
        if (s->pkt_done) {
            s->hdr_have = 0;
            s->pkt_done = 0;
        }
        search_header(s, in);
    }
    // A capacity lowered since the last payload takes effect now, even when
    // this piece brought none.
    if (data && len > 0) refresh_ring(s);
    return load(s->state.fr_ready) != 0;
}
