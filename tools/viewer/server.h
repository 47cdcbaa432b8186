// The viewer's web server (civetweb): the page's files from a fixed list,
// an API answered by the caller's handler, and frames pushed to every
// viewer over a WebSocket.
//
// Threads: civetweb runs each connection on a thread of its own; each
// viewer has one sender thread. publish() may be called from any thread
// and never blocks on a viewer: each viewer holds at most one frame that
// it has not been sent yet, and a newer frame replaces it (counted as a
// drop of that viewer). At most two frames are on their way to a page
// that has not reported them drawn, so a slow page receives fewer frames
// instead of a queue of old ones.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct mg_context;
struct mg_connection;

namespace tarvo::viewer {

using FrameBytes = std::shared_ptr<const std::vector<uint8_t>>;

struct Request {
    std::string method;  // "GET", "POST"
    std::string path;    // below "/api/", e.g. "status"
    std::map<std::string, std::string> query;
};

struct Reply {
    int status = 200;
    std::string type = "application/json";
    std::string body;
};

struct ServerOptions {
    std::string bind = "127.0.0.1";
    int port = 8080;  // 0: any free port
    // The page (index.html, viewer.js, viewer.css) and three.js (the npm
    // package's directory).
    std::string web_dir, three_dir;
    int max_viewers = 4;
};

struct ViewerStats {
    unsigned id = 0;
    uint64_t sent = 0;
    uint64_t dropped_busy = 0;  // replaced before the page was ready for it
};

class Server {
  public:
    using ApiHandler = std::function<Reply(const Request &)>;
    explicit Server(ApiHandler api);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Starts listening. False with `err` set when the address cannot be
    // bound or a file of the page is missing.
    bool start(const ServerOptions &o, std::string &err);
    // The port actually bound.
    int port() const { return port_; }
    void publish(FrameBytes frame);
    std::vector<ViewerStats> viewers() const;
    uint64_t refused() const;
    void stop();

    struct Viewer;

  private:
    static int on_file(mg_connection *c, void *self);
    static int on_api(mg_connection *c, void *self);
    static int on_ws_connect(const mg_connection *c, void *self);
    static void on_ws_ready(mg_connection *c, void *self);
    static int on_ws_data(mg_connection *c, int bits, char *data, size_t len, void *self);
    static void on_ws_close(const mg_connection *c, void *self);

    ApiHandler api_;
    ServerOptions opt_;
    std::map<std::string, std::string> files_;  // URL path -> file
    mg_context *ctx_ = nullptr;
    int port_ = 0;
    mutable std::mutex m_;
    std::vector<std::shared_ptr<Viewer>> viewers_;
    unsigned next_id_ = 1;
    int connecting_ = 0;  // accepted, not ready yet
    uint64_t refused_ = 0;
};

}  // namespace tarvo::viewer
