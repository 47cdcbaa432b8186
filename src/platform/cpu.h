// What the processor offers, probed once per process: the vector paths
// choose themselves with these at run time.
#pragma once

#if defined(__x86_64__) || defined(__i386__)

namespace tarvo::platform {

// AVX-512 Foundation with the byte/word, doubleword/quadword and
// vector-length extensions: the set every AVX-512 path here needs.
inline bool cpu_has_avx512() {
    static const bool ok = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    }();
    return ok;
}

// One further feature, by its compiler name ("bmi2", "avx512vbmi", ...).
#define TARVO_CPU_HAS(feature) (__builtin_cpu_init(), __builtin_cpu_supports(feature))

}  // namespace tarvo::platform

#endif
