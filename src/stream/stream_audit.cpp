// A look inside a reassembler for tests and fuzzing: the promises the rest
// of src/stream/ keeps between calls, checked one by one.

#include "stream/stream_impl.h"

namespace tarvo::stream {
namespace {

// Walks a list checking its links both ways; counts it.
bool walk(const tq_fr_list &l, uint32_t *count, std::string *why, const char *name) {
    uint32_t k = 0;
    const tq_fr_node *prev = nullptr;
    for (const tq_fr_node *n = l.head; n; prev = n, n = n->next) {
        if (n->prev != prev) {
            *why = std::string(name) + ": broken back link";
            return false;
        }
        if (n->cap != n->hdr.frlen || n->cap == 0 || n->cap > k_max_frlen || n->filled > n->cap) {
            *why = std::string(name) + ": record size out of bounds";
            return false;
        }
        ++k;
    }
    if (l.tail != prev) {
        *why = std::string(name) + ": tail is not the last record";
        return false;
    }
    *count = k;
    return true;
}

}  // namespace

std::string audit(tq_stream_t *s) {
    std::string why;
    uint32_t ring_n = 0;
    uint32_t fill_n = 0;
    if (!walk(s->ring, &ring_n, &why, "ring") || !walk(s->frlist, &fill_n, &why, "frlist"))
        return why;

    for (const tq_fr_node *n = s->ring.head; n; n = n->next)
        if (!n->complete()) return "ring: incomplete frame " + std::to_string(n->hdr.fridx);
    if (ring_n != load(s->state.fr_ready))
        return "ring: " + std::to_string(ring_n) + " frames but fr_ready " +
               std::to_string(load(s->state.fr_ready));
    if (fill_n > 1) return "frlist: " + std::to_string(fill_n) + " records";
    if (fill_n == 1 && s->frlist.head->complete()) return "frlist: complete record left behind";
    if (fill_n == 1 && s->discarding) return "frlist: record kept while discarding";
    if (load(s->state.fr_assembled) != load(s->state.fr_queued))
        return "counters: fr_assembled " + std::to_string(load(s->state.fr_assembled)) +
               " != fr_queued " + std::to_string(load(s->state.fr_queued));

    if (s->hdr_have > k_hdr_size) return "header: hdr_have " + std::to_string(s->hdr_have);
    if (s->hdr_have == k_hdr_size) {
        PktHdr h{};
        if (!hdr_valid(s->hdr, &h)) return "header: held header is not valid";
        const PktHdr &c = s->cur;
        if (h.sidx != c.sidx || h.len != c.len || h.frlen != c.frlen || h.fridx != c.fridx ||
            h.frfmt != c.frfmt || h.dsum != c.dsum || h.pkt_flags != c.pkt_flags ||
            h.chk_flags != c.chk_flags)
            return "header: decoded copy differs";
        if (s->pkt_recv > h.len) return "header: more payload than the packet holds";
    } else if (s->hdr_have > 0 && s->pkt_done) {
        return "header: partial header with the packet done";
    }
    if (s->pkt_done && s->pkt_recv != 0) return "packet done with payload counted";
    if (s->word_part_n > 3) return "payload sum: " + std::to_string(s->word_part_n) + " bytes held";
    return "";
}

}  // namespace tarvo::stream
