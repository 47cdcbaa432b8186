// The capture loop of tarvo-cli.
#include "capture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace tarvo_cli {

namespace {

// The largest frame taken: four phase planes of the whole sensor, or a
// calibration image.
constexpr uint32_t k_raw_max = 8u << 20;

// What the error callback reported; one capture per process at a time.
std::atomic<uint32_t> g_discarded{0};
std::atomic<int> g_last_error{0};

bool on_error(tarvo_dev_t *, int err, int arg) {
    g_last_error = err;
    if (err == TARVO_ERR_CAP_FRAME_DISCARD && arg > 0) g_discarded = static_cast<uint32_t>(arg);
    return err == TARVO_ERR_CAP_FRAME_DISCARD;
}

bool switch_filters(tarvo_dev_t *dev, const CaptureOptions &o) {
    bool ok = true;
    if (o.undistort)
        ok = ok && tarvo_filter_enable(dev, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0) == 1;
    if (o.min_amplitude >= 0) {
        const int32_t v = o.min_amplitude;
        ok = ok && tarvo_filter_enable(dev, TARVO_FILTER_MIN_AMPLITUDE, &v, sizeof v) == 1;
    }
    if (o.auto_intg >= 0) {
        const uint16_t v = static_cast<uint16_t>(o.auto_intg);
        ok = ok && tarvo_filter_enable(dev, TARVO_FILTER_AUTO_INTEGRATION, &v, sizeof v) == 1;
    }
    if (o.hdr) ok = ok && tarvo_filter_enable(dev, TARVO_FILTER_HDR, nullptr, 0) == 1;
    if (o.sync_guard >= 0) {
        const uint16_t v = static_cast<uint16_t>(o.sync_guard);
        ok = ok && tarvo_filter_enable(dev, TARVO_FILTER_SYNC_GUARD, &v, sizeof v) == 1;
    }
    return ok;
}

void centre_values(const Image &im, std::vector<float> &out) {
    const int half = 8, cx = im.width / 2, cy = im.height / 2;
    for (int v = std::max(0, cy - half); v < std::min(im.height, cy + half); ++v)
        for (int u = std::max(0, cx - half); u < std::min(im.width, cx + half); ++u) {
            const float d = im.dist[static_cast<size_t>(v) * im.width + u];
            if (d > 0 && d < 60) out.push_back(d);
        }
}

}  // namespace

int capture_frames(tarvo_dev_t *dev, const CaptureOptions &o, FrameSink &sink,
                   CaptureSummary &sum) {
    if (!switch_filters(dev, o)) return fail("the camera's driver refused a filter setting");
    g_discarded = 0;
    g_last_error = 0;
    tarvo_cap_set_callback_on_error(dev, on_error);
    if (!tarvo_cap_start(dev)) return fail("the capture did not start");
    std::vector<uint8_t> raw(k_raw_max);
    std::vector<float> centre;
    Image im;
    const bool tty = o.progress && isatty(2);
    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    double decode_ms = 0;
    int status = k_ok;
    int last_idx = -1;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(clock::now() - t0).count();
        if (o.seconds > 0 ? elapsed >= o.seconds : sum.frames >= o.frames) break;
        tarvo_frame_info_t info{};
        const int got = tarvo_cap_get_frames(dev, 1, raw.data(), k_raw_max, &info);
        if (got != 1) {
            // An error the callback took ended the capture (a camera that
            // left the bus): name it rather than the time-out it led to.
            const int err = got < 0 ? got : g_last_error.load();
            fail(err == 0 || err == TARVO_ERR_CAP_FRAME_DISCARD
                     ? std::string("no frame arrived in time")
                     : std::string("the capture failed: ") + tarvo_error_name(err));
            status = k_failed;
            break;
        }
        const int w = static_cast<int>(info.width), h = static_cast<int>(info.height);
        if (w <= 0 || h <= 0 || w > 4096 || h > 4096) {
            status =
                fail("frame of unexpected size " + std::to_string(w) + "x" + std::to_string(h));
            break;
        }
        im.width = w;
        im.height = h;
        im.dist.assign(static_cast<size_t>(w) * h, 0.0f);
        const auto d0 = clock::now();
        const int n =
            tarvo_frame_get_distance(dev, im.dist.data(), w * h, raw.data(), k_raw_max, &info);
        decode_ms += std::chrono::duration<double, std::milli>(clock::now() - d0).count();
        if (n != w * h) {
            status =
                fail("frame " + std::to_string(info.frame_idx) + " did not decode to distance");
            break;
        }
        im.gray.clear();
        if (sink.wants_gray()) {
            im.gray.assign(static_cast<size_t>(w) * h, 0.0f);
            if (tarvo_frame_get_gray(dev, im.gray.data(), w * h, raw.data(), k_raw_max, &info) !=
                w * h)
                im.gray.clear();
        }
        im.decode_ms = std::chrono::duration<double, std::milli>(clock::now() - d0).count();
        if (last_idx >= 0) sum.index_gaps += static_cast<uint16_t>(info.frame_idx - last_idx - 1);
        last_idx = info.frame_idx;
        sum.discarded = g_discarded;
        centre.clear();
        centre_values(im, centre);
        if (!sink.frame(dev, sum.frames, raw.data(), info, im)) {
            status = k_failed;
            break;
        }
        ++sum.frames;
        sum.width = w;
        sum.height = h;
        if (!centre.empty()) {
            std::nth_element(centre.begin(), centre.begin() + centre.size() / 2, centre.end());
            sum.centre_median_m = centre[centre.size() / 2];
        }
        if (tty) {
            const double t = std::chrono::duration<double>(clock::now() - t0).count();
            std::fprintf(stderr, "\rframes %u  %.1f fps  drops %u   ", sum.frames,
                         t > 0 ? sum.frames / t : 0.0, sum.index_gaps);
        }
    }
    if (tty) std::fputc('\n', stderr);
    tarvo_cap_stop(dev);
    tarvo_cap_set_callback_on_error(dev, nullptr);
    if (sum.frames > 0 && !sink.finish(dev)) status = k_failed;
    sum.seconds = std::chrono::duration<double>(clock::now() - t0).count();
    sum.decode_ms_mean = sum.frames ? decode_ms / sum.frames : 0;
    sum.discarded = g_discarded;
    sum.last_error = g_last_error;
    return status;
}

Record summary_record(const CaptureSummary &s) {
    Record drops;
    drops.add("total", s.index_gaps)
        .add("discarded_stream_errors", s.discarded)
        .add("lost_other", s.index_gaps > s.discarded ? s.index_gaps - s.discarded : 0u);
    Record r;
    r.add("frames", s.frames)
        .add("size", std::to_string(s.width) + "x" + std::to_string(s.height))
        .add("seconds", s.seconds)
        .add("fps", s.seconds > 0 ? s.frames / s.seconds : 0.0)
        .add("drops", drops)
        .add("last_error", tarvo_error_name(s.last_error))
        .add("decode_ms_mean", s.decode_ms_mean)
        .add("centre_median_m", s.centre_median_m);
    return r;
}

}  // namespace tarvo_cli
