// The _tarvo extension module: the C interface of libtarvo seen from Python,
// with frames as NumPy arrays. The tarvo package (tarvo/__init__.py) builds
// the public Python interface on it: exceptions, names for parameters and
// filters, iteration.
//
// Threads: every call that may block (USB commands, frame waits, decodes,
// file and flash transfers) runs with the GIL released. The frame-ready
// callback of a device runs on a worker thread of this module that sits in
// tarvo_cap_wait(); it takes the GIL only to call the Python callback.
// Device::stop() releases the GIL before it joins that worker, so a stop from
// any thread, or from the callback itself, never waits on a thread that waits
// for the GIL.
#include <fcntl.h>
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarvo/tarvo_data.h"
#include "tarvo/tarvo_dev.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_frame.h"
#include "tarvo/tarvo_log.h"
#include "tarvo/tarvo_types.h"

namespace py = pybind11;

namespace {

// ---- errors ---------------------------------------------------------------

// Kinds of failure; tarvo/_errors.py holds the exception class of each.
enum class Kind { error, no_device, not_capturing, timeout, bad_argument, device_closed };

struct Failure {
    Kind kind;
    int code;
    std::string message;
};

[[noreturn]] void fail(Kind kind, int code, std::string message) {
    throw Failure{kind, code, std::move(message)};
}

// A failed call of the library: its name and result.
[[noreturn]] void fail_call(const char *call, int code) {
    fail(Kind::error, code, std::string(call) + " failed (" + std::to_string(code) + ")");
}

// ---- library state shared by all devices ------------------------------------

std::once_flag g_init_once;

void ensure_init() {
    std::call_once(g_init_once, [] { tarvo_init(nullptr); });
}

// The EPC driver's decode state and the default colour map are process-wide
// and unguarded in the library: decodes, point clouds and colour maps go
// through this lock.
std::mutex g_decode;
// Frame-file loads share the loader's remembered header.
std::mutex g_load;

double now_s() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// ---- devices ----------------------------------------------------------------

struct Stats {
    std::atomic<uint64_t> frames{0};     // frames handed to Python
    std::atomic<uint64_t> lost{0};       // gaps in the frame index
    std::atomic<uint64_t> discarded{0};  // frames the reassembler dropped (stream errors)
    std::atomic<uint64_t> errors{0};     // capture errors reported
    std::atomic<int> last_error{0};
    std::atomic<int> pending{0};  // a negative capture error not yet raised
    int last_idx = -1;            // touched only by the collecting thread
};

struct Device;

// The library's callbacks carry only the record; this maps it back.
std::mutex g_reg_lock;
std::unordered_map<tarvo_dev_t *, Device *> g_registry;

Device *lookup(tarvo_dev_t *rec) {
    std::lock_guard lk(g_reg_lock);
    auto it = g_registry.find(rec);
    return it == g_registry.end() ? nullptr : it->second;
}

struct Frame;

struct Device : std::enable_shared_from_this<Device> {
    tarvo_dev_t rec{};
    std::atomic<bool> open{false};
    std::atomic<uint64_t> generation{0};  // one per successful open
    bool epc = false;
    std::mutex life;  // open and close of this record
    std::vector<uint8_t> buf;
    Stats stats;
    // Frame-ready callback and its worker. on_frame is touched with the GIL.
    py::object on_frame;
    std::thread worker;
    std::atomic<bool> worker_stop{false};
    std::atomic<bool> worker_running{false};
    std::atomic<uint64_t> worker_epoch{0};  // a let-go worker leaves when it changes
    std::thread::id worker_id;
    std::mutex worker_lock;  // start and join of the worker

    Device() : buf(4u << 20) {}
    // The last owner is a Python object going away (GIL held) or the
    // callback worker leaving (GIL not held).
    ~Device() {
        const bool gil = PyGILState_Check();
        if (gil) {
            py::gil_scoped_release nogil;
            join_worker();
            close_record();
        } else {
            join_worker();
            close_record();
        }
        if (!on_frame) return;
        if (gil) {
            on_frame = py::object();
        } else {
            py::gil_scoped_acquire g;
            on_frame = py::object();
        }
    }

    void check_open(const char *what) const {
        if (!open.load()) fail(Kind::no_device, -1, std::string(what) + ": the device is not open");
    }

    // Stops and joins the callback worker. From the worker itself (a stop
    // inside the callback) the worker is let go: it leaves when the callback
    // returns, holding its own reference to the device until then.
    void join_worker() {
        std::thread t;
        {
            std::lock_guard lk(worker_lock);
            worker_stop = true;
            t = std::move(worker);
        }
        if (!t.joinable()) return;
        if (std::this_thread::get_id() == t.get_id())
            t.detach();
        else
            t.join();
    }

    void close_record() {
        std::lock_guard lk(life);
        if (!open.exchange(false)) return;
        {
            std::lock_guard rl(g_reg_lock);
            g_registry.erase(&rec);
        }
        tarvo_dev_close(&rec);
    }

    void count_frame(const tarvo_frame_info_t &info) {
        stats.frames++;
        if (stats.last_idx >= 0) {
            const uint16_t gap = static_cast<uint16_t>(info.frame_idx - stats.last_idx - 1);
            if (gap < 0x8000) stats.lost += gap;
        }
        stats.last_idx = info.frame_idx;
    }

    void start_worker();
};

bool on_error(tarvo_dev_t *rec, int err, int arg) {
    Device *d = lookup(rec);
    if (!d) return true;
    d->stats.errors++;
    d->stats.last_error = err;
    if (err == TARVO_ERR_CAP_FRAME_DISCARD) {
        d->stats.discarded = static_cast<uint32_t>(arg);
    } else if (err < 0) {
        d->stats.pending = err;
    }
    return true;  // keep delivering; a pending stream error is raised by the next call
}

// ---- frames -------------------------------------------------------------------

struct Frame {
    tarvo_frame_info_t info{};
    std::vector<uint8_t> raw;
    double timestamp = 0;
    std::optional<std::pair<double, double>> temps;
    std::shared_ptr<Device> dev;  // null for frames read from a file
    uint64_t generation = 0;
    std::mutex lock;  // the caches below
    std::vector<float> dist, gray;

    int width() const { return static_cast<int>(info.width); }
    int height() const { return static_cast<int>(info.height); }
    size_t pixels() const { return static_cast<size_t>(info.width) * info.height; }

    // The device this frame was captured on, still open as it was then.
    Device &bound(const char *what) const {
        if (!dev)
            fail(Kind::device_closed, -1,
                 std::string(what) + ": the frame was read from a file and has no device");
        if (!dev->open.load() || dev->generation.load() != generation)
            fail(Kind::device_closed, -1,
                 std::string(what) + ": the frame's device has been closed since it was captured");
        return *dev;
    }

    // Decodes (once) the distance or gray image into its cache. GIL released.
    const std::vector<float> &decoded(bool want_gray) {
        std::vector<float> &cache = want_gray ? gray : dist;
        const char *what = want_gray ? "gray()" : "distance()";
        if (!dev) {
            if (cache.empty())
                fail(Kind::bad_argument, -1, std::string(what) + ": the file holds no such image");
            return cache;
        }
        Device &d = bound(what);  // also for a cached image: the frame follows its device
        if (!cache.empty()) return cache;
        std::vector<float> out(pixels());
        if (out.empty()) fail(Kind::error, 0, std::string(what) + ": the frame has no image");
        int n;
        {
            std::lock_guard dl(g_decode);
            n = want_gray
                    ? tarvo_frame_get_gray(&d.rec, out.data(), static_cast<int>(out.size()),
                                           raw.data(), static_cast<uint32_t>(raw.size()), &info)
                    : tarvo_frame_get_distance(&d.rec, out.data(), static_cast<int>(out.size()),
                                               raw.data(), static_cast<uint32_t>(raw.size()),
                                               &info);
        }
        if (n <= 0) {
            bound(what);  // a close in the meantime says so
            fail_call(want_gray ? "tarvo_frame_get_gray" : "tarvo_frame_get_distance", n);
        }
        cache = std::move(out);
        return cache;
    }
};

py::array_t<float> image_array(const Frame &f, const std::vector<float> &img) {
    py::array_t<float> a({f.height(), f.width()});
    std::memcpy(a.mutable_data(), img.data(), img.size() * sizeof(float));
    return a;
}

py::array_t<float> frame_image(Frame &f, bool want_gray) {
    std::vector<float> copy;
    {
        py::gil_scoped_release nogil;
        std::lock_guard lk(f.lock);
        copy = f.decoded(want_gray);
    }
    return image_array(f, copy);
}

py::array_t<float> frame_point_cloud(Frame &f, bool colour,
                                     std::optional<std::vector<float>> camera) {
    tarvo_camera_param_t cam{};
    if (camera) {
        if (camera->size() != 4 && camera->size() != 5)
            fail(Kind::bad_argument, -1, "point_cloud(): camera is (cx, cy, fx, fy[, dist_scale])");
        cam = {(*camera)[0], (*camera)[1], (*camera)[2], (*camera)[3],
               camera->size() == 5 ? (*camera)[4] : 1.0f};
    }
    const size_t per = colour ? 4 : 3;
    py::array_t<float> pts({static_cast<py::ssize_t>(f.pixels()), static_cast<py::ssize_t>(per)});
    float *out = pts.mutable_data();
    int n;
    {
        py::gil_scoped_release nogil;
        std::lock_guard lk(f.lock);
        if (!camera && !f.dev)
            fail(Kind::bad_argument, -1,
                 "point_cloud(): a frame read from a file needs camera=(cx, cy, fx, fy)");
        const std::vector<float> &dist = f.decoded(false);
        // Without camera parameters the driver's lens parameters are used;
        // with them the record only has to exist.
        tarvo_dev_t scratch{};
        tarvo_dev_t *rec = f.dev ? &f.dev->rec : &scratch;
        const int cap = static_cast<int>(f.pixels() * per);
        std::lock_guard dl(g_decode);
        n = colour ? tarvo_frame_get_pcl_xyzd(rec, out, cap, dist.data(),
                                              static_cast<int>(dist.size()), f.width(), f.height(),
                                              true, camera ? &cam : nullptr)
                   : tarvo_frame_get_pcl(rec, out, cap, dist.data(), static_cast<int>(dist.size()),
                                         f.width(), f.height(), camera ? &cam : nullptr);
    }
    if (n < 0) fail_call("tarvo_frame_get_pcl", n);
    return pts[py::slice(0, n, 1)].cast<py::array_t<float>>();
}

py::array_t<uint8_t> frame_colorize(Frame &f, float lo, float hi) {
    py::array_t<uint8_t> rgb({f.height(), f.width(), 3});
    uint8_t *out = rgb.mutable_data();
    {
        py::gil_scoped_release nogil;
        std::lock_guard lk(f.lock);
        const std::vector<float> &dist = f.decoded(false);
        std::lock_guard dl(g_decode);
        tarvo_cmap_float(out, static_cast<int>(f.pixels() * 3), dist.data(),
                         static_cast<int>(dist.size()), TARVO_CMAP_OUTFMT_RGB, lo, hi);
    }
    return rgb;
}

std::shared_ptr<Frame> make_frame(const std::shared_ptr<Device> &d, const tarvo_frame_info_t &info,
                                  const uint8_t *bytes, size_t room) {
    auto f = std::make_shared<Frame>();
    f->info = info;
    f->raw.assign(bytes, bytes + std::min<size_t>(info.frame_size, room));
    f->timestamp = now_s();
    if (d->epc)
        f->temps = std::make_pair(temperatureGetTemperatureByFrameHeader() / 10.0,
                                  temperatureGetIbTemperatureByFrameHeader() / 10.0);
    f->dev = d;
    f->generation = d->generation.load();
    d->count_frame(info);
    return f;
}

// ---- frame files --------------------------------------------------------------

int save_format(const std::string &kind, const std::string &fmt) {
    if (kind == "distance") {
        if (fmt == "F32") return TARVO_FRAME_SAVE_F32;
        if (fmt == "U32") return TARVO_FRAME_SAVE_U32;
        if (fmt == "U16") return TARVO_FRAME_SAVE_U16;
    } else if (kind == "gray") {
        if (fmt == "U8") return TARVO_FRAME_SAVE_U8;
        if (fmt == "U16") return TARVO_FRAME_SAVE_U16;
    }
    fail(Kind::bad_argument, -1,
         "save(): no " + kind + " format " + fmt + " (distance: F32, U32, U16; gray: U8, U16)");
}

void frame_save(Frame &f, const std::filesystem::path &fpath, const std::string &fmt,
                const std::string &kind, bool append) {
    const int code = save_format(kind, fmt);
    const std::string path = fpath.string();
    py::gil_scoped_release nogil;
    std::lock_guard lk(f.lock);
    const std::vector<float> &img = f.decoded(kind == "gray");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd < 0) fail(Kind::error, -1, "save(): cannot open " + path + ": " + std::strerror(errno));
    if (append) ::lseek(fd, 0, SEEK_END);
    const int n = static_cast<int>(img.size());
    const int ok = kind == "gray"
                       ? tarvo_frame_save_gray(fd, code, img.data(), n, f.width(), f.height())
                       : tarvo_frame_save_distance(fd, code, img.data(), n, f.width(), f.height());
    ::close(fd);
    if (ok != 1)
        fail_call(kind == "gray" ? "tarvo_frame_save_gray" : "tarvo_frame_save_distance", ok);
}

// Reads every frame of a distance or gray file.
std::vector<std::shared_ptr<Frame>> load_frames(const std::filesystem::path &fpath) {
    const std::string path = fpath.string();
    ensure_init();
    std::vector<std::shared_ptr<Frame>> frames;
    py::gil_scoped_release nogil;
    std::lock_guard lk(g_load);
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        fail(Kind::error, -1, "load_frames(): cannot open " + path + ": " + std::strerror(errno));
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    char head[8] = {};
    if (::pread(fd, head, 7, 0) != 7)
        fail(Kind::bad_argument, 0, "load_frames(): " + path + " is no frame file");
    const bool gray = std::strncmp(head, "TQ_GRAY", 7) == 0;
    if (!gray && std::strncmp(head, "TQ_DIST", 7) != 0)
        fail(Kind::bad_argument, 0, "load_frames(): " + path + " is no frame file");
    auto load = gray ? tarvo_frame_load_gray : tarvo_frame_load_distance;
    // The header names the sample size; the frame count follows from the
    // file size, so no load runs into the end of the file.
    std::string line(256, '\0');
    const ssize_t got = ::pread(fd, line.data(), line.size(), 0);
    line.resize(got > 0 ? static_cast<size_t>(got) : 0);
    const size_t nl = line.find('\n');
    const off_t header = static_cast<off_t>(nl == std::string::npos ? 256 : nl + 1);
    const size_t comma = line.find(',');
    const std::string token = comma == std::string::npos ? "" : line.substr(comma + 1, 3);
    const size_t sample = token == "F32" || token == "U32" ? 4 : token == "U16" ? 2 : 1;
    struct stat st {};
    ::fstat(fd, &st);
    std::vector<float> img(1u << 22);
    int w = 0, h = 0;
    size_t count = 1;
    for (size_t k = 0; k < count; k++) {
        const int n = load(fd, img.data(), static_cast<int>(img.size()), &w, &h);
        if (n <= 0) fail_call(gray ? "tarvo_frame_load_gray" : "tarvo_frame_load_distance", n);
        if (k == 0) {
            const off_t per = static_cast<off_t>(static_cast<size_t>(w) * h * sample);
            if (per > 0 && st.st_size > header)
                count = static_cast<size_t>((st.st_size - header) / per);
        }
        auto f = std::make_shared<Frame>();
        f->info.width = static_cast<uint32_t>(w);
        f->info.height = static_cast<uint32_t>(h);
        f->info.frame_idx = static_cast<uint16_t>(k);
        f->info.frame_size = static_cast<uint32_t>(n * sizeof(float));
        (gray ? f->gray : f->dist).assign(img.begin(), img.begin() + n);
        frames.push_back(std::move(f));
    }
    return frames;
}

// ---- capture --------------------------------------------------------------------

// A negative capture error reported through the error callback.
void raise_pending(Device &d) {
    const int err = d.stats.pending.exchange(0);
    if (err < 0) fail(Kind::error, err, std::string("capture error ") + tarvo_error_name(err));
}

[[noreturn]] void fail_collect(Device &d, const char *call, int r) {
    if (r == -2) fail(Kind::not_capturing, r, std::string(call) + ": the device is not capturing");
    if (r == -1 && !d.open.load())
        fail(Kind::no_device, r, std::string(call) + ": the device is not open");
    if (r == -1)
        fail(Kind::error, r,
             std::string(call) + ": refused (another call is collecting frames on this device)");
    fail(Kind::error, r, std::string(call) + ": capture error " + tarvo_error_name(r));
}

// Collects n frames, one library call per frame so that each frame keeps its
// own information. timeout < 0: the library's own wait per frame.
std::vector<std::shared_ptr<Frame>> collect(const std::shared_ptr<Device> &dp, int n,
                                            double timeout) {
    Device &d = *dp;
    d.check_open("frames()");
    if (n < 1) fail(Kind::bad_argument, -1, "frames(): n must be at least 1");
    if (d.worker_running.load())
        fail(Kind::error, -1, "frames(): frames go to the on_frame callback; remove it first");
    std::vector<std::shared_ptr<Frame>> out;
    const double deadline = timeout < 0 ? 0 : now_s() + timeout;
    while (static_cast<int>(out.size()) < n) {
        tarvo_frame_info_t info{};
        int r;
        {
            py::gil_scoped_release nogil;
            r = tarvo_cap_get_frames(&d.rec, 1, d.buf.data(), static_cast<uint32_t>(d.buf.size()),
                                     &info);
            if (r == 1) out.push_back(make_frame(dp, info, d.buf.data(), d.buf.size()));
        }
        raise_pending(d);
        if (r < 0) fail_collect(d, "frames()", r);
        if ((r == 0 && timeout < 0) ||
            (timeout >= 0 && now_s() > deadline && static_cast<int>(out.size()) < n)) {
            Failure f{Kind::timeout, 0,
                      "frames(): " + std::to_string(out.size()) + " of " + std::to_string(n) +
                          " frames before the time-out"};
            throw f;
        }
    }
    return out;
}

void frame_ready(tarvo_dev_t *rec, tarvo_frame_t *fr) {
    Device *d = lookup(rec);
    if (!d || d->worker_stop.load()) return;
    std::shared_ptr<Device> dp = d->weak_from_this().lock();
    if (!dp) return;
    auto f = make_frame(dp, fr->frame_info, fr->frame_data, fr->frame_info.frame_size);
    py::gil_scoped_acquire gil;
    if (d->on_frame.is_none() || !d->on_frame) return;
    py::object cb = d->on_frame;
    try {
        cb(f);
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("tarvo on_frame callback");
    }
}

void Device::start_worker() {
    if (std::this_thread::get_id() == worker_id && worker_running.load()) {
        worker_stop = false;  // restarted from the callback: the worker keeps running
        return;
    }
    join_worker();
    std::lock_guard lk(worker_lock);
    const uint64_t mine = ++worker_epoch;
    worker_stop = false;
    worker_running = true;
    tarvo_cap_set_callback_on_frame_ready(&rec, frame_ready);
    // The worker owns the device while it runs, so the record outlives every
    // library call the worker is inside, whoever drops the device meanwhile.
    worker = std::thread([self = shared_from_this(), mine] {
        Device &d = *self;
        auto current = [&] { return d.worker_epoch.load() == mine; };
        while (current() && !d.worker_stop.load() && tarvo_cap_is_ongoing(&d.rec)) {
            if (tarvo_cap_wait(&d.rec, 200)) break;  // the capture ended
        }
        std::lock_guard lk(d.worker_lock);
        if (current()) {
            tarvo_cap_set_callback_on_frame_ready(&d.rec, nullptr);
            d.worker_running = false;
        }
    });
    worker_id = worker.get_id();
}

// ---- the Python-facing device ------------------------------------------------------

struct DeviceInfo {
    int bus, port, address, speed;
    std::optional<std::string> product, id;
    std::optional<int> firmware;
    tarvo_dev_t rec;
};

std::string text_of(const char *s, size_t max) {
    return std::string(s, strnlen(s, max));
}

DeviceInfo usb_identity(const tarvo_dev_t &r) {
    DeviceInfo di{r.if_info.usb_bus_num,
                  r.if_info.usb_port_num,
                  r.if_info.usb_addr,
                  r.if_info.usb_speed,
                  {},
                  {},
                  {},
                  r};
    return di;
}

void fill_identity(DeviceInfo &di, const tarvo_dev_t &r) {
    di.product = text_of(r.product, sizeof r.product);
    di.id = text_of(r.id_text, sizeof r.id_text);
    di.firmware = r.version[2] | (r.version[3] << 8);
}

// Lists the cameras. A camera this process has open gives its identity
// from its open record. probe: open each other camera briefly for its
// product, id and firmware (skipped while this process has a device open,
// since an open would rebind the process-wide EPC engine; those entries
// keep None).
std::vector<DeviceInfo> list_devices(bool probe) {
    ensure_init();
    std::vector<DeviceInfo> out;
    py::gil_scoped_release nogil;
    tarvo_dev_t list[16];
    const int n = tarvo_dev_list(list, 16);
    std::vector<tarvo_dev_t> open_recs;
    {
        std::lock_guard lk(g_reg_lock);
        for (const auto &[rec, dv] : g_registry) open_recs.push_back(*rec);
    }
    for (int i = 0; i < n; i++) {
        DeviceInfo di = usb_identity(list[i]);
        auto same = std::find_if(open_recs.begin(), open_recs.end(), [&](const tarvo_dev_t &r) {
            return r.if_info.usb_bus_num == list[i].if_info.usb_bus_num &&
                   r.if_info.usb_port_num == list[i].if_info.usb_port_num;
        });
        if (same != open_recs.end()) {
            fill_identity(di, *same);
        } else if (probe && open_recs.empty()) {
            tarvo_dev_t r = list[i];
            if (tarvo_dev_open(&r)) {
                fill_identity(di, r);
                tarvo_dev_close(&r);
            }
        }
        out.push_back(std::move(di));
    }
    return out;
}

struct PyDevice {
    std::shared_ptr<Device> d = std::make_shared<Device>();
    std::optional<DeviceInfo> desc;

    PyDevice() = default;
    PyDevice(PyDevice &&) = default;
    // Dropping the device closes it; its frames then refuse device-bound calls.
    ~PyDevice() {
        if (!d || (d->worker.joinable() && std::this_thread::get_id() == d->worker_id)) return;
        py::gil_scoped_release nogil;
        d->join_worker();
        d->close_record();
    }

    void open() {
        ensure_init();
        Device &dv = *d;
        {
            py::gil_scoped_release nogil;
            std::lock_guard lk(dv.life);
            if (dv.open.load()) return;
            dv.rec = desc ? desc->rec : tarvo_dev_t{};
            dv.rec.lldev = nullptr;
            if (!tarvo_dev_open(&dv.rec))
                fail(Kind::no_device, 0, "open(): no camera could be opened");
            const std::string product = text_of(dv.rec.product, sizeof dv.rec.product);
            const size_t dash = product.find('-');
            dv.epc = dash != std::string::npos && product.compare(dash + 1, 1, "E") == 0;
            {
                std::lock_guard rl(g_reg_lock);
                g_registry[&dv.rec] = &dv;
            }
            tarvo_cap_set_callback_on_error(&dv.rec, on_error);
            dv.generation++;
            dv.open = true;
        }
    }

    void close() {
        Device &dv = *d;
        if (dv.worker.joinable() && std::this_thread::get_id() == dv.worker_id)
            fail(Kind::error, -1,
                 "close(): not from the device's own on_frame callback; call stop()");
        py::gil_scoped_release nogil;
        dv.join_worker();
        dv.close_record();
    }

    void start() {
        Device &dv = *d;
        dv.check_open("start()");
        bool ok;
        {
            py::gil_scoped_release nogil;
            dv.join_worker();
            dv.stats.last_idx = -1;
            dv.stats.pending = 0;
            ok = tarvo_cap_start(&dv.rec);
        }
        if (!ok) fail_call("tarvo_cap_start", 0);
        if (!dv.on_frame.is_none() && dv.on_frame) {
            py::gil_scoped_release nogil;
            dv.start_worker();
        }
    }

    void stop() {
        Device &dv = *d;
        dv.check_open("stop()");
        py::gil_scoped_release nogil;
        dv.worker_stop = true;
        tarvo_cap_stop(&dv.rec);
        dv.join_worker();
    }

    void set_on_frame(py::object cb) {
        Device &dv = *d;
        dv.check_open("on_frame()");
        if (!cb.is_none() && !PyCallable_Check(cb.ptr()))
            fail(Kind::bad_argument, -1, "on_frame(): the callback must be callable or None");
        {
            // The worker reads on_frame with the GIL held; it is replaced here
            // with the GIL held too.
            dv.on_frame = cb;
        }
        py::gil_scoped_release nogil;
        if (cb.is_none()) {
            dv.join_worker();
        } else if (tarvo_cap_is_ongoing(&dv.rec)) {
            dv.start_worker();
        }
    }

    py::bytes get_param(uint32_t id) {
        Device &dv = *d;
        dv.check_open("params");
        tarvo_param_item_t it{};
        it.param_id = id;
        bool ok;
        {
            py::gil_scoped_release nogil;
            ok = tarvo_param_batch_get(&dv.rec, &it, 1);
        }
        if (!ok) fail_call("tarvo_param_batch_get", 0);
        return py::bytes(reinterpret_cast<const char *>(it.param_val),
                         std::min<size_t>(it.param_val_len, 18));
    }

    void set_param(uint32_t id, const std::string &value) {
        Device &dv = *d;
        dv.check_open("params");
        if (value.size() > 18)
            fail(Kind::bad_argument, -1, "params: a value holds at most 18 bytes");
        tarvo_param_item_t it{};
        it.param_id = id;
        it.param_val_len = static_cast<uint8_t>(value.size());
        std::memcpy(it.param_val, value.data(), value.size());
        bool ok;
        {
            py::gil_scoped_release nogil;
            ok = tarvo_param_batch_set(&dv.rec, &it, 1);
        }
        if (!ok) fail_call("tarvo_param_batch_set", 0);
    }

    py::array_t<uint32_t> read_registers(int target, uint32_t first, unsigned count) {
        Device &dv = *d;
        dv.check_open("registers");
        if (count < 1 || count > 0xFFFF)
            fail(Kind::bad_argument, -1, "registers: count must be 1 to 65535");
        std::vector<uint32_t> vals(count);
        bool ok;
        {
            py::gil_scoped_release nogil;
            ok = tarvo_reg_batch_read(&dv.rec, target, first, vals.data(), count);
        }
        if (!ok) fail_call("tarvo_reg_batch_read", 0);
        py::array_t<uint32_t> a(static_cast<py::ssize_t>(count));
        std::memcpy(a.mutable_data(), vals.data(), count * sizeof(uint32_t));
        return a;
    }

    void write_registers(int target, uint32_t first, const std::vector<uint32_t> &vals) {
        Device &dv = *d;
        dv.check_open("registers");
        if (vals.empty() || vals.size() > 0xFFFF)
            fail(Kind::bad_argument, -1, "registers: 1 to 65535 values");
        bool ok;
        {
            py::gil_scoped_release nogil;
            ok = tarvo_reg_batch_write(&dv.rec, target, first, vals.data(),
                                       static_cast<unsigned>(vals.size()));
        }
        if (!ok) fail_call("tarvo_reg_batch_write", 0);
    }

    void reset(unsigned target) {
        Device &dv = *d;
        dv.check_open("reset()");
        if (target > 8) fail(Kind::bad_argument, -1, "reset(): target must be 0 to 8");
        bool ok;
        {
            py::gil_scoped_release nogil;
            ok = tarvo_dev_reset(&dv.rec, target);
        }
        if (!ok) fail_call("tarvo_dev_reset", 0);
    }

    int filter(int id, std::optional<std::string> arg, bool enable) {
        Device &dv = *d;
        dv.check_open(enable ? "enable_filter()" : "disable_filter()");
        int r;
        {
            py::gil_scoped_release nogil;
            std::lock_guard dl(g_decode);  // the switches are read while decoding
            r = enable ? tarvo_filter_enable(&dv.rec, id, arg ? arg->data() : nullptr,
                                             arg ? static_cast<uint32_t>(arg->size()) : 0)
                       : tarvo_filter_disable(&dv.rec, id);
        }
        if (r != 1) fail_call(enable ? "tarvo_filter_enable" : "tarvo_filter_disable", r);
        return r;
    }

    // Data transfers. progress(done, total) runs on the calling thread,
    // inside the transfer, with the GIL taken for the call; an exception it
    // raises is reported as unraisable and the transfer goes on.
    int transfer(bool upload, const std::string &path, uint8_t type, uint16_t version,
                 py::object progress) {
        Device &dv = *d;
        dv.check_open(upload ? "read_data()" : "write_data()");
        struct Hook {
            static void call(void *user, uint32_t done, uint32_t total) {
                py::gil_scoped_acquire gil;
                try {
                    (*static_cast<py::object *>(user))(done, total);
                } catch (py::error_already_set &e) {
                    e.discard_as_unraisable("tarvo transfer progress callback");
                }
            }
        };
        const bool hooked = !progress.is_none();
        int r;
        {
            py::gil_scoped_release nogil;
            if (hooked) tarvo_data_set_progress(Hook::call, &progress);
            r = upload ? tarvo_data_upload(&dv.rec, type, path.c_str())
                       : tarvo_data_download(&dv.rec, path.c_str(), type, version, 0);
            if (hooked) tarvo_data_set_progress(nullptr, nullptr);
        }
        if (r != 1) fail_call(upload ? "tarvo_data_upload" : "tarvo_data_download", r);
        return r;
    }

    py::dict stats() const {
        py::dict s;
        s["frames"] = d->stats.frames.load();
        s["lost"] = d->stats.lost.load();
        s["discarded"] = d->stats.discarded.load();
        s["errors"] = d->stats.errors.load();
        s["last_error"] = std::string(tarvo_error_name(d->stats.last_error.load()));
        return s;
    }
};

}  // namespace

PYBIND11_MODULE(_tarvo, m) {
    m.doc() = "Low-level binding of libtarvo; use the tarvo package.";

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Failure &f) {
            py::module_ errors = py::module_::import("tarvo._errors");
            static const char *names[] = {"Error",        "NoDeviceError",    "NotCapturingError",
                                          "TimeoutError", "BadArgumentError", "DeviceClosedError"};
            py::object cls = errors.attr(names[static_cast<int>(f.kind)]);
            py::object exc = cls(f.code, f.message);
            PyErr_SetObject(cls.ptr(), exc.ptr());
        }
    });

    m.def(
        "init",
        [](std::optional<std::string> log_file) {
            std::call_once(g_init_once,
                           [&] { tarvo_init(log_file ? log_file->c_str() : nullptr); });
        },
        py::arg("log_file") = py::none());
    m.def("log_levels", [](int console, int file) {
        ensure_init();
        tarvo_log_cfg(console, file, TQ_LOG_OFF);
    });
    m.def("error_name", &tarvo_error_name);
    m.def("list_devices", &list_devices, py::arg("probe") = true);
    m.def("load_frames", &load_frames, py::arg("path"));

    py::class_<DeviceInfo>(
        m, "DeviceInfo",
        "A camera: USB bus, port, address, speed (3 high), and product, id text and\n"
        "firmware version when known (None otherwise).")
        .def_readonly("bus", &DeviceInfo::bus)
        .def_readonly("port", &DeviceInfo::port)
        .def_readonly("address", &DeviceInfo::address)
        .def_readonly("speed", &DeviceInfo::speed)
        .def_readonly("product", &DeviceInfo::product)
        .def_readonly("id", &DeviceInfo::id)
        .def_readonly("firmware", &DeviceInfo::firmware);

    py::class_<Frame, std::shared_ptr<Frame>>(m, "Frame",
                                              R"(One captured frame, or one frame of a frame file.

Its information and raw bytes stay valid as long as the frame lives. The
device-bound methods (distance, gray, point_cloud, colorize, save) of a
captured frame raise DeviceClosedError once its device has been closed.
Every array returned is new and shares no memory with the library.)")
        .def_property_readonly("index", [](const Frame &f) { return f.info.frame_idx; })
        .def_property_readonly("size", [](const Frame &f) { return f.info.frame_size; })
        .def_property_readonly("format", [](const Frame &f) { return f.info.frame_format; })
        .def_property_readonly("width", [](const Frame &f) { return f.info.width; })
        .def_property_readonly("height", [](const Frame &f) { return f.info.height; })
        .def_property_readonly("bytes_per_pixel", [](const Frame &f) { return f.info.frame_bpp; })
        .def_property_readonly("timestamp", [](const Frame &f) { return f.timestamp; })
        .def_property_readonly("temperatures", [](const Frame &f) { return f.temps; })
        .def_property_readonly("raw",
                               [](const Frame &f) {
                                   return py::bytes(reinterpret_cast<const char *>(f.raw.data()),
                                                    f.raw.size());
                               })
        .def(
            "distance", [](Frame &f) { return frame_image(f, false); },
            "The distance image, float32 (height, width), metres; a value outside (0, 60)\n"
            "carries no distance (65.3 low amplitude, 65.5 ADC overflow).")
        .def(
            "gray", [](Frame &f) { return frame_image(f, true); },
            "The gray (amplitude) image, float32 (height, width).")
        .def("point_cloud", &frame_point_cloud, py::arg("colour") = false,
             py::arg("camera") = py::none(),
             "Points (x, y, z) in metres of the valid pixels, in pixel order: float32 (N, 3).\n"
             "colour=True adds the packed colour 0x00BBGGRR of the default colour map as a\n"
             "fourth value (N, 4). camera=(cx, cy, fx, fy[, dist_scale]) replaces the\n"
             "camera's lens parameters (needed for frames read from a file).")
        .def("colorize", &frame_colorize, py::arg("min") = 0.0f, py::arg("max") = 5.0f,
             "The distance image coloured from near (red) to far (blue) over [min, max]\n"
             "metres: uint8 (height, width, 3) RGB. Sets the default colour map's range.")
        .def("save", &frame_save, py::arg("path"), py::arg("format") = "F32",
             py::arg("kind") = "distance", py::arg("append") = false,
             "Writes the image as a frame file: the distance (format F32, U32 or U16) or,\n"
             "with kind=\"gray\", the gray image (U8 or U16). append adds the frame to an\n"
             "existing file of the same size and format.");

    py::class_<PyDevice>(m, "Device")
        .def(py::init([](std::optional<DeviceInfo> desc) {
                 PyDevice p;
                 p.desc = std::move(desc);
                 return p;
             }),
             py::arg("desc") = py::none())
        .def("open", &PyDevice::open)
        .def("close", &PyDevice::close)
        .def_property_readonly("is_open", [](const PyDevice &p) { return p.d->open.load(); })
        .def_property_readonly(
            "capturing",
            [](PyDevice &p) { return p.d->open.load() && tarvo_cap_is_ongoing(&p.d->rec); })
        .def("identity",
             [](const PyDevice &p) {
                 p.d->check_open("identity");
                 DeviceInfo di = usb_identity(p.d->rec);
                 fill_identity(di, p.d->rec);
                 return di;
             })
        .def("start", &PyDevice::start)
        .def("stop", &PyDevice::stop)
        .def(
            "frames",
            [](PyDevice &p, int n, std::optional<double> timeout) {
                return collect(p.d, n, timeout ? *timeout : -1.0);
            },
            py::arg("n") = 1, py::arg("timeout") = py::none())
        .def("on_frame", &PyDevice::set_on_frame, py::arg("callback"))
        .def("get_param", &PyDevice::get_param)
        .def("set_param", &PyDevice::set_param)
        .def("read_registers", &PyDevice::read_registers)
        .def("write_registers", &PyDevice::write_registers)
        .def("reset", &PyDevice::reset, py::arg("target") = 0)
        .def("filter", &PyDevice::filter)
        .def("transfer", &PyDevice::transfer)
        .def("stats", &PyDevice::stats);
}
