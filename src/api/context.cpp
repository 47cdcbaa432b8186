// Log configuration and the path prefix; the library's start and end,
// which compose every subsystem, live above all of them in src/init.
#include "api/context.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_ll.h"

namespace {

// Prefix for calibration file names: at most 255 characters and a NUL.
char g_path_prefix[256];

}  // namespace

namespace tarvo::api {

void path_reset() {
    std::memset(g_path_prefix, 0, sizeof g_path_prefix);
    std::strcpy(g_path_prefix, ".\\");
}

}  // namespace tarvo::api

extern "C" {

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

TARVO_API char *tarvo_path_get(void) {
    return g_path_prefix;
}

}  // extern "C"
