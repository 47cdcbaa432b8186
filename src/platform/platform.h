// The little OS layer: files and directories, directory search, clocks,
// thread ids and sleeps. Paths handed in may use '\' as a separator (the
// library's default prefix is ".\"); every call here treats it as '/'.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace tarvo::platform {

// The path with every '\' turned into '/'.
std::string native_path(const char *path);

// True when something exists at `path`.
bool path_exists(const char *path);

// Creates one directory level; 0 on success, -1 on failure.
int make_dir(const char *path);

// Deletes a file; 0 on success, -1 on failure.
int remove_file(const char *path);

// fopen() with separators translated.
FILE *open_file(const char *path, const char *mode);

// Wildcard directory search ('*' and '?' in the last component): the
// matching paths in name order, with the caller's directory part kept.
class DirSearch {
  public:
    // Starts a search; first() is the first match or null.
    explicit DirSearch(const char *pattern);
    const char *first();
    const char *next();

  private:
    std::vector<std::string> matches_;
    size_t pos_ = 0;
};

struct LocalTime {
    unsigned year, month, day, hour, minute, second, millisecond;
};

// Local calendar time with milliseconds.
LocalTime local_time();

// Milliseconds on the monotonic clock. Every time-out and every measured
// duration of the library uses it, so that a step of the wall clock (or the
// hour repeated at the end of daylight saving time) moves none of them; the
// wall clock serves only log stamps and time stamps.
int64_t mono_ms();

// The monotonic clock `ms` from now, as the absolute time that a timed wait
// on a condition variable made by mono_cond_init takes.
struct timespec mono_deadline_after(int64_t ms);

// Initialises a condition variable whose timed waits measure their deadline
// on the monotonic clock; pthread_cond_init's result.
int mono_cond_init(pthread_cond_t *cond);

// The calling thread's operating-system id.
uint32_t thread_id();

void sleep_ms(uint32_t ms);

// Sleeps of whole seconds used to let a camera settle after a firmware or
// data write. Tests shorten them through set_settle_scale(); nothing in the
// public interface does.
void settle_sleep_s(uint32_t seconds);
void set_settle_scale_ms_per_s(uint32_t ms_per_second);

}  // namespace tarvo::platform
