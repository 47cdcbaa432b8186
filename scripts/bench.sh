#!/usr/bin/env bash
# Builds the Release benchmarks and prints one table: each figure beside
# the reference it is held against, both measured in the same benchmark
# program run (repetitions interleaved at random, the fastest repetition
# taken: on a shared machine the least disturbed one), and their ratio.
#
#   scripts/bench.sh                 build/bench, 10 repetitions
#   TARVO_BENCH_REPS=20 ...          more repetitions
#   TARVO_JOBS=1 ...                 build with one job
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/tarvo-ccache}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
jobs=${TARVO_JOBS:-$(nproc)}
reps=${TARVO_BENCH_REPS:-10}
dir=build/bench
programs=(frame_pcl calib_len epc_pipeline)

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTARVO_BENCH=ON -DTARVO_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$jobs" --target "${programs[@]/#/bench_}" >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for p in "${programs[@]}"; do
  (cd "$out" && "$root/$dir/bench/bench_$p" --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.05 \
    --benchmark_out="$out/$p.json" --benchmark_out_format=json >/dev/null 2>&1)
done

python3 - "$out" <<'EOF'
import json, os, sys

# Fastest repetition of every benchmark, in microseconds.
best = {}
for name in os.listdir(sys.argv[1]):
    if not name.endswith(".json"):
        continue
    with open(os.path.join(sys.argv[1], name)) as f:
        for b in json.load(f)["benchmarks"]:
            if b.get("run_type") != "iteration":
                continue
            scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
            t = b["real_time"] * scale
            key = b["run_name"]
            best[key] = min(best.get(key, t), t)

px = 320 * 240
opencv = "BM_InitMapOpenCV" in best
rows = [
    # figure, its benchmark, reference, its benchmark (None: a fixed time), goal
    ("tarvo_frame_get_pcl", "BM_Pcl", f"memcpy {12 * px} B", f"BM_Memcpy/{12 * px}", 4),
    ("tarvo_frame_get_pcl_xyzd", "BM_PclXyzd/0", f"memcpy {16 * px} B", f"BM_Memcpy/{16 * px}", 4),
    ("  with pseudo colour", "BM_PclXyzd/1", f"memcpy {16 * px} B", f"BM_Memcpy/{16 * px}", 4),
    ("tarvo_cmap_float RGB", "BM_CmapFloat/0", f"memcpy {3 * px} B", f"BM_Memcpy/{3 * px}", 3),
    ("tarvo_cmap_float RGB32", "BM_CmapFloat/1", f"memcpy {4 * px} B", f"BM_Memcpy/{4 * px}", 3),
    ("tarvo_cmap_float BGR", "BM_CmapFloat/2", f"memcpy {3 * px} B", f"BM_Memcpy/{3 * px}", 3),
    ("tq_calib_len_init_map", "BM_InitMap",
     "OpenCV initUndistortRectifyMap" if opencv else "plain pass over the map",
     "BM_InitMapOpenCV" if opencv else "BM_MapPass", 1 if opencv else None),
    ("calculationDistanceSorted", "BM_DistanceSine4", "1 ms", 1000.0, 1),
]

print(f"{'figure (320 x 240)':<28} {'us':>9}  {'reference':<32} {'us':>9} {'ratio':>7}  goal")
for fig, fb, ref, rb, goal in rows:
    t = best.get(fb)
    r = rb if isinstance(rb, float) else best.get(rb)
    if t is None or r is None:
        print(f"{fig:<28} {'-':>9}  {ref:<32} {'-':>9} {'-':>7}")
        continue
    g = f"<= {goal}" if goal is not None else "-"
    print(f"{fig:<28} {t:9.1f}  {ref:<32} {r:9.1f} {t / r:7.2f}  {g}")
EOF
