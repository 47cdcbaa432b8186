#!/usr/bin/env bash
# Longer fuzzing campaigns than the brief runs of the test command.
#
#   scripts/fuzz.sh                    lists the targets
#   scripts/fuzz.sh TARGET [SECONDS]   runs one target (default 60 s)
#   scripts/fuzz.sh all SECONDS        runs every target in turn, then prints
#                                      executions and outcome of each
#
# Targets are the names of fuzz/*.cpp. They are built (clang, libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer) in build/fuzz, which is
# configured on first use. Each run starts from the target's seeds in
# fuzz/corpus/TARGET and keeps what it finds in build/fuzz/corpus/TARGET;
# crashing inputs land in build/fuzz/artifacts/TARGET/. Exits non-zero when
# a target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bdir=$root/build/fuzz

targets() { for f in fuzz/*.cpp; do basename "$f" .cpp; done; }

if [ $# -eq 0 ]; then
  targets
  exit 0
fi
name=$1
secs=${2:-60}
if [ "$name" = all ]; then
  mapfile -t list < <(targets)
elif [ -f "fuzz/$name.cpp" ]; then
  list=("$name")
else
  echo "fuzz.sh: no target '$name'; targets:" >&2
  targets >&2
  exit 2
fi

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/tarvo-ccache}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
if [ ! -f "$bdir/build.ninja" ]; then
  cmake -S "$root" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DTARVO_SANITIZE=address -DTARVO_WERROR=ON -DTARVO_FUZZ=ON >/dev/null
fi
cmake --build "$bdir" -j "${TARVO_JOBS:-2}" --target "${list[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
summary=()
failed=0
for t in "${list[@]}"; do
  work=$bdir/work/$t corpus=$bdir/corpus/$t art=$bdir/artifacts/$t
  mkdir -p "$work" "$corpus" "$art"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("$root/fuzz/corpus/$t")
  log=$bdir/$t.log
  echo "== $t: $secs s"
  # The targets write scratch files into their working directory.
  set +e
  (cd "$work" && "$bdir/fuzz/fuzz_$t" -max_total_time="$secs" -rss_limit_mb=2048 \
     -print_final_stats=1 -artifact_prefix="$art/" "$corpus" "${seeds[@]}") >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $rc -eq 0 ]; then
    outcome=ok
  else
    outcome="FAILED (status $rc): $(grep -a -m1 -E 'ERROR|check failed|invariant|runtime error' "$log" || true)"
    failed=1
    tail -30 "$log"
  fi
  summary+=("$(printf '| %s | %s | %s |' "$t" "${execs:-?}" "$outcome")")
done

echo
echo "| target | executions | outcome |"
echo "|---|---|---|"
printf '%s\n' "${summary[@]}"
exit $failed
