// The library's start and end: the one place that composes every subsystem
// (logging, path prefix, link, default colour map), from the top, so that
// no subsystem has to reach one above it.
#include <cstdio>

#include "api/context.h"
#include "frame/cmap_default.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_ll.h"

extern "C" {

TARVO_API void tarvo_init(const char *log_file) {
    tq_log_enable(0, TQ_LOG_WRN, nullptr);
    tarvo::api::path_reset();

    char name[64];
    if (!log_file) {
        tarvo::platform::LocalTime lt = tarvo::platform::local_time();
        std::snprintf(name, sizeof name, "tarvo_%04u%02u%02u.log", lt.year, lt.month, lt.day);
        log_file = name;
    }
    tq_log_enable(1, TQ_LOG_DBG, log_file);

    tq_log(TQ_LOG_INF, "INF", "[%s]  --- %s %s(compile at %s %s) log start -----\n", "tarvo_init",
           "TARVO", TARVO_VERSION_TEXT, __DATE__, __TIME__);

    tarvo_ll_init();
    tq_cmap_init(&tarvo::default_cmap(), 30000);
}

TARVO_API void tarvo_uninit(void) {
    TQ_DBG("[%s] ----- AL log END ----\n\n", "tarvo_uninit");
    tq_cmap_uninit(&tarvo::default_cmap());
    tq_log_disable();
    tarvo_ll_uninit();
}

}  // extern "C"
