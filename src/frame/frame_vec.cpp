// Choosing the vector path of the point clouds and colour pictures.
#include "frame/frame_vec.h"

#include <atomic>
#include <cstdlib>

namespace tarvo::frame_vec {
namespace {

std::atomic<Path> g_widest{Path::avx512};

#ifdef TARVO_FRAME_VEC_X86
bool has(Path p) {
    static const bool avx512_ok = avx512::cpu_ok(), avx2_ok = avx2::cpu_ok();
    return p == Path::portable || (p == Path::avx2 && avx2_ok) || (p == Path::avx512 && avx512_ok);
}
#else
bool has(Path p) {
    return p == Path::portable;
}
#endif

}  // namespace

Path path() {
    const Path widest = g_widest.load(std::memory_order_relaxed);
    if (widest >= Path::avx512 && has(Path::avx512)) return Path::avx512;
    if (widest >= Path::avx2 && has(Path::avx2)) return Path::avx2;
    return Path::portable;
}

bool set_widest(Path widest) {
    g_widest.store(widest, std::memory_order_relaxed);
    return has(widest);
}

// Without the vector paths path() only gives Path::portable.
#ifdef TARVO_FRAME_VEC_X86
#define TARVO_ON_PATH(p, call) \
    ((p) == Path::avx512 ? avx512::call : (p) == Path::avx2 ? avx2::call : 0)
#else
#define TARVO_ON_PATH(p, call) 0
#endif

int cmap_pixels(Path p, const CmapView &m, const float *src, int n, int outfmt, uint8_t *dst) {
    return TARVO_ON_PATH(p, cmap_pixels(m, src, n, outfmt, dst));
}

uint32_t *mm_table(Path p, CmapView &view, int64_t pixels) {
    const int64_t entries = static_cast<int64_t>(view.range_max) - view.range_min + 1;
    if (p == Path::portable || entries < 1 || entries > k_mm_table_max || entries * 4 > pixels)
        return nullptr;
    auto *table = static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * entries));
    if (!table) return nullptr;
#ifdef TARVO_FRAME_VEC_X86
    if (p == Path::avx512)
        avx512::fill_mm_table(view, table, entries);
    else
        avx2::fill_mm_table(view, table, entries);
#endif
    view.by_mm = table;
    return table;
}

int pcl_pixels(Path p, const PclRow &row, int u, int stride, float *pcl, int64_t &n,
               int64_t pcl_len) {
    return p == Path::portable ? u : TARVO_ON_PATH(p, pcl_pixels(row, u, stride, pcl, n, pcl_len));
}

}  // namespace tarvo::frame_vec
