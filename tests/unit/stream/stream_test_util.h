// Helpers shared by the reassembler's tests: owning handle, feeding in
// pieces, draining frames, reading the statistics and the log.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "packet_writer.h"
#include "platform/platform.h"
#include "stream/stream_impl.h"
#include "tarvo/tarvo_log.h"
#include "tarvo/tq_stream.h"

namespace tarvo::test {

struct StreamDeleter {
    void operator()(tq_stream_t *s) const { tq_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<tq_stream_t, StreamDeleter>;

inline StreamPtr make_stream(uint32_t capacity) {
    tq_stream_cfg_t cfg{capacity};
    return StreamPtr(tq_stream_create(&cfg));
}

inline tq_stream_state_t state_of(tq_stream_t *s) {
    tq_stream_state_t st{};
    EXPECT_EQ(tq_stream_get_state(s, &st), &st);
    return st;
}

inline bool feed(tq_stream_t *s, const Bytes &b) {
    return tq_stream_feed_input(s, b.data(), static_cast<int>(b.size()));
}

// A frame taken out of the ring.
struct Frame {
    tq_frame_hdr_t hdr;
    Bytes bytes;
};

// Takes every ready frame, one fetch each, checking the reassembler's
// insides after each fetch.
inline std::vector<Frame> drain(tq_stream_t *s) {
    std::vector<Frame> out;
    for (;;) {
        tq_frame_hdr_t h{};
        if (tq_stream_fetch_frames(s, nullptr, 0, 1, &h, true) == 0) break;
        Frame f{};
        f.bytes.assign(h.frlen, 0);
        EXPECT_EQ(tq_stream_fetch_frames(s, f.bytes.data(), h.frlen, 1, &f.hdr, false), 1u);
        EXPECT_EQ(stream::audit(s), "");
        out.push_back(std::move(f));
    }
    return out;
}

// Feeds `b` in pieces of `piece` bytes (the last one shorter), taking the
// frames out as they come; the audit must hold after every call.
inline std::vector<Frame> feed_in_pieces(tq_stream_t *s, const Bytes &b, size_t piece) {
    std::vector<Frame> out;
    for (size_t off = 0; off < b.size(); off += piece) {
        size_t n = std::min(piece, b.size() - off);
        tq_stream_feed_input(s, b.data() + off, static_cast<int>(n));
        std::string why = stream::audit(s);
        if (!why.empty()) {
            ADD_FAILURE() << "piece " << piece << " at " << off << ": " << why;
            break;
        }
        for (Frame &f : drain(s)) out.push_back(std::move(f));
    }
    return out;
}

// Feeds `b` cut at the given offsets (ascending).
inline std::vector<Frame> feed_cut_at(tq_stream_t *s, const Bytes &b, std::vector<size_t> cuts) {
    std::vector<Frame> out;
    size_t from = 0;
    cuts.push_back(b.size());
    for (size_t to : cuts) {
        if (to > from) tq_stream_feed_input(s, b.data() + from, static_cast<int>(to - from));
        EXPECT_EQ(stream::audit(s), "") << "cut at " << to;
        for (Frame &f : drain(s)) out.push_back(std::move(f));
        from = to;
    }
    return out;
}

// Routes the library's log into a file of the test's working directory
// (every level) and reads it back. The console stays quiet.
class LogCapture {
  public:
    LogCapture() { clear(); }
    ~LogCapture() {
        tq_log_disable();
        tq_log_enable(0, TQ_LOG_WRN, nullptr);
    }
    void clear() {
        tq_log_disable();
        platform::remove_file(k_path);
        tq_log_enable(0, TQ_LOG_OFF, nullptr);
        tq_log_enable(1, TQ_LOG_TRC, k_path);
    }
    std::string text() const {
        std::ifstream f(k_path);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    // Lines holding `needle`.
    int count(const std::string &needle) const {
        std::string t = text();
        int k = 0;
        for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1))
            ++k;
        return k;
    }
    bool has(const std::string &needle) const { return count(needle) > 0; }

  private:
    static constexpr const char *k_path = "stream_test.log";
};

}  // namespace tarvo::test
