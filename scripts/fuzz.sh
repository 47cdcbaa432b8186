#!/usr/bin/env bash
# Runs one libFuzzer target for a longer campaign, keeping what it finds.
#   scripts/fuzz.sh stream_feed [seconds]
# Targets: the names of fuzz/*.cpp. Needs the ASan build of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/fuzz.sh TARGET [SECONDS]}
secs=${2:-600}
bin=build/asan/fuzz/fuzz_$name
[ -x "$bin" ] || { echo "no $bin: run scripts/test.sh first" >&2; exit 1; }
mkdir -p "build/fuzz-corpus/$name" "build/fuzz-artifacts/$name"
exec "$bin" -max_total_time="$secs" -rss_limit_mb=2048 \
  -artifact_prefix="build/fuzz-artifacts/$name/" "build/fuzz-corpus/$name" "fuzz/corpus/$name"
