// Library start and end, log configuration and the path prefix.
#include <cstdio>
#include <cstring>
#include <string>

#include "api/log.h"
#include "frame/cmap_default.h"
#include "platform/platform.h"
#include "tarvo/tarvo_ll.h"

namespace {

// Prefix for calibration file names: at most 255 characters and a NUL.
char g_path_prefix[256];

}  // namespace

extern "C" {

TARVO_API void tarvo_init(const char *log_file) {
    tq_log_enable(0, TQ_LOG_WRN, nullptr);

    std::memset(g_path_prefix, 0, sizeof g_path_prefix);
    std::strcpy(g_path_prefix, ".\\");

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

TARVO_API int tarvo_log_cfg(int console_level, int file_level, int link_level) {
    tq_log_enable(0, console_level, nullptr);
    tq_log_enable(1, file_level, nullptr);
    return tarvo_ll_set_debug(link_level);
}

TARVO_API int tarvo_path_cfg(const char *path) {
    if (!path) {
        TQ_ERR("[%s] null path\n", "tarvo_path_cfg");
        return -1;
    }
    std::strncpy(g_path_prefix, path, sizeof g_path_prefix);
    g_path_prefix[sizeof g_path_prefix - 1] = '\0';
    TQ_DBG("[%s] PATH_PREIFX: %s\n", "tarvo_path_cfg", g_path_prefix);

    std::string work = g_path_prefix;
    if (!work.empty() && (work.back() == '/' || work.back() == '\\')) work.pop_back();

    // Create each leading level in turn; a level that cannot be created
    // does not stop the walk, only the result for the whole path counts.
    for (size_t i = 0; i < work.size(); ++i) {
        if (work[i] != '/' && work[i] != '\\') continue;
        work[i] = '\0';
        const char *level = work.c_str();
        if (*level && !tarvo::platform::path_exists(level)) tarvo::platform::make_dir(level);
        work[i] = '/';
    }
    if (!tarvo::platform::path_exists(work.c_str())) return tarvo::platform::make_dir(work.c_str());
    return 0;
}

TARVO_API char *tarvo_path_get(void) { return g_path_prefix; }

}  // extern "C"
