// Time-outs against a wall clock that jumps: this program replaces the C
// library's gettimeofday (the library's wall clock is built on it), and
// while a jump is armed every reading lies an hour further ahead of (or
// behind) the previous one, as a clock step or the hour repeated at the end
// of daylight saving time would make it. Waits, command time-outs and the
// busy bound must keep their lengths, because they run on the monotonic
// clock.
#include <sys/time.h>

#include <atomic>
#include <future>
#include <thread>

#include "dev_sim.h"

namespace {

std::atomic<int64_t> g_jump_s{0};    // added per reading while armed
std::atomic<int64_t> g_offset_s{0};  // the jumps so far

}  // namespace

extern "C" int gettimeofday(struct timeval *__restrict tv, void *__restrict) noexcept {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t off = g_offset_s.fetch_add(g_jump_s.load()) + g_jump_s.load();
    tv->tv_sec = ts.tv_sec + off;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

namespace {

using namespace devtest;

// Arms the jumping clock for a scope.
class JumpingClock {
  public:
    explicit JumpingClock(int64_t per_reading_s) { g_jump_s = per_reading_s; }
    ~JumpingClock() {
        g_jump_s = 0;
        g_offset_s = 0;
    }
};

class ClockSteps : public SimTest {};

TEST_F(ClockSteps, CaptureWaitKeepsItsLengthWhenTheWallClockJumps) {
    tarvo::sim::Camera cam = make_bus(ti_camera(50));
    tarvo_dev_t *dev = open_first(&rec_);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(tarvo_cap_start(dev));
    for (int64_t jump : {3600, -3600}) {
        // A wait that overruns is ended by stopping the capture after 3 s,
        // so that a failure does not hang the test for an hour.
        auto t0 = std::chrono::steady_clock::now();
        std::promise<void> returned;
        std::thread guard([&, f = returned.get_future()] {
            if (f.wait_for(std::chrono::seconds(3)) == std::future_status::timeout)
                tarvo_cap_stop(dev);
        });
        {
            JumpingClock clock(jump);
            tarvo_cap_wait(dev, 300);
        }
        returned.set_value();
        guard.join();
        const int64_t took = ms_since(t0);
        EXPECT_GE(took, 290) << "jump " << jump;
        EXPECT_LT(took, 2000) << "jump " << jump;
    }
    EXPECT_TRUE(tarvo_cap_stop(dev));
}

TEST_F(ClockSteps, BusyCameraBoundIsMeasuredOnTheMonotonicClock) {
    tarvo::sim::Camera cam = make_bus(ti_camera(50));
    tarvo_dev_t *dev = open_first(&rec_);
    ASSERT_NE(dev, nullptr);
    // Two busy answers take about 20 ms, far inside the 10 s bound, however
    // far the wall clock jumps meanwhile.
    cam.set_busy_polls(2);
    const uint32_t v = 42;
    {
        JumpingClock clock(3600);
        EXPECT_TRUE(tarvo_reg_batch_write(dev, 1, 3, &v, 1));
    }
    EXPECT_EQ(cam.reg(1, 3), 42u);
    EXPECT_FALSE(log_has("camera still busy"));
}

}  // namespace
