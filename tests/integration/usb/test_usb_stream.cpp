// The streaming ring of the USB link against a simulated camera: queueing,
// resubmission, stop, abort and the failure events.
#include <algorithm>
#include <mutex>
#include <set>

#include "usb_fixture.h"

namespace {

using tarvo::sim::CameraConfig;
using tarvo::sim::StreamFault;
using usbtest::eventually;

// What the capture callback saw. Like the capture engine, it aborts the
// stream on the events listed in `abort_on`.
class Recorder {
  public:
    // Events the callback answers with an abort, as the capture engine does.
    void abort_on(std::set<int> evts) { abort_on_ = std::move(evts); }

    static int cb(tarvo_ll_dev_t *dev, int evt, const uint8_t *data, int len, void *arg) {
        auto *r = static_cast<Recorder *>(arg);
        {
            std::lock_guard<std::mutex> l(r->m_);
            r->events_.push_back({evt, len});
            r->devs_.insert(dev);
            if (evt == TARVO_LL_EVT_DATA && r->keep_)
                r->bytes_.insert(r->bytes_.end(), data, data + len);
            if (evt == TARVO_LL_EVT_DATA) r->data_bytes_ += static_cast<uint64_t>(len);
        }
        if (r->abort_on_.count(evt)) tarvo_ll_cap_abort(dev);
        return 0;
    }

    void keep_bytes() { keep_ = true; }
    struct Ev {
        int evt, len;
    };
    std::vector<Ev> events() const {
        std::lock_guard<std::mutex> l(m_);
        return events_;
    }
    size_t total() const { return events().size(); }
    int count(int evt) const {
        int n = 0;
        for (auto &e : events()) n += e.evt == evt;
        return n;
    }
    uint64_t data_bytes() const {
        std::lock_guard<std::mutex> l(m_);
        return data_bytes_;
    }
    std::vector<uint8_t> bytes() const {
        std::lock_guard<std::mutex> l(m_);
        return bytes_;
    }
    std::set<tarvo_ll_dev_t *> devs() const {
        std::lock_guard<std::mutex> l(m_);
        return devs_;
    }

  private:
    mutable std::mutex m_;
    std::vector<Ev> events_;
    std::set<tarvo_ll_dev_t *> devs_;
    std::vector<uint8_t> bytes_;
    uint64_t data_bytes_ = 0;
    bool keep_ = false;
    std::set<int> abort_on_{TARVO_LL_EVT_CANCELLED};
};

class UsbStream : public usbtest::UsbFixture {
  protected:
    // Outlives TearDown, which closes the record and so ends the ring.
    Recorder rec;
    int queued() const { return tarvo::usb::ring_queued_word(priv()).load(); }
    // Transfers the link handed to libusb, counted from its own log lines.
    size_t submitted() const {
        return static_cast<size_t>(log->count("] issue: txlen=") + log->count("] issue: size=") -
                                   log->count("Unable to submit URB"));
    }
    bool ring_idle(int ms = 3000) const {
        return eventually([&] { return queued() == 0 && cam().stats().bulk_pending == 0; }, ms);
    }
};

CameraConfig unpaced(uint32_t frames) {
    CameraConfig cfg;
    cfg.stream.paced = false;
    cfg.stream.max_frames = frames;
    return cfg;
}

TEST_F(UsbStream, RingOf16IsQueuedResubmittedAndDeliversTheStreamExactly) {
    start(1, unpaced(24));
    cam().record_payloads(true);
    rec.keep_bytes();
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0x11223344, Recorder::cb, &rec)) << log->dump();
    EXPECT_EQ(cam().capture_arg(), 0x11223344u);
    EXPECT_TRUE(cam().capturing());
    ASSERT_TRUE(cam().wait_for(
        [](const tarvo::sim::Camera &c) { return c.stats().frames_sent == 24; }, 10000));
    ASSERT_TRUE(eventually([&] { return rec.data_bytes() == cam().stats().stream_bytes; }, 5000));

    auto st = cam().stats();
    EXPECT_EQ(st.bulk_pending_max, 16u);
    EXPECT_GT(st.bulk_submitted, 16u);  // reissued from the completions
    EXPECT_EQ(queued(), 16);
    EXPECT_EQ(rec.devs(), std::set<tarvo_ll_dev_t *>{&dev});
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(
            log->has("[usb_ll_cap_start] trans[" + std::to_string(i) + "] issue: txlen=153600"));
    EXPECT_TRUE(log->has("[on_usb_trans_event] trans[0] issue: size=153600 "));

    // The bytes handed up are the packets the camera sent, in order.
    std::vector<uint8_t> want;
    for (auto &p : cam().packets()) {
        ASSERT_FALSE(p.dropped);
        want.insert(want.end(), p.header.begin(), p.header.end());
        want.insert(want.end(), p.payload.begin(), p.payload.end());
    }
    EXPECT_EQ(want.size(), st.stream_bytes);
    EXPECT_TRUE(rec.bytes() == want);

    ASSERT_TRUE(tarvo_ll_cap_stop(&dev));
    EXPECT_EQ(cam().stats().captures_stopped, 1u);
    ASSERT_TRUE(ring_idle());
    // The 16 reads left waiting come back cancelled, once each.
    EXPECT_EQ(rec.count(TARVO_LL_EVT_CANCELLED), 16);
    EXPECT_EQ(rec.total(), submitted());
    EXPECT_EQ(cam().stats().bulk_submitted, submitted());
    EXPECT_EQ(log->count("[usb_ll_cap_stop] trans["), 16);
}

TEST_F(UsbStream, StopCompletesEveryQueuedTransferOnceAndReissuesNone) {
    CameraConfig cfg;
    cfg.frame_rate = 10;  // paced: most reads wait when the stop comes
    start(1, cfg);
    rec.abort_on({});  // no abort from the callback: the stop alone must hold
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec));
    ASSERT_TRUE(eventually([&] { return rec.count(TARVO_LL_EVT_DATA) >= 3; }, 5000));
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev));
    // The stop returns with the ring idle: nothing reaches the callback later.
    EXPECT_EQ(queued(), 0);
    const size_t at_return = rec.total();
    ASSERT_TRUE(ring_idle());
    EXPECT_EQ(rec.total(), at_return);
    const auto issued = submitted();
    EXPECT_EQ(rec.total(), issued);
    EXPECT_GE(rec.count(TARVO_LL_EVT_CANCELLED), 1);
    for (auto &e : rec.events())
        EXPECT_TRUE(e.evt == TARVO_LL_EVT_DATA || e.evt == TARVO_LL_EVT_CANCELLED) << e.evt;
    const auto urbs = cam().stats().bulk_submitted;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(cam().stats().bulk_submitted, urbs);
    EXPECT_EQ(submitted(), issued);
    EXPECT_EQ(rec.total(), issued);
    EXPECT_FALSE(log->has("Unable to submit URB"));
}

TEST_F(UsbStream, RestartReusesTheRing) {
    start(1, unpaced(0));
    for (int round = 0; round < 3; ++round) {
        const auto before = rec.count(TARVO_LL_EVT_DATA);
        ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec)) << round;
        ASSERT_TRUE(eventually([&] { return rec.count(TARVO_LL_EVT_DATA) >= before + 20; }, 5000));
        ASSERT_TRUE(tarvo_ll_cap_stop(&dev));
        ASSERT_TRUE(ring_idle()) << round;
    }
    EXPECT_EQ(cam().stats().captures_started, 3u);
    EXPECT_EQ(rec.total(), submitted());
}

TEST_F(UsbStream, SilenceTimesOutAfterSixSecondsAndIsReissued) {
    CameraConfig cfg;
    start(1, cfg);
    cam().add_stream_fault({StreamFault::Kind::silence, 0, 1, 0});
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec));
    ASSERT_TRUE(eventually([&] { return rec.count(TARVO_LL_EVT_TIMEOUT) >= 16; }, 9000));
    EXPECT_GE(usbtest::ms_since(t0), 5900);
    for (auto &e : rec.events()) {
        EXPECT_EQ(e.evt, TARVO_LL_EVT_TIMEOUT);
        EXPECT_EQ(e.len, 0);
    }
    // Each was reissued.
    ASSERT_TRUE(eventually([&] { return submitted() >= 32; }, 2000));
    EXPECT_EQ(queued(), 16);
    EXPECT_TRUE(log->has("[DBG] [on_usb_trans_event] trans[0] timeout (last_tx=0)"));
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev));
    ASSERT_TRUE(ring_idle());
}

TEST_F(UsbStream, RingTimeoutCanBeShortenedForTests) {
    start();
    cam().add_stream_fault({StreamFault::Kind::silence, 0, 1, 0});
    const int old = tarvo::usb::usb_ll_set_ring_timeout_ms(400);
    auto t0 = std::chrono::steady_clock::now();
    const bool started = tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec);
    tarvo::usb::usb_ll_set_ring_timeout_ms(old);
    ASSERT_TRUE(started);
    ASSERT_TRUE(eventually([&] { return rec.count(TARVO_LL_EVT_TIMEOUT) >= 16; }, 3000));
    EXPECT_GE(usbtest::ms_since(t0), 390);
    EXPECT_LT(usbtest::ms_since(t0), 3000);
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev));
}

TEST_F(UsbStream, StallIsReportedAsMinus7AndCanBeCleared) {
    start(1, unpaced(0));
    cam().add_stream_fault({StreamFault::Kind::stall, 3, 1, 0});
    rec.abort_on({TARVO_LL_EVT_CANCELLED, TARVO_LL_EVT_STALL});
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec));
    ASSERT_TRUE(eventually([&] { return rec.count(TARVO_LL_EVT_STALL) >= 1; }, 5000));
    // Aborted from the callback: the ring empties, nothing is reissued.
    ASSERT_TRUE(ring_idle());
    EXPECT_EQ(rec.total(), submitted());
    EXPECT_TRUE(log->has("[WRN] [on_usb_trans_event] trans["));
    EXPECT_GE(log->count("] stall (last_tx="), 1);
    EXPECT_TRUE(tarvo_ll_cap_stop(&dev));

    // A new start clears the halt and streams again.
    cam().clear_stream_faults();
    const auto halts = cam().stats().clear_halts;
    const int data = rec.count(TARVO_LL_EVT_DATA);
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec));
    EXPECT_EQ(cam().stats().clear_halts, halts + 1);
    EXPECT_TRUE(eventually([&] { return rec.count(TARVO_LL_EVT_DATA) >= data + 10; }, 5000));
    ASSERT_TRUE(tarvo_ll_cap_stop(&dev));
    ASSERT_TRUE(ring_idle());
}

TEST_F(UsbStream, VanishedCameraIsMinus10AndTheRingRunsDry) {
    start();  // paced: the camera leaves well after the start was confirmed
    cam().add_stream_fault({StreamFault::Kind::vanish, 30, 1, 0});
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec)) << log->dump();
    ASSERT_TRUE(eventually([&] { return rec.count(TARVO_LL_EVT_UNKNOWN) >= 1; }, 5000))
        << log->dump();
    // No abort: each reissue fails and the ring shrinks to nothing.
    ASSERT_TRUE(eventually([&] { return queued() == 0; }, 3000)) << queued();
    EXPECT_GE(rec.count(TARVO_LL_EVT_DATA), 1);
    EXPECT_GE(log->count("[WRN] [on_usb_trans_event] trans["), 1);
    EXPECT_GE(log->count("] error (5) (last_tx="), 1);  // LIBUSB_TRANSFER_NO_DEVICE
    EXPECT_GE(log->count("[ERR] [on_usb_trans_event] Unable to submit URB. libusb error code: -4"),
              1);
    // One event per completion, and one more error when the last transfer
    // left the ring.
    EXPECT_EQ(rec.total(), submitted() + 1);
    EXPECT_FALSE(tarvo_ll_cap_stop(&dev));
}

TEST_F(UsbStream, RefusedStartCancelsTheRingAndNothingIsReissued) {
    start();
    cam().refuse_command({0xC2, 4});  // the camera never starts
    EXPECT_FALSE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec));
    EXPECT_FALSE(cam().capturing());
    EXPECT_TRUE(log->has("[WRN] [usb_ll_cap_start] tarvo_ll_cap_start failed"));
    EXPECT_EQ(log->count("[usb_ll_cap_start] trans["), 32);  // 16 issued, 16 cancelled
    ASSERT_TRUE(ring_idle());
    EXPECT_EQ(rec.count(TARVO_LL_EVT_CANCELLED), 16);
    EXPECT_EQ(rec.total(), 16u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(submitted(), 16u);
    EXPECT_EQ(rec.total(), 16u);
    EXPECT_EQ(cam().stats().bulk_submitted, 16u);
}

TEST_F(UsbStream, StartThatTheCameraReportsFailedIsCancelled) {
    start(1, unpaced(0));  // the camera streams at once and keeps streaming
    rec.abort_on({});      // the link alone must end the ring
    cam().fail_command({0xC2, 4}, "sensor asleep");
    EXPECT_FALSE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec));
    EXPECT_TRUE(log->has("[ERR] [usb_ll_check_last_cmd] sensor asleep"));
    EXPECT_TRUE(log->has("[WRN] [usb_ll_cap_start] tarvo_ll_cap_start failed"));
    // Whatever arrived before the cancellations is passed up; no transfer
    // outlives the failed start, even one that completed while the ring was
    // being cancelled.
    ASSERT_TRUE(ring_idle());
    EXPECT_GE(rec.total(), 16u);
    for (auto &e : rec.events())
        EXPECT_TRUE(e.evt == TARVO_LL_EVT_DATA || e.evt == TARVO_LL_EVT_CANCELLED) << e.evt;
    const size_t issued = submitted();
    EXPECT_EQ(rec.total(), issued);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(submitted(), issued);
    EXPECT_EQ(rec.total(), issued);
}

TEST_F(UsbStream, CloseWithoutStopDrainsTheRing) {
    CameraConfig cfg;
    cfg.frame_rate = 50;
    start(1, cfg);
    ASSERT_TRUE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec));
    ASSERT_TRUE(eventually([&] { return rec.count(TARVO_LL_EVT_DATA) >= 2; }, 5000));
    tarvo_ll_dev_close(&dev);
    EXPECT_EQ(dev.priv, nullptr);
    EXPECT_EQ(rec.total(), submitted());
    EXPECT_FALSE(log->has("still queued"));
}

TEST_F(UsbStream, OperationsNeedAnOpenRecord) {
    start(1, {}, false);
    EXPECT_FALSE(tarvo_ll_cap_start(&dev, 0, Recorder::cb, &rec));  // never opened: no table
    EXPECT_FALSE(ll_op_usb.cap_start(&dev, 0, Recorder::cb, &rec));
    EXPECT_FALSE(ll_op_usb.cap_stop(&dev));
    ll_op_usb.cap_abort(&dev);
    EXPECT_EQ(log->count("[usb_ll_cap_start]  USB handler Is NULL!"), 1);
    EXPECT_EQ(rec.total(), 0u);
}

}  // namespace
