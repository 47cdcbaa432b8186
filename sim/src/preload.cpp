// Running a process under libumockdev-preload.so.0.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tarvo_sim/sim.h"

namespace tarvo::sim {

namespace {
constexpr const char *k_preload = "libumockdev-preload.so.0";
constexpr const char *k_guard = "TARVO_SIM_REEXEC";
}  // namespace

bool preloaded() {
    void *h = dlopen(k_preload, RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    dlclose(h);
    return true;
}

void ensure_preloaded(int argc, char **argv) {
    (void)argc;
    if (preloaded()) return;
    if (getenv(k_guard)) {
        std::fprintf(stderr, "tarvo-sim: %s did not load after re-exec (is umockdev installed?)\n",
                     k_preload);
        std::exit(125);
    }
    std::string pre = k_preload;
    if (const char *old = getenv("LD_PRELOAD"); old && *old) pre += std::string(":") + old;
    setenv("LD_PRELOAD", pre.c_str(), 1);
    setenv(k_guard, "1", 1);
    // gcc's AddressSanitizer insists on coming first otherwise.
    std::string asan = "verify_asan_link_order=0";
    if (const char *old = getenv("ASAN_OPTIONS"); old && *old) asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARVO_SIM_TSAN 1
#endif
#endif
#if defined(TARVO_SIM_TSAN) || defined(__SANITIZE_THREAD__)
    // GLib and umockdev are not instrumented; their internals are suppressed.
    std::string tsan = std::string("suppressions=") + TARVO_SIM_TSAN_SUPP;
    if (const char *old = getenv("TSAN_OPTIONS"); old && *old) tsan = std::string(old) + ":" + tsan;
    setenv("TSAN_OPTIONS", tsan.c_str(), 1);
#endif
    execv("/proc/self/exe", argv);
    std::perror("tarvo-sim: re-exec under the preload library failed");
    std::exit(125);
}

}  // namespace tarvo::sim
