#!/usr/bin/env bash
# Builds the Release benchmarks and prints one table: each figure beside
# the reference it is held against, both measured in the same benchmark
# program run (repetitions interleaved at random, the fastest repetition
# taken: on a shared machine the least disturbed one), and their ratio.
#
#   scripts/bench.sh                 build/bench, 10 repetitions
#   TARVO_BENCH_REPS=20 ...          more repetitions
#   TARVO_JOBS=1 ...                 build with one job
#
# The programs that drive the simulated camera through the emulated bus
# (command, data_transfer) run fewer repetitions: each of theirs takes
# seconds, and their figures are medians or single transfers already.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/tarvo-ccache}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
jobs=${TARVO_JOBS:-$(nproc)}
reps=${TARVO_BENCH_REPS:-10}
dir=build/bench
# program and its repetitions (0: the default)
programs=(frame_pcl:0 calib_len:0 epc_pipeline:0 epc_decode:0 command:3 data_transfer:1)
names=("${programs[@]%%:*}")

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTARVO_BENCH=ON -DTARVO_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$jobs" --target "${names[@]/#/bench_}" >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for entry in "${programs[@]}"; do
  p=${entry%%:*} r=${entry##*:}
  [ "$r" = 0 ] && r=$reps
  (cd "$out" && "$root/$dir/bench/bench_$p" --benchmark_repetitions="$r" \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.05 \
    --benchmark_out="$out/$p.json" --benchmark_out_format=json >/dev/null 2>&1)
done

python3 - "$out" <<'EOF'
import json, os, sys

# Fastest repetition of every benchmark, in microseconds; where the
# benchmark reports the median of its timed calls ("median_ms"), that.
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
            if "median_ms" in b:
                t = b["median_ms"] * 1e3
            key = b["run_name"].split("/iterations:")[0]
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
    ("EPC frame decode", "BM_FullDecode", "0.5 ms", 500.0, 1),
    ("parameter read (median)", "BM_ParamGetOne", "2 ms", 2e3, 1),
    ("EPC open, calibrated (median)", "BM_OpenCalibrated", "200 ms", 200e3, 1),
    ("1 MiB calibration write", "BM_Write1MiB", "10 s", 10e6, 1),
    ("1 MiB calibration read", "BM_Read1MiB", "10 s", 10e6, 1),
]


def fmt(us):
    """A time with the unit that keeps it short."""
    if us >= 1e6:
        return f"{us / 1e6:.2f} s"
    if us >= 1e4:
        return f"{us / 1e3:.1f} ms"
    return f"{us:.1f} us"


print(f"{'figure (320 x 240 frames)':<30} {'time':>10}  {'reference':<32} {'time':>10} {'ratio':>6}  goal")
for fig, fb, ref, rb, goal in rows:
    t = best.get(fb)
    r = rb if isinstance(rb, float) else best.get(rb)
    if t is None or r is None:
        print(f"{fig:<30} {'-':>10}  {ref:<32} {'-':>10} {'-':>6}")
        continue
    g = f"<= {goal}" if goal is not None else "-"
    print(f"{fig:<30} {fmt(t):>10}  {ref:<32} {fmt(r):>10} {t / r:6.2f}  {g}")
EOF
