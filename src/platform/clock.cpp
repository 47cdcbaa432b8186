// The library's exported wall clock: local calendar time with milliseconds,
// rebuilt into seconds. It stamps log lines and records; time-outs use the
// monotonic clock (platform.h) instead, which no clock step moves.
#include <sys/time.h>

#include <ctime>
#include <mutex>

#include "platform/platform.h"
#include "tarvo/tarvo_log.h"

extern "C" {

TARVO_API int tq_gettimeofday(struct timeval *tv, void *) {
    if (!tv) return 0;
    tarvo::platform::LocalTime lt = tarvo::platform::local_time();
    struct tm tm = {};
    tm.tm_year = static_cast<int>(lt.year) - 1900;
    tm.tm_mon = static_cast<int>(lt.month) - 1;
    tm.tm_mday = static_cast<int>(lt.day);
    tm.tm_hour = static_cast<int>(lt.hour);
    tm.tm_min = static_cast<int>(lt.minute);
    tm.tm_sec = static_cast<int>(lt.second);
    tm.tm_isdst = -1;
    {
        // mktime() re-reads the time zone under a C-library lock that
        // ThreadSanitizer cannot see; one lock of ours keeps the clock
        // callable from every thread without reports.
        static std::mutex mktime_lock;
        std::lock_guard<std::mutex> lock(mktime_lock);
        tv->tv_sec = std::mktime(&tm);
    }
    tv->tv_usec = static_cast<suseconds_t>(lt.millisecond) * 1000;
    return 0;
}

}  // extern "C"
