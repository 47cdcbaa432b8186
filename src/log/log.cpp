// The logger: two outputs (console and a log file) with their thresholds.
#include "log/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace {

// Thresholds: 0 console, 1 log file, 2 stored only.
std::atomic<int> g_threshold[3] = {3, 1, 5};

// The log file and the name it was opened with. The name is compared by
// pointer identity, never by content; the text is kept for the open only.
std::mutex g_file_lock;
FILE *g_file = nullptr;
const void *g_file_name_id = nullptr;

bool passes(int level, int index) {
    return static_cast<uint32_t>(level) >=
           static_cast<uint32_t>(g_threshold[index].load(std::memory_order_relaxed));
}

}  // namespace

extern "C" {

TARVO_API int tq_log_enable(unsigned index, int level, const char *path) {
    if (index > 2) return 0;
    g_threshold[index].store(level, std::memory_order_relaxed);
    if (index != 1) return 1;

    std::lock_guard<std::mutex> lock(g_file_lock);
    static const char k_default_name[] = "tq.log";
    if (!path) {
        if (g_file) return 1;
        path = k_default_name;
    } else if (path == g_file_name_id && g_file) {
        return 1;
    }
    if (g_file) {
        std::fclose(g_file);
        g_file = nullptr;
    }
    g_file_name_id = path;
    g_file = tarvo::platform::open_file(path, "ab");
    if (!g_file) {
        std::fprintf(stderr, "cannot open file %s for write\n", path);
        return 0;
    }
    return 1;
}

TARVO_API int tq_log_disable(void) {
    for (auto &t : g_threshold) t.store(5, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(g_file_lock);
    if (!g_file) return 0;
    int r = std::fclose(g_file);
    g_file = nullptr;
    return r;
}

TARVO_API void tq_log_raw(int level, const char *fmt, ...) {
    if (!fmt) return;
    bool to_console = passes(level, 0);
    bool to_file = passes(level, 1);
    if (!to_console && !to_file) return;
    std::lock_guard<std::mutex> lock(g_file_lock);
    if (to_console) {
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(stdout, fmt, ap);
        va_end(ap);
    }
    if (to_file && g_file) {
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(g_file, fmt, ap);
        va_end(ap);
        std::fflush(g_file);
    }
}

TARVO_API int tq_log(int level, const char *tag, const char *fmt, ...) {
    if (!fmt) return 0;
    bool to_console = passes(level, 0);
    bool to_file = passes(level, 1);
    if (!to_console && !to_file) return 0;

    tarvo::platform::LocalTime lt = tarvo::platform::local_time();
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]", lt.year,
                  lt.month, lt.day, lt.hour, lt.minute, lt.second, lt.millisecond,
                  tarvo::platform::thread_id());
    if (!tag) tag = "";

    // One lock serialises both outputs, so lines of two threads never mix.
    std::lock_guard<std::mutex> lock(g_file_lock);
    if (to_console) {
        std::fprintf(stdout, "%s[%s] ", prefix, tag);
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(stdout, fmt, ap);
        va_end(ap);
    }
    if (to_file && g_file) {
        std::fprintf(g_file, "%s[%s] ", prefix, tag);
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(g_file, fmt, ap);
        va_end(ap);
        std::fflush(g_file);
    }
    return 0;
}

}  // extern "C"
