// Helpers shared by the frame-product tests: the log lines the library
// wrote since the last look, and whole-file reads and writes in the test's
// scratch directory.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/platform.h"
#include "tarvo/tarvo_log.h"

namespace frame_test {

// Sends the library's log to a file of its own and hands out what was
// appended since the previous take().
class LogCapture {
  public:
    explicit LogCapture(const char *path) : path_(path) {
        tq_log_enable(1, TQ_LOG_TRC, path_.c_str());
        take();
    }
    std::string take() {
        std::string all = read_text(path_);
        std::string fresh = all.size() > seen_ ? all.substr(seen_) : std::string();
        seen_ = all.size();
        return fresh;
    }
    static std::string read_text(const std::string &path) {
        std::string out;
        if (FILE *f = tarvo::platform::open_file(path.c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
            std::fclose(f);
        }
        return out;
    }

  private:
    std::string path_;
    size_t seen_ = 0;
};

inline std::vector<uint8_t> read_file(const std::string &path) {
    std::string s = LogCapture::read_text(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

inline void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = tarvo::platform::open_file(path.c_str(), "wb");
    if (!f) return;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

inline std::vector<uint8_t> bytes_of(const std::string &s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A descriptor on a fresh empty file (read and write), or on an existing one.
inline int create_fd(const std::string &path) {
    return tarvo::platform::open_fd(path.c_str(), O_RDWR | O_CREAT | O_TRUNC);
}
inline int open_read_fd(const std::string &path) {
    return tarvo::platform::open_fd(path.c_str(), O_RDONLY);
}

}  // namespace frame_test
