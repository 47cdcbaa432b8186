// One thread feeds a long stream while others fetch frames and read the
// statistics: every frame comes out whole, once, in order, or is counted
// as dropped. Runs under ThreadSanitizer.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "stream_test_util.h"

namespace tarvo::test {
namespace {

constexpr uint32_t k_frames = 3000;
constexpr uint32_t k_frlen = 1500;
constexpr uint32_t k_capacity = 4;

struct Fetched {
    std::vector<uint32_t> indices;  // frame indices read from the bytes
    int bad = 0;                    // frames whose bytes were not the frame's
};

// Recovers a frame's index from its first bytes and checks the rest.
void check_frame(const uint8_t *p, const tq_frame_hdr_t *h, Fetched &got) {
    uint32_t index = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    Bytes want = frame_bytes(index, k_frlen);
    if (std::memcmp(p, want.data(), k_frlen) != 0 || (h && h->fridx != (index & 0xFFFF)) ||
        (h && h->frlen != k_frlen))
        ++got.bad;
    got.indices.push_back(index);
}

void feed_randomly(tq_stream_t *s, const Bytes &b, unsigned seed) {
    std::mt19937 rng(seed);
    for (size_t off = 0; off < b.size();) {
        size_t n = std::min<size_t>(1 + rng() % 9000, b.size() - off);
        tq_stream_feed_input(s, b.data() + off, static_cast<int>(n));
        off += n;
        if (rng() % 16 == 0) std::this_thread::yield();
    }
}

void expect_accounted(tq_stream_t *s, const Fetched &got) {
    tq_stream_state_t st = state_of(s);
    EXPECT_EQ(got.bad, 0);
    EXPECT_GT(got.indices.size(), 0u);
    EXPECT_EQ(st.fr_discarded, 0u);
    EXPECT_EQ(st.fr_assembled, k_frames);
    EXPECT_EQ(st.fr_queued, k_frames);
    EXPECT_EQ(st.fr_ready, 0u);
    EXPECT_EQ(got.indices.size() + st.fr_overflow, k_frames);
    EXPECT_EQ(st.bytes_skipped, static_cast<uint64_t>(st.fr_overflow) * k_frlen);
    for (size_t i = 1; i < got.indices.size(); ++i)
        ASSERT_LT(got.indices[i - 1], got.indices[i]) << "out of order or twice at " << i;
    std::set<uint32_t> unique(got.indices.begin(), got.indices.end());
    EXPECT_EQ(unique.size(), got.indices.size());
    if (!got.indices.empty()) EXPECT_LT(got.indices.back(), k_frames);
}

Bytes long_stream() {
    StreamPlan plan;
    plan.frlen = k_frlen;
    plan.max_payload = 4000;  // frames cross packet ends
    plan.with_dsum = true;
    return write_stream(plan, k_frames);
}

TEST(StreamThreads, OneFeederOneTakerOneReader) {
    Bytes b = long_stream();
    StreamPtr s = make_stream(k_capacity);
    std::atomic<bool> fed{false};
    Fetched got;
    std::atomic<int> reader_faults{0};

    std::thread taker([&] {
        Bytes buf(k_frlen);
        for (;;) {
            bool done = fed.load();
            tq_frame_hdr_t h{};
            uint32_t n = tq_stream_fetch_frames(s.get(), buf.data(), k_frlen, 1, &h, false);
            if (n == 1)
                check_frame(buf.data(), &h, got);
            else if (done)
                break;
            else
                std::this_thread::yield();
        }
    });
    std::thread reader([&] {
        uint32_t last_queued = 0;
        while (!fed.load()) {
            tq_stream_state_t st{};
            tq_stream_get_state(s.get(), &st);
            if (st.fr_ready > k_capacity || st.fr_queued < last_queued ||
                st.fr_ready > st.fr_queued)
                ++reader_faults;
            last_queued = st.fr_queued;
            tq_frame_hdr_t h{};
            Bytes peeked(k_frlen);
            if (tq_stream_fetch_frames(s.get(), peeked.data(), k_frlen, 1, &h, true) == 1) {
                Fetched one;
                check_frame(peeked.data(), &h, one);
                reader_faults += one.bad;
            }
        }
    });

    feed_randomly(s.get(), b, 7);
    fed.store(true);
    taker.join();
    reader.join();
    EXPECT_EQ(reader_faults.load(), 0);
    expect_accounted(s.get(), got);
}

TEST(StreamThreads, TwoTakersFetchingSeveralFramesAtOnce) {
    Bytes b = long_stream();
    StreamPtr s = make_stream(k_capacity);
    std::atomic<bool> fed{false};
    Fetched got[2];

    auto take = [&](Fetched &mine) {
        Bytes buf(3 * k_frlen);
        for (;;) {
            bool done = fed.load();
            uint32_t n =
                tq_stream_fetch_frames(s.get(), buf.data(), 3 * k_frlen, 3, nullptr, false);
            for (uint32_t i = 0; i < n; ++i) check_frame(buf.data() + i * k_frlen, nullptr, mine);
            if (n == 0 && done) break;
            if (n == 0) std::this_thread::yield();
        }
    };
    std::thread t0(take, std::ref(got[0]));
    std::thread t1(take, std::ref(got[1]));
    feed_randomly(s.get(), b, 11);
    fed.store(true);
    t0.join();
    t1.join();

    // Each taker sees its frames in order; together each frame once.
    for (const Fetched &g : got)
        for (size_t i = 1; i < g.indices.size(); ++i) ASSERT_LT(g.indices[i - 1], g.indices[i]);
    Fetched all;
    all.bad = got[0].bad + got[1].bad;
    all.indices = got[0].indices;
    all.indices.insert(all.indices.end(), got[1].indices.begin(), got[1].indices.end());
    std::sort(all.indices.begin(), all.indices.end());
    expect_accounted(s.get(), all);
}

}  // namespace
}  // namespace tarvo::test
