// Frame products used from several threads at once: one map applied by
// many threads, and distance and gray files loaded side by side.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tarvo/tarvo_frame.h"
#include "tarvo/tq_calib_len.h"
#include "test_util.h"

namespace {

TEST(FrameThreads, OneMapAppliedByManyThreads) {
    tq_lens_param_t lens{};
    lens.cx = 80.5;
    lens.cy = 59.5;
    lens.fx = lens.fy = 110;
    lens.dcoeff[0] = -0.2;
    lens.img_w = 160;
    lens.img_h = 120;
    tq_calib_len_map_t map{};
    ASSERT_EQ(tq_calib_len_init_map(&map, &lens), 160 * 120);
    std::vector<float> src(160 * 120);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<float>(i);
    std::vector<float> ref(src.size());
    ASSERT_EQ(tq_calib_len_undistort(&map, ref.data(), 160 * 120, src.data(), 160, 120, 30), 1);

    std::vector<std::vector<float>> out(4, std::vector<float>(src.size()));
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                ok[t] += tq_calib_len_undistort(&map, out[t].data(), 160 * 120, src.data(), 160,
                                                120, 30);
        });
    for (std::thread &th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(ok[t], 20);
        EXPECT_EQ(out[t], ref);
    }
    tq_calib_len_uninit_map(&map);
}

TEST(FrameThreads, DistanceAndGrayFilesLoadSideBySide) {
    std::vector<float> dist(64 * 48, 1.25f), gray(64 * 48, 77.0f);
    for (int kind = 0; kind < 2; ++kind) {
        const int fd = frame_test::create_fd(kind ? "g.bin" : "d.bin");
        for (int f = 0; f < 30; ++f)
            ASSERT_EQ(
                kind ? tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U16, gray.data(), 64 * 48, 64, 48)
                     : tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_U16, dist.data(), 64 * 48, 64,
                                                 48),
                1);
        tarvo::platform::close_fd(fd);
    }
    int loaded[2] = {0, 0};
    auto reader = [&](int kind) {
        const int fd = frame_test::open_read_fd(kind ? "g.bin" : "d.bin");
        std::vector<float> dst(64 * 48);
        int w, h;
        while ((kind ? tarvo_frame_load_gray(fd, dst.data(), 64 * 48, &w, &h)
                     : tarvo_frame_load_distance(fd, dst.data(), 64 * 48, &w, &h)) == 64 * 48) {
            if (dst[100] != (kind ? 77.0f : 1.25f)) break;
            ++loaded[kind];
        }
        tarvo::platform::close_fd(fd);
    };
    frame_test::LogCapture quiet("threads_test.log");
    std::thread a(reader, 0), b(reader, 1);
    a.join();
    b.join();
    EXPECT_EQ(loaded[0], 30);
    EXPECT_EQ(loaded[1], 30);
}

}  // namespace
