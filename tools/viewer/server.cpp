// The viewer's web server on civetweb.
#include "server.h"

#include <civetweb.h>

#include <condition_variable>
#include <filesystem>
#include <thread>

namespace tarvo::viewer {

// Frames sent to a page before it reports the first of them drawn: two,
// so that the next frame travels while the page draws one.
constexpr int k_max_in_flight = 2;

struct Server::Viewer {
    unsigned id = 0;
    mg_connection *conn = nullptr;
    std::mutex m;
    std::condition_variable cv;
    FrameBytes pending;  // the newest frame not sent yet
    int in_flight = 0;   // sent, the page has not reported them drawn
    bool closed = false;
    uint64_t sent = 0, dropped_busy = 0;
    std::thread sender;

    void run() {
        for (;;) {
            FrameBytes f;
            {
                std::unique_lock lk(m);
                cv.wait(lk, [&] { return closed || (pending && in_flight < k_max_in_flight); });
                if (closed) return;
                f = std::move(pending);
                pending.reset();
                ++in_flight;
            }
            const int r = mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_BINARY,
                                             reinterpret_cast<const char *>(f->data()), f->size());
            std::lock_guard lk(m);
            if (r <= 0) {
                closed = true;
                return;
            }
            ++sent;
        }
    }
};

namespace {

// The files of the page, by URL: the page's own and the two modules of
// three.js it imports.
const char *const k_page_files[][2] = {
    {"/", "index.html"},
    {"/index.html", "index.html"},
    {"/viewer.js", "viewer.js"},
    {"/viewer.css", "viewer.css"},
};
const char *const k_three_files[][2] = {
    {"/three/three.module.js", "build/three.module.js"},
    {"/three/addons/controls/OrbitControls.js", "examples/jsm/controls/OrbitControls.js"},
};

void send_reply(mg_connection *c, const Reply &r) {
    mg_printf(c,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
              r.status, mg_get_response_code_text(c, r.status), r.type.c_str(), r.body.size());
    mg_write(c, r.body.data(), r.body.size());
}

std::string url_decode(const std::string &s) {
    std::vector<char> out(s.size() + 1);
    const int n = mg_url_decode(s.c_str(), static_cast<int>(s.size()), out.data(),
                                static_cast<int>(out.size()), 1);
    return n < 0 ? std::string() : std::string(out.data(), static_cast<size_t>(n));
}

std::map<std::string, std::string> parse_query(const char *q) {
    std::map<std::string, std::string> out;
    if (!q) return out;
    const std::string s(q);
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t amp = s.find('&', pos);
        if (amp == std::string::npos) amp = s.size();
        const std::string part = s.substr(pos, amp - pos);
        const size_t eq = part.find('=');
        if (!part.empty())
            out[url_decode(part.substr(0, eq))] =
                eq == std::string::npos ? std::string() : url_decode(part.substr(eq + 1));
        pos = amp + 1;
    }
    return out;
}

int quiet_log(const mg_connection *, const char *) {
    return 1;
}

}  // namespace

Server::Server(ApiHandler api) : api_(std::move(api)) {}

Server::~Server() {
    stop();
}

bool Server::start(const ServerOptions &o, std::string &err) {
    opt_ = o;
    namespace fs = std::filesystem;
    for (const auto &f : k_page_files) files_[f[0]] = (fs::path(o.web_dir) / f[1]).string();
    for (const auto &f : k_three_files) files_[f[0]] = (fs::path(o.three_dir) / f[1]).string();
    for (const auto &[url, file] : files_)
        if (!fs::is_regular_file(file)) {
            err = "the page's file " + file +
                  " is missing (scripts/web-deps.sh installs three.js; --web names the "
                  "page's directory)";
            return false;
        }
    const bool v6 = o.bind.find(':') != std::string::npos;
    const std::string ports = (v6 ? "[" + o.bind + "]" : o.bind) + ":" + std::to_string(o.port);
    const std::string threads = std::to_string(8 + 2 * o.max_viewers);
    const char *options[] = {"listening_ports",
                             ports.c_str(),
                             "num_threads",
                             threads.c_str(),
                             "websocket_timeout_ms",
                             "3600000",
                             "request_timeout_ms",
                             "10000",
                             nullptr};
    mg_callbacks cb{};
    cb.log_message = quiet_log;
    mg_init_library(0);
    ctx_ = mg_start(&cb, this, options);
    if (!ctx_) {
        err = "cannot listen on " + ports + " (address in use or not this host's?)";
        return false;
    }
    mg_server_port p[4] = {};
    const int n = mg_get_server_ports(ctx_, 4, p);
    port_ = n > 0 ? p[0].port : o.port;
    mg_set_request_handler(ctx_, "/api/", on_api, this);
    mg_set_request_handler(ctx_, "/", on_file, this);
    mg_set_websocket_handler(ctx_, "/ws", on_ws_connect, on_ws_ready, on_ws_data, on_ws_close,
                             this);
    return true;
}

void Server::stop() {
    if (!ctx_) return;
    mg_stop(ctx_);  // closes every connection: the close handler ends its sender
    ctx_ = nullptr;
    std::lock_guard lk(m_);
    viewers_.clear();
}

int Server::on_file(mg_connection *c, void *self) {
    auto *s = static_cast<Server *>(self);
    const mg_request_info *ri = mg_get_request_info(c);
    const std::string uri = ri->local_uri ? ri->local_uri : "/";
    const auto it = s->files_.find(uri);
    if (it == s->files_.end()) {
        send_reply(c, {404, "text/plain", "no such file\n"});
        return 404;
    }
    if (uri == "/" || uri == "/index.html") {
        std::lock_guard lk(s->m_);
        if (static_cast<int>(s->viewers_.size()) + s->connecting_ >= s->opt_.max_viewers) {
            ++s->refused_;
            send_reply(c, {503, "text/html",
                           "<!doctype html><title>tarvo viewer busy</title><p>This viewer "
                           "already serves " +
                               std::to_string(s->opt_.max_viewers) +
                               " pages (--max-viewers); close one and reload.</p>\n"});
            return 503;
        }
    }
    mg_send_file(c, it->second.c_str());
    return 200;
}

int Server::on_api(mg_connection *c, void *self) {
    auto *s = static_cast<Server *>(self);
    const mg_request_info *ri = mg_get_request_info(c);
    Request rq;
    rq.method = ri->request_method ? ri->request_method : "";
    const std::string uri = ri->local_uri ? ri->local_uri : "";
    rq.path = uri.size() > 5 ? uri.substr(5) : "";
    rq.query = parse_query(ri->query_string);
    const Reply r = s->api_(rq);
    send_reply(c, r);
    return r.status;
}

int Server::on_ws_connect(const mg_connection *, void *self) {
    auto *s = static_cast<Server *>(self);
    std::lock_guard lk(s->m_);
    if (static_cast<int>(s->viewers_.size()) + s->connecting_ >= s->opt_.max_viewers) {
        ++s->refused_;
        return 1;  // civetweb closes the connection
    }
    ++s->connecting_;
    return 0;
}

void Server::on_ws_ready(mg_connection *c, void *self) {
    auto *s = static_cast<Server *>(self);
    auto v = std::make_shared<Viewer>();
    v->conn = c;
    {
        std::lock_guard lk(s->m_);
        --s->connecting_;
        v->id = s->next_id_++;
        s->viewers_.push_back(v);
    }
    mg_set_user_connection_data(c, v.get());
    v->sender = std::thread([v] { v->run(); });
}

int Server::on_ws_data(mg_connection *c, int bits, char *data, size_t len, void *) {
    const int opcode = bits & 0x0F;
    if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
    auto *v = static_cast<Viewer *>(mg_get_user_connection_data(c));
    // The page reports each frame drawn with "drawn".
    if (v && opcode == MG_WEBSOCKET_OPCODE_TEXT && std::string(data, len) == "drawn") {
        std::lock_guard lk(v->m);
        if (v->in_flight > 0) --v->in_flight;
        v->cv.notify_one();
    }
    return 1;
}

void Server::on_ws_close(const mg_connection *c, void *self) {
    auto *s = static_cast<Server *>(self);
    auto *v = static_cast<Viewer *>(mg_get_user_connection_data(c));
    std::shared_ptr<Viewer> keep;
    {
        std::lock_guard lk(s->m_);
        if (!v) {
            --s->connecting_;
            return;
        }
        for (auto it = s->viewers_.begin(); it != s->viewers_.end(); ++it)
            if (it->get() == v) {
                keep = *it;
                s->viewers_.erase(it);
                break;
            }
    }
    if (!keep) return;
    {
        std::lock_guard lk(keep->m);
        keep->closed = true;
        keep->cv.notify_one();
    }
    if (keep->sender.joinable()) keep->sender.join();
}

void Server::publish(FrameBytes frame) {
    std::lock_guard lk(m_);
    for (const auto &v : viewers_) {
        std::lock_guard vl(v->m);
        if (v->pending) ++v->dropped_busy;
        v->pending = frame;
        v->cv.notify_one();
    }
}

std::vector<ViewerStats> Server::viewers() const {
    std::vector<ViewerStats> out;
    std::lock_guard lk(m_);
    for (const auto &v : viewers_) {
        std::lock_guard vl(v->m);
        out.push_back({v->id, v->sent, v->dropped_busy});
    }
    return out;
}

uint64_t Server::refused() const {
    std::lock_guard lk(m_);
    return refused_;
}

}  // namespace tarvo::viewer
