// tarvo-cli view: a live view of the camera in the browser. A web server
// (tools/viewer) serves the page and sends it every frame in a compact
// binary form; the page's switches and buttons come back as API calls.
//
// Threads: this thread owns the camera. It captures, decodes, encodes and
// publishes frames, and runs the page's requests between two frames;
// civetweb's threads only queue requests and wait for their answers, and
// read the status snapshot under its mutex. No library call is made from
// any other thread.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include "capture.h"
#include "cli.h"
#include "frame_codec.h"
#include "images.h"
#include "quality.h"
#include "recorder.h"
#include "server.h"
#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_epc.h"
#include "view_switches.h"
#ifdef TARVO_CLI_REPLAY
#include "tarvo_sim/replay.h"
#include "tarvo_sim/sim.h"
#endif

namespace tarvo_cli {

namespace vw = tarvo::viewer;

namespace {

struct ViewArgs {
    CaptureOptions cap;
    std::string source;  // a recording to replay in-process
    vw::ServerOptions server;
    std::string save_dir = ".";
    unsigned fps = 0;  // 0: leave the camera's frame rate
};

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

Record json_reply_error(const std::string &why) {
    Record r;
    r.add("error", why);
    return r;
}

vw::Reply json(const Record &r, int status = 200) {
    return {status, "application/json", r.json()};
}

// A request of the page that the camera thread answers.
struct Job {
    vw::Request rq;
    bool needs_stop = false;  // runs with the capture stopped
    std::promise<vw::Reply> done;
};

class Viewer : public FrameSink {
  public:
    Viewer(const ViewArgs &a, std::string source) : a_(a), source_(std::move(source)) {}

    bool wants_gray() const override { return true; }

    // The API of the page; on civetweb's threads.
    vw::Reply api(const vw::Request &rq) {
        if (rq.path == "status") return status();
        if (rq.path == "palette") return palette();
        if (rq.path == "rays") {
            std::lock_guard lk(m_);
            return {rays_.empty() ? 503 : 200, "application/octet-stream", rays_};
        }
        if (rq.method != "POST") return json(json_reply_error("use POST"), 405);
        auto job = std::make_shared<Job>();
        {
            std::lock_guard lk(m_);
            if (closing_) return json(json_reply_error("the viewer is stopping"), 503);
        }
        job->rq = rq;
        job->needs_stop = (rq.path == "set" && rq.query.count("fps")) ||
                          (rq.path == "record" && rq.query.count("on") && rq.query.at("on") == "1");
        auto answer = job->done.get_future();
        {
            std::lock_guard lk(m_);
            jobs_.push_back(job);
        }
        if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
            return json(json_reply_error("the camera did not answer in time"), 504);
        return answer.get();
    }

    bool frame(tarvo_dev_t *dev, unsigned n, const uint8_t *raw, const tarvo_frame_info_t &info,
               const Image &im) override {
        publish(dev, info, im);
        measure_quality(dev, im);
        if (recorder_ && !recorder_->frame(dev, n, raw, info, im)) stop_recording(dev);
        run_jobs(dev, im, false);
        std::lock_guard lk(m_);
        stop_asked_ =
            std::any_of(jobs_.begin(), jobs_.end(), [](const auto &j) { return j->needs_stop; });
        return !g_stop && !stop_asked_;
    }

    // True once after frame() ended a capture for a request that needs
    // the capture stopped.
    bool take_stop_request() {
        std::lock_guard lk(m_);
        return std::exchange(stop_asked_, false);
    }

    // Between two captures: the requests that need the capture stopped.
    void run_stopped(tarvo_dev_t *dev) { run_jobs(dev, last_, true); }
    void set_summary(CaptureSummary *s) { sum_ = s; }
    void capture_ended() {
        if (sum_) {
            stream_base_ += sum_->discarded;
            lost_base_ +=
                sum_->index_gaps > sum_->discarded ? sum_->index_gaps - sum_->discarded : 0;
        }
        sum_ = nullptr;
    }
    void fail_jobs(const std::string &why) {
        std::lock_guard lk(m_);
        closing_ = true;
        for (auto &j : jobs_) j->done.set_value(json(json_reply_error(why), 503));
        jobs_.clear();
    }
    void close(tarvo_dev_t *dev) {
        if (recorder_) stop_recording(dev);
    }
    void attach(vw::Server *s) { server_ = s; }
    // Before the server starts.
    bool apply_initial(tarvo_dev_t *dev) {
        Switches &s = sw_;
        s.undistort = a_.cap.undistort;
        s.hdr = a_.cap.hdr;
        s.min_amplitude = std::max(0, a_.cap.min_amplitude);  // the driver starts at 0
        s.auto_intg = a_.cap.auto_intg;
        s.sync_guard = a_.cap.sync_guard;
        if (a_.fps && !set_frame_rate(dev, a_.fps)) return false;
        s.fps = a_.fps;
        tarvo_param_item_t item{};
        item.param_id = TARVO_PARAM_FRAME_RATE;
        if (!a_.fps && tarvo_param_batch_get(dev, &item, 1) && item.param_val_len)
            s.fps = le_u32(item.param_val, item.param_val_len);
        return true;
    }
    uint32_t published() const { return counter_; }

  private:
    void publish(tarvo_dev_t *dev, const tarvo_frame_info_t &info, const Image &im) {
        using clock = std::chrono::steady_clock;
        const auto now = clock::now();
        // Frames per second over the last second or so.
        if (fps_n_ == 0) fps_t0_ = now;
        ++fps_n_;
        const double span = std::chrono::duration<double>(now - fps_t0_).count();
        if (span >= 1.0) {
            fps_ = (fps_n_ - 1) / span;
            fps_n_ = 1;
            fps_t0_ = now;
        }
        if (im.width != rays_w_ || im.height != rays_h_ || rays_dirty_) make_rays(dev, im);
        vw::Figures f;
        f.rays_version = rays_version_;
        f.counter = ++counter_;
        f.camera_index = info.frame_idx;
        f.fps = static_cast<float>(fps_);
        if (sum_) {
            f.stream_drops = stream_base_ + sum_->discarded;
            f.lost_drops =
                lost_base_ +
                (sum_->index_gaps > sum_->discarded ? sum_->index_gaps - sum_->discarded : 0);
        }
        const tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
        if (drv && drv->ops == &g_tarvo_driver_op_epc) {
            f.sensor_temp = static_cast<int16_t>(temperatureGetTemperatureByFrameHeader());
            f.ib_temp = static_cast<int16_t>(temperatureGetIbTemperatureByFrameHeader());
            f.integration_us = static_cast<uint16_t>(configGetIntegrationTime3D());
        }
        f.decode_ms = static_cast<float>(im.decode_ms);
        f.time_ms = static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - t_start_).count());
        auto bytes = std::make_shared<std::vector<uint8_t>>(
            vw::encode(f, im.width, im.height, im.dist, im.gray));
        if (!bytes->empty() && server_) server_->publish(std::move(bytes));
        last_ = im;
        std::lock_guard lk(m_);
        fig_ = f;
        size_ = std::to_string(im.width) + "x" + std::to_string(im.height);
    }

    // The ray of every pixel: the library's point cloud of a distance of
    // 1 m everywhere, which the page scales by each pixel's distance (the
    // cloud is linear in the distance). A new table at every change of
    // size or of undistortion; the frames name its version.
    void make_rays(tarvo_dev_t *dev, const Image &im) {
        const size_t px = static_cast<size_t>(im.width) * im.height;
        const std::vector<float> one(px, 1.0f);
        std::vector<float> xyz(3 * px, NAN);
        const int n = tarvo_frame_get_pcl(dev, xyz.data(), static_cast<int>(xyz.size()), one.data(),
                                          static_cast<int>(px), im.width, im.height, nullptr);
        // Every pixel is valid at 1 m, so the points are the pixels in order.
        auto table =
            vw::encode_rays(im.width, im.height, ++rays_version_, xyz, n == static_cast<int>(px));
        rays_w_ = im.width;
        rays_h_ = im.height;
        rays_dirty_ = false;
        std::lock_guard lk(m_);
        rays_.assign(table.begin(), table.end());
    }

    // The depth-quality figures of this frame over the page's region.
    void measure_quality(tarvo_dev_t *dev, const Image &im) {
        tarvo_quality::Figures q;
        const bool ok = quality_.add(dev, im.dist.data(), im.width, im.height, nullptr, q);
        std::lock_guard lk(m_);
        quality_ok_ = ok;
        if (ok) quality_fig_ = q;
    }

    // /api/quality?x=&y=&w=&h=[&truth=M]: the region and the true distance.
    vw::Reply set_quality(const vw::Request &rq) {
        int64_t v[4];
        const char *keys[4] = {"x", "y", "w", "h"};
        for (int k = 0; k < 4; ++k)
            if (!number(rq, keys[k], v[k]) || v[k] < 0 || v[k] > 8192)
                return json(json_reply_error("the region needs x, y, w and h in pixels"), 400);
        double truth = NAN;
        const auto t = rq.query.find("truth");
        if (t != rq.query.end() && !t->second.empty()) {
            char *end = nullptr;
            truth = std::strtod(t->second.c_str(), &end);
            if (*end || !(truth > 0 && truth < 100))
                return json(json_reply_error("truth needs a distance in metres"), 400);
        }
        quality_.set_roi({static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
                          static_cast<int>(v[3])});
        quality_.set_truth(truth);
        Record r;
        r.add("roi", true);
        return json(r);
    }

    void run_jobs(tarvo_dev_t *dev, const Image &im, bool stopped) {
        std::vector<std::shared_ptr<Job>> todo;
        {
            std::lock_guard lk(m_);
            for (auto it = jobs_.begin(); it != jobs_.end();)
                if ((*it)->needs_stop == stopped || stopped) {
                    todo.push_back(*it);
                    it = jobs_.erase(it);
                } else {
                    ++it;
                }
        }
        for (auto &j : todo) j->done.set_value(run(dev, im, j->rq));
    }

    vw::Reply run(tarvo_dev_t *dev, const Image &im, const vw::Request &rq) {
        if (rq.path == "set") return set(dev, rq);
        if (rq.path == "save") return save(dev, im, rq);
        if (rq.path == "record") return record(dev, rq);
        if (rq.path == "quality") return set_quality(rq);
        return json(json_reply_error("no such request: " + rq.path), 404);
    }

    static bool number(const vw::Request &rq, const char *key, int64_t &v) {
        const auto it = rq.query.find(key);
        return it != rq.query.end() && parse_int(it->second, v);
    }

    // /api/set?NAME=VALUE: one switch of the camera; a negative value
    // switches a filter with a value off.
    vw::Reply set(tarvo_dev_t *dev, const vw::Request &rq) {
        if (rq.query.size() != 1) return json(json_reply_error("set one switch at a time"), 400);
        const std::string name = rq.query.begin()->first;
        int64_t v = 0;
        if (!number(rq, name.c_str(), v) || v < -1 || v > 65535)
            return json(json_reply_error(name + " needs a number from -1 to 65535"), 400);
        Switches sw = sw_;  // only this thread writes sw_
        std::string why;
        const int status = apply_switch(dev, name, v, sw, why);
        if (status != 200) return json(json_reply_error(why), status);
        if (name == "undistort") rays_dirty_ = true;
        std::lock_guard lk(m_);
        sw_ = sw;
        return json(switches_record(sw));
    }

    std::string next_path(const char *ext) {
        ++saved_;
        return (std::filesystem::path(a_.save_dir) /
                ("tarvo_view_" + std::to_string(counter_) + "_" + std::to_string(saved_) + ext))
            .string();
    }

    // /api/save?kind=png|gray_png|ply|dist: the frame just published.
    vw::Reply save(tarvo_dev_t *dev, const Image &im, const vw::Request &rq) {
        const auto it = rq.query.find("kind");
        const std::string kind = it == rq.query.end() ? "" : it->second;
        if (im.dist.empty()) return json(json_reply_error("no frame yet"), 503);
        std::string path;
        bool ok = false;
        Record r;
        if (kind == "png") {
            path = next_path(".png");
            ok = write_color_png(path, im, range_min_, range_max_);
        } else if (kind == "gray_png") {
            path = next_path("_gray.png");
            ok = write_gray_png(path, im, 0);
        } else if (kind == "ply") {
            path = next_path(".ply");
            const int points = write_ply(path, dev, im, nullptr, true);
            ok = points >= 0;
            r.add("points", points);
        } else if (kind == "dist") {
            path = next_path(".tq");
            FILE *f = std::fopen(path.c_str(), "wb");
            ok = f && tarvo_frame_save_distance(fileno(f), TARVO_FRAME_SAVE_F32, im.dist.data(),
                                                im.width * im.height, im.width, im.height);
            if (f) ok = std::fclose(f) == 0 && ok;
        } else {
            return json(json_reply_error("kind must be png, gray_png, ply or dist"), 400);
        }
        if (!ok) return json(json_reply_error("cannot write " + path), 500);
        r.add("path", std::filesystem::absolute(path).lexically_normal().string());
        return json(r);
    }

    // /api/record?on=1|0: starts (with the capture stopped, to read the
    // camera's stored calibration once) or stops a recording.
    vw::Reply record(tarvo_dev_t *dev, const vw::Request &rq) {
        const auto it = rq.query.find("on");
        const bool on = it != rq.query.end() && it->second == "1";
        Record r;
        if (on) {
            if (recorder_) return json(json_reply_error("already recording"), 409);
            if (!calib_read_) {
                calib_ = calibration_of(dev);
                calib_read_ = true;
            }
            rec_path_ = std::filesystem::absolute(next_path(".tvr")).lexically_normal().string();
            recorder_ = std::make_unique<RecordSink>(rec_path_, "", identity_of(dev),
                                                     params_of(dev), calib_);
            r.add("recording", true).add("path", rec_path_);
        } else {
            if (!recorder_) return json(json_reply_error("not recording"), 409);
            const uint32_t frames = recorder_->frames();
            const bool ok = stop_recording(dev);
            r.add("recording", false).add("path", rec_path_).add("frames", frames);
            if (!ok) return json(json_reply_error("writing " + rec_path_ + " failed"), 500);
        }
        std::lock_guard lk(m_);
        recording_ = on;
        return json(r);
    }

    bool stop_recording(tarvo_dev_t *dev) {
        const bool ok = recorder_->frames() == 0 || recorder_->finish(dev);
        recorder_.reset();
        std::lock_guard lk(m_);
        recording_ = false;
        return ok;
    }

    vw::Reply status() {
        Record r;
        Record drops;
        std::lock_guard lk(m_);
        drops.add("stream_errors", fig_.stream_drops).add("lost_before_tool", fig_.lost_drops);
        std::vector<Record> viewers;
        if (server_)
            for (const auto &v : server_->viewers()) {
                Record one;
                one.add("id", v.id).add("sent", v.sent).add("dropped_busy", v.dropped_busy);
                viewers.push_back(one);
            }
        r.add("source", source_)
            .add("frames", fig_.counter)
            .add("size", size_)
            .add("fps", static_cast<double>(fig_.fps))
            .add("drops", drops)
            .add("viewers", viewers)
            .add("viewers_refused", server_ ? server_->refused() : 0)
            .add("decode_ms", static_cast<double>(fig_.decode_ms))
            .add("switches", switches_record(sw_))
            .add("recording", recording_)
            .add("save_dir", std::filesystem::absolute(a_.save_dir).lexically_normal().string());
        if (quality_ok_) r.add("quality", quality_record(quality_fig_));
        return json(r);
    }

    // The library's colour map (30000 entries, 0x00BBGGRR) for the page.
    vw::Reply palette() {
        std::lock_guard lk(m_);
        if (palette_.empty()) {
            tq_cmap_t cm{};
            if (tq_cmap_init(&cm, 30000)) {
                palette_.resize(4 * static_cast<size_t>(cm.size));
                for (int i = 0; i < cm.size; ++i)
                    for (int k = 0; k < 4; ++k)
                        palette_[4 * static_cast<size_t>(i) + k] =
                            static_cast<char>(cm.palette[i] >> (8 * k));
                tq_cmap_uninit(&cm);
            }
        }
        return {palette_.empty() ? 500 : 200, "application/octet-stream", palette_};
    }

    const ViewArgs &a_;
    std::string source_;
    vw::Server *server_ = nullptr;
    CaptureSummary *sum_ = nullptr;
    uint32_t stream_base_ = 0, lost_base_ = 0;
    int rays_w_ = 0, rays_h_ = 0;
    uint16_t rays_version_ = 0;
    bool rays_dirty_ = false;
    Image last_;
    uint32_t counter_ = 0;
    unsigned saved_ = 0;
    unsigned fps_n_ = 0;
    double fps_ = 0;
    std::chrono::steady_clock::time_point fps_t0_, t_start_ = std::chrono::steady_clock::now();
    float range_min_ = 0.0f, range_max_ = 5.0f;
    std::unique_ptr<RecordSink> recorder_;
    std::string rec_path_;
    std::vector<uint8_t> calib_;
    bool calib_read_ = false;
    tarvo_quality::Analyzer quality_{30};

    // Shared with civetweb's threads.
    mutable std::mutex m_;
    std::vector<std::shared_ptr<Job>> jobs_;
    vw::Figures fig_;
    std::string size_;
    Switches sw_;  // written by the camera thread only under jobs, read in status()
    bool recording_ = false;
    bool stop_asked_ = false, closing_ = false;
    std::string palette_;
    std::string rays_;  // the ray table, GET /api/rays
    tarvo_quality::Figures quality_fig_;
    bool quality_ok_ = false;
};

std::string web_dir_default() {
#ifdef TARVO_VIEWER_WEB_DIR
    return TARVO_VIEWER_WEB_DIR;
#else
    return "web";
#endif
}

// Serves the open camera until a signal ends the view.
int serve(const ViewArgs &a, tarvo_dev_t *dev, const std::string &source) {
    Viewer view(a, source);
    if (!view.apply_initial(dev)) return fail("the camera refused the frame rate");
    vw::Server server([&view](const vw::Request &rq) { return view.api(rq); });
    vw::ServerOptions so = a.server;
    if (so.web_dir.empty()) so.web_dir = web_dir_default();
    so.three_dir = (std::filesystem::path(so.web_dir) / "node_modules" / "three").string();
    std::string err;
    view.attach(&server);
    if (!server.start(so, err)) return fail(err);
    const bool v6 = so.bind.find(':') != std::string::npos;
    std::printf("listening on http://%s:%d/\n",
                (v6                     ? "[" + so.bind + "]"
                 : so.bind == "0.0.0.0" ? "127.0.0.1"
                                        : so.bind)
                    .c_str(),
                server.port());
    std::fflush(stdout);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    CaptureOptions o = a.cap;
    o.frames = 0;
    o.seconds = 1e12;
    o.progress = false;
    int status = k_ok;
    while (!g_stop) {
        CaptureSummary sum;
        view.set_summary(&sum);
        status = capture_frames(dev, o, view, sum);
        view.capture_ended();
        // The filters are the camera's now; later captures leave them be.
        o.undistort = o.hdr = false;
        o.min_amplitude = o.auto_intg = o.sync_guard = -1;
        if (g_stop) break;
        if (!view.take_stop_request()) break;  // the camera failed: said why
        view.run_stopped(dev);
        status = k_ok;
    }
    view.fail_jobs("the viewer is stopping");
    view.close(dev);
    server.stop();
    std::printf("frames %u\n", view.published());
    return g_stop ? k_ok : status;
}

int run_view(const Global &g, const ViewArgs &a) {
    std::error_code ec;
    if (!std::filesystem::is_directory(a.save_dir, ec))
        return fail("--save-dir " + a.save_dir + " is no directory", k_usage);
    if (a.source.empty()) {
        Session s(g);
        tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
        if (!dev) return s.open_status();
        return serve(a, dev, "camera");
    }
#ifdef TARVO_CLI_REPLAY
    // A recording opened directly: replayed in-process on a simulated
    // camera, looping, and decoded through the library as live frames.
    tarvo::sim::ensure_preloaded(0, g.argv);  // returns at once after the re-exec
    tarvo::rec::Recording r;
    std::string err;
    if (!tarvo::rec::load(a.source, r, err)) return fail(err);
    try {
        tarvo::sim::Bus bus(1, tarvo::sim::replay_config(r));
        Global one = g;
        one.device = 0;
        Session s(one);
        tarvo_dev_t *dev = s.ok() ? s.open() : nullptr;
        if (!dev) return s.open_status();
        return serve(a, dev, a.source);
    } catch (const std::exception &e) {
        return fail(std::string("the simulated camera for the replay did not start: ") + e.what());
    }
#else
    return fail(
        "this tarvo-cli was built without the simulated camera that replays recordings; "
        "use 'tarvo-sim run --play FILE -- tarvo-cli view'");
#endif
}

}  // namespace

void add_view(CLI::App &app, Global &g, Runner &run) {
    auto a = std::make_shared<ViewArgs>();
    CLI::App *c = app.add_subcommand(
        "view", "show the camera live in a web browser (http://127.0.0.1:8080/ by default)");
    c->add_option("recording", a->source,
                  "a recording to show instead of a camera (replayed, looping)");
    c->add_option("--port", a->server.port, "port to listen on (default 8080; 0: any free port)")
        ->check(CLI::Range(0, 65535));
    c->add_option("--bind", a->server.bind,
                  "address to listen on (default 127.0.0.1, this host only; 0.0.0.0: every "
                  "interface)");
    c->add_option("--max-viewers", a->server.max_viewers,
                  "pages served at once (default 4); one more is refused with HTTP 503")
        ->check(CLI::Range(1, 16));
    c->add_option("--save-dir", a->save_dir,
                  "directory for the pictures, point clouds, frame files and recordings the "
                  "page's buttons save (default: the working directory)");
    c->add_option("--web", a->server.web_dir, "directory of the page's files");
    c->add_option("--fps", a->fps, "frame rate to set on the camera")->check(CLI::Range(1, 1000));
    add_filter_options(c, a->cap);
    c->callback([&g, &run, a] { run = [&g, a] { return run_view(g, *a); }; });
}

}  // namespace tarvo_cli
