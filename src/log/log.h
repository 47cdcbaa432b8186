// Internal logging helpers. Every message of the library goes through
// tq_log with its level and tag; the texts begin with "[%s] " and the name
// of the reporting function, which callers pass explicitly.
#pragma once

#include <sys/time.h>

#include "tarvo/tarvo_log.h"

namespace tarvo {

// The common line of a call on a device that is not open; "%s" is the
// reporting function's name.
inline constexpr char k_no_device[] = "[%s]  Device handler Is NULL!\r\n";

inline const char *log_tag(int level) {
    switch (level) {
        case TQ_LOG_TRC:
            return "TRC";
        case TQ_LOG_DBG:
            return "DBG";
        case TQ_LOG_INF:
            return "INF";
        case TQ_LOG_WRN:
            return "WRN";
        default:
            return "ERR";
    }
}

}  // namespace tarvo

#define TQ_LOG(level, ...) ::tq_log((level), ::tarvo::log_tag(level), __VA_ARGS__)
#define TQ_TRC(...) TQ_LOG(TQ_LOG_TRC, __VA_ARGS__)
#define TQ_DBG(...) TQ_LOG(TQ_LOG_DBG, __VA_ARGS__)
#define TQ_INF(...) TQ_LOG(TQ_LOG_INF, __VA_ARGS__)
#define TQ_WRN(...) TQ_LOG(TQ_LOG_WRN, __VA_ARGS__)
#define TQ_ERR(...) TQ_LOG(TQ_LOG_ERR, __VA_ARGS__)
