// Throughput of the stream reassembler, feed and fetch on one thread, next
// to two plain memcpy of the same bytes (the copy into a frame record and
// the copy out of it that the reassembler cannot avoid).
//
//   bench_stream --benchmark_counters_tabular=true
//
// BM_feed_fetch/<frlen>/<payload checksum>: a stream of frames of <frlen>
// bytes in packets of at most 153600 payload bytes (a 614400-byte frame
// spans four packets; 4096-byte frames go 37 to a packet), fed in pieces of
// 153600 bytes as the USB link hands them over, every ready frame taken
// after each piece, one fetch per frame, as the capture engine does.
// BM_memcpy_twice/<frlen>: the same number of bytes copied twice, a frame
// at a time.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "../tests/unit/stream/packet_writer.h"
#include "tarvo/tarvo_log.h"
#include "tarvo/tq_stream.h"

namespace {

using tarvo::test::Bytes;

constexpr uint32_t k_piece = 153600;
constexpr uint32_t k_max_payload = 153600;

// About 5 MB of stream: more than the caches hold, as a live stream is.
uint32_t frames_for(uint32_t frlen) {
    return frlen >= 65536 ? 8 : 1200;
}

const Bytes &stream_of(uint32_t frlen, bool dsum) {
    static std::vector<std::pair<uint64_t, Bytes>> made;
    uint64_t key = uint64_t{frlen} << 1 | (dsum ? 1 : 0);
    for (auto &m : made)
        if (m.first == key) return m.second;
    tarvo::test::StreamPlan plan;
    plan.frlen = frlen;
    plan.max_payload = k_max_payload;
    plan.with_dsum = dsum;
    plan.width = 320;
    plan.height = 240;
    made.emplace_back(key, tarvo::test::write_stream(plan, frames_for(frlen)));
    return made.back().second;
}

void BM_feed_fetch(benchmark::State &state) {
    uint32_t frlen = static_cast<uint32_t>(state.range(0));
    bool dsum = state.range(1) != 0;
    const Bytes &b = stream_of(frlen, dsum);
    uint32_t frames = frames_for(frlen);
    // Room for every frame one piece can complete.
    tq_stream_cfg_t cfg{frlen >= k_piece ? 10u : 64u};
    tq_stream_t *s = tq_stream_create(&cfg);
    Bytes dst(frlen);
    tq_frame_hdr_t hdr;
    uint64_t out = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < b.size(); off += k_piece) {
            int n = static_cast<int>(std::min<size_t>(k_piece, b.size() - off));
            if (tq_stream_feed_input(s, b.data() + off, n))
                while (tq_stream_fetch_frames(s, dst.data(), frlen, 1, &hdr, false)) ++out;
        }
        benchmark::DoNotOptimize(dst.data());
    }
    tq_stream_state_t st;
    tq_stream_get_state(s, &st);
    if (st.fr_discarded || st.fr_overflow || out != uint64_t{frames} * state.iterations())
        state.SkipWithError("frames were lost");
    state.SetBytesProcessed(static_cast<int64_t>(b.size()) * state.iterations());
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(out), benchmark::Counter::kIsRate);
    tq_stream_destroy(s);
}

void BM_memcpy_twice(benchmark::State &state) {
    uint32_t frlen = static_cast<uint32_t>(state.range(0));
    const Bytes &b = stream_of(frlen, false);
    Bytes mid(frlen);
    Bytes dst(frlen);
    for (auto _ : state) {
        for (size_t off = 0; off < b.size(); off += frlen) {
            size_t n = std::min<size_t>(frlen, b.size() - off);
            std::memcpy(mid.data(), b.data() + off, n);
            benchmark::ClobberMemory();
            std::memcpy(dst.data(), mid.data(), n);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(b.size()) * state.iterations());
}

int quiet_log = (tq_log_enable(0, TQ_LOG_OFF, nullptr), 0);

}  // namespace

BENCHMARK(BM_feed_fetch)->Args({614400, 0})->Args({614400, 1})->Args({4096, 0})->Args({4096, 1});
BENCHMARK(BM_memcpy_twice)->Arg(614400)->Arg(4096);
BENCHMARK_MAIN();
