// The reassembler's life, configuration, statistics and the fetching side
// of its ready ring. The feeding side is in stream_feed.cpp.
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "stream/stream_impl.h"

namespace tarvo::stream {
namespace {

std::atomic<AllocFn> g_record_alloc{nullptr};

// Read and write holds of the ring's lock.
class ReadHold {
  public:
    explicit ReadHold(pthread_rwlock_t *l) : l_(l) { pthread_rwlock_rdlock(l_); }
    ~ReadHold() { pthread_rwlock_unlock(l_); }
    ReadHold(const ReadHold &) = delete;
    ReadHold &operator=(const ReadHold &) = delete;

  private:
    pthread_rwlock_t *l_;
};

class WriteHold {
  public:
    explicit WriteHold(pthread_rwlock_t *l) : l_(l) { pthread_rwlock_wrlock(l_); }
    ~WriteHold() { pthread_rwlock_unlock(l_); }
    WriteHold(const WriteHold &) = delete;
    WriteHold &operator=(const WriteHold &) = delete;

  private:
    pthread_rwlock_t *l_;
};

void stamp_reset(tq_stream_t *s) {
    struct timeval tv;
    tq_gettimeofday(&tv, nullptr);
    s->state.ts_reset.tv_sec = tv.tv_sec;
    s->state.ts_reset.tv_usec = tv.tv_usec;
}

// Forgets the held header; its sidx reads 0xFFFF.
void clear_held_header(tq_stream_t *s) {
    std::memset(s->hdr, 0, sizeof s->hdr);
    s->hdr[2] = 0xFF;
    s->hdr[3] = 0xFF;
    s->hdr_have = 0;
    s->cur = PktHdr{};
    s->word_part_n = 0;
}

// Empties the ring and zeroes the statistics under the write lock, so that
// a fetching thread never sees half of it; the records are freed after.
void clear_ring_and_state(tq_stream_t *s) {
    tq_fr_list gone;
    {
        WriteHold hold(&s->lock);
        gone = s->ring;
        s->ring = tq_fr_list{};
        tq_stream_state_t &st = s->state;
        for (uint32_t *c : {&st.fr_assembled, &st.fr_queued, &st.fr_discarded, &st.fr_overflow,
                            &st.fr_ready, &st.bytes_skipped})
            store(*c, 0);
        stamp_reset(s);
    }
    list_free_all(gone);
}

}  // namespace

void set_record_alloc(AllocFn fn) {
    g_record_alloc.store(fn, std::memory_order_relaxed);
}

tq_fr_node *node_alloc(uint32_t cap) {
    size_t size = sizeof(tq_fr_node) + cap;
    AllocFn fn = g_record_alloc.load(std::memory_order_relaxed);
    void *p = fn ? fn(size) : std::malloc(size);
    if (!p) return nullptr;
    auto *n = static_cast<tq_fr_node *>(p);
    n->next = nullptr;
    n->prev = nullptr;
    n->filled = 0;
    n->cap = cap;
    return n;
}

void node_free(tq_fr_node *node) {
    std::free(node);
}

void list_push_back(tq_fr_list &l, tq_fr_node *n) {
    n->next = nullptr;
    n->prev = l.tail;
    if (l.tail)
        l.tail->next = n;
    else
        l.head = n;
    l.tail = n;
}

void list_unlink(tq_fr_list &l, tq_fr_node *n) {
    if (n->prev)
        n->prev->next = n->next;
    else
        l.head = n->next;
    if (n->next)
        n->next->prev = n->prev;
    else
        l.tail = n->prev;
    n->next = n->prev = nullptr;
}

void list_free_all(tq_fr_list &l) {
    tq_fr_node *n = l.head;
    while (n) {
        tq_fr_node *next = n->next;
        node_free(n);
        n = next;
    }
    l = tq_fr_list{};
}

uint32_t list_count(const tq_fr_list &l) {
    uint32_t k = 0;
    for (const tq_fr_node *n = l.head; n; n = n->next) ++k;
    return k;
}

}  // namespace tarvo::stream

using namespace tarvo::stream;

extern "C" {

TARVO_API tq_stream_t *tq_stream_create(const tq_stream_cfg_t *cfg) {
    if (!cfg) return nullptr;
    auto *s = static_cast<tq_stream_t *>(std::calloc(1, sizeof(tq_stream_t)));
    if (!s) {
        TQ_ERR("[%s] malloc failed\n", "tq_stream_create");
        return nullptr;
    }
    if (pthread_rwlock_init(&s->lock, nullptr) != 0) {
        TQ_ERR("[%s] pthread_rwlock_init failed\n", "tq_stream_create");
        std::free(s);
        return nullptr;
    }
    s->cfg = *cfg;
    s->prev_sidx = -1;
    clear_held_header(s);
    stamp_reset(s);
    return s;
}

TARVO_API void tq_stream_destroy(tq_stream_t *stream) {
    if (!stream) return;
    tq_stream_reset(stream);
    pthread_rwlock_destroy(&stream->lock);
    std::free(stream);
}

TARVO_API void tq_stream_set_cfg(tq_stream_t *stream, const tq_stream_cfg_t *cfg) {
    if (!stream || !cfg) return;
    store(stream->cfg.fbuf_frames, cfg->fbuf_frames);
}

TARVO_API void tq_stream_get_cfg(tq_stream_t *stream, tq_stream_cfg_t *cfg) {
    if (!stream || !cfg) return;
    cfg->fbuf_frames = load(stream->cfg.fbuf_frames);
}

TARVO_API void tq_stream_reset(tq_stream_t *stream) {
    if (!stream) return;
    // `discarding`, `pkt_done` and the continuity memory stay: the first
    // pass after a reset finds no header bytes and clears what it must.
    clear_held_header(stream);
    list_free_all(stream->frlist);
    stream->prev_sidx = -1;
    clear_ring_and_state(stream);
}

TARVO_API uint32_t tq_stream_fetch_frames(tq_stream_t *stream, uint8_t *dst, uint32_t dst_size,
                                          uint32_t count, tq_frame_hdr_t *hdr, bool peek) {
    if (!stream) return 0;
    uint32_t n = std::min(count, load(stream->state.fr_ready));
    if (n == 0) return 0;
    if (peek && !dst && !hdr) return n;

    // Copies one record out; the first one walked also gives the header.
    bool hdr_done = false;
    auto copy_out = [&](const tq_fr_node *node) {
        if (hdr && !hdr_done) {
            *hdr = node->hdr;
            hdr_done = true;
        }
        if (dst && dst_size > 0) {
            uint32_t c = std::min(dst_size, node->filled);
            std::memcpy(dst, node->data(), c);
            dst += c;
            dst_size -= c;
        }
    };

    // The count is taken again under the lock: another fetching thread, or
    // the feeder dropping overflow, may have shrunk the ring meanwhile.
    if (peek) {
        ReadHold hold(&stream->lock);
        n = std::min(count, load(stream->state.fr_ready));
        const tq_fr_node *node = stream->ring.head;
        for (uint32_t i = 0; i < n && node; ++i, node = node->next) copy_out(node);
        return n;
    }

    tq_fr_list taken{};
    {
        WriteHold hold(&stream->lock);
        n = std::min(count, load(stream->state.fr_ready));
        for (uint32_t i = 0; i < n && stream->ring.head; ++i) {
            tq_fr_node *node = stream->ring.head;
            list_unlink(stream->ring, node);
            list_push_back(taken, node);
            bump(stream->state.fr_ready, static_cast<uint32_t>(-1));
        }
    }
    // The records are ours now: copy them without holding up the feeder.
    for (tq_fr_node *node = taken.head; node; node = node->next) copy_out(node);
    list_free_all(taken);
    return n;
}

TARVO_API tq_stream_state_t *tq_stream_get_state(tq_stream_t *stream, tq_stream_state_t *state) {
    if (!stream || !state) return nullptr;
    ReadHold hold(&stream->lock);
    const tq_stream_state_t &st = stream->state;
    state->fr_assembled = load(st.fr_assembled);
    state->fr_queued = load(st.fr_queued);
    state->fr_discarded = load(st.fr_discarded);
    state->fr_overflow = load(st.fr_overflow);
    state->fr_ready = load(st.fr_ready);
    state->bytes_skipped = load(st.bytes_skipped);
    state->ts_reset = st.ts_reset;
    return state;
}

}  // extern "C"
