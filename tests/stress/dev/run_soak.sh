#!/usr/bin/env bash
# Builds and runs the capture soak under AddressSanitizer (LeakSanitizer at
# exit), and with TARVO_SOAK_TSAN=1 under ThreadSanitizer as well.
#   tests/stress/dev/run_soak.sh
set -euo pipefail
cd "$(dirname "$0")/../../.."
root=$(pwd)
run() { # dir sanitizer fuzz
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DTARVO_SANITIZE="$2" -DTARVO_WERROR=ON -DTARVO_FUZZ="$3" -DTARVO_SOAK=ON >/dev/null
  cmake --build "$1" -j "${TARVO_JOBS:-2}" --target test_dev_soak
  (cd "$1" && ctest -L soak --output-on-failure)
}
run build/soak-asan address ON
if [ -n "${TARVO_SOAK_TSAN:-}" ]; then run build/soak-tsan thread OFF; fi
