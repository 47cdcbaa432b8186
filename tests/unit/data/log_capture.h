// Captures the library's log lines of a test in a file of its own.
#pragma once

#include <unistd.h>

#include <string>

#include "tarvo/tarvo_log.h"
#include "test_files.h"

namespace data_test {

class LogCapture {
  public:
    explicit LogCapture(const char *file = "data_test.log") : file_(file) {
        tq_log_disable();
        ::unlink(file_);
        tq_log_enable(0, TQ_LOG_OFF, nullptr);
        tq_log_enable(1, TQ_LOG_TRC, file_);
    }
    ~LogCapture() { tq_log_disable(); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const { return tarvo_test::read_file(file_); }
    bool has(const std::string &line) const { return text().find(line) != std::string::npos; }
    size_t count(const std::string &line) const { return tarvo_test::count_of(text(), line); }
    // Forgets what was logged so far.
    void clear() { tarvo_test::write_file(file_, ""); }

  private:
    const char *file_;
};

}  // namespace data_test
