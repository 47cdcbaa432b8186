#include "platform/platform.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

namespace tarvo::platform {

std::string native_path(const char *path) {
    std::string p = path ? path : "";
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

bool path_exists(const char *path) {
    if (!path || !*path) return false;
    struct stat st;
    return ::stat(native_path(path).c_str(), &st) == 0;
}

int make_dir(const char *path) {
    if (!path || !*path) return -1;
    return ::mkdir(native_path(path).c_str(), 0777) == 0 ? 0 : -1;
}

int remove_file(const char *path) {
    if (!path) return -1;
    return ::unlink(native_path(path).c_str()) == 0 ? 0 : -1;
}

FILE *open_file(const char *path, const char *mode) {
    if (!path || !mode) return nullptr;
    return std::fopen(native_path(path).c_str(), mode);
}

DirSearch::DirSearch(const char *pattern) {
    std::string p = native_path(pattern);
    std::string dir = ".";
    std::string prefix;
    std::string glob = p;
    size_t slash = p.rfind('/');
    if (slash != std::string::npos) {
        dir = slash == 0 ? "/" : p.substr(0, slash);
        prefix = p.substr(0, slash + 1);
        glob = p.substr(slash + 1);
    }
    DIR *d = ::opendir(dir.c_str());
    if (!d) return;
    while (struct dirent *e = ::readdir(d)) {
        if (std::string(e->d_name) == "." || std::string(e->d_name) == "..") continue;
        if (::fnmatch(glob.c_str(), e->d_name, 0) == 0) matches_.push_back(prefix + e->d_name);
    }
    ::closedir(d);
    std::sort(matches_.begin(), matches_.end());
}

const char *DirSearch::first() {
    pos_ = 0;
    return next();
}

const char *DirSearch::next() {
    if (pos_ >= matches_.size()) return nullptr;
    return matches_[pos_++].c_str();
}

LocalTime local_time() {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    struct tm tm;
    ::localtime_r(&secs, &tm);
    return LocalTime{static_cast<unsigned>(tm.tm_year + 1900), static_cast<unsigned>(tm.tm_mon + 1),
                     static_cast<unsigned>(tm.tm_mday),        static_cast<unsigned>(tm.tm_hour),
                     static_cast<unsigned>(tm.tm_min),         static_cast<unsigned>(tm.tm_sec),
                     static_cast<unsigned>(tv.tv_usec / 1000)};
}

int64_t mono_ms() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct timespec mono_deadline_after(int64_t ms) {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t ns = static_cast<int64_t>(ts.tv_nsec) + (ms % 1000) * 1000000;
    int64_t sec = static_cast<int64_t>(ts.tv_sec) + ms / 1000 + ns / 1000000000;
    ns %= 1000000000;
    if (ns < 0) {
        ns += 1000000000;
        --sec;
    }
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(ns);
    return ts;
}

int mono_cond_init(pthread_cond_t *cond) {
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0) rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

uint32_t thread_id() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

void sleep_ms(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {
std::atomic<uint32_t> g_settle_ms_per_s{1000};
}

void settle_sleep_s(uint32_t seconds) {
    sleep_ms(seconds * g_settle_ms_per_s.load(std::memory_order_relaxed));
}

void set_settle_scale_ms_per_s(uint32_t ms_per_second) {
    g_settle_ms_per_s.store(ms_per_second, std::memory_order_relaxed);
}

}  // namespace tarvo::platform
