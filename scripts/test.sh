#!/usr/bin/env bash
# The project's test command: installs what is missing, builds the library,
# the simulator and every test with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang, so the libFuzzer targets build too),
# runs them all with ctest, then builds the threaded tests with
# ThreadSanitizer and runs those.
#
#   scripts/test.sh            everything
#   TARVO_SKIP_TSAN=1 ...      skip the ThreadSanitizer pass
#   TARVO_TSAN_JOBS=N ...      run N ThreadSanitizer tests at once (default 1)
#   CTEST_ARGS="-R stream" ... pass extra arguments to both ctest runs
#   TARVO_SKIP_INSTALL=1 ...   skip the install test (GCC Release build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh
scripts/web-deps.sh
scripts/check_includes.sh
scripts/check_format.sh

jobs=${TARVO_JOBS:-$(nproc)}
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/tarvo-ccache}
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}
# Let clones of the project in other folders share cached objects.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}

configure() { # dir sanitizer extra...
  local dir=$1 san=$2
  shift 2
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DTARVO_SANITIZE="$san" -DTARVO_WERROR=ON "$@" >/dev/null
}

configure build/asan address -DTARVO_FUZZ=ON
cmake --build build/asan -j "$jobs"
# The API reference: the public headers' doc comments, without a warning.
if command -v doxygen >/dev/null; then
  cmake --build build/asan --target docs
else
  echo "test.sh: doxygen not found: the API reference (docs target) is not built" >&2
fi
(cd build/asan && ctest --output-on-failure -j "$jobs" ${CTEST_ARGS:-})

if [ -z "${TARVO_SKIP_TSAN:-}" ]; then
  configure build/tsan thread -DTARVO_FUZZ=OFF
  cmake --build build/tsan -j "$jobs"
  # One at a time: under ThreadSanitizer the emulated bus is slow enough
  # that two USB tests side by side on a small machine push command
  # answers past the link's one-second command limit.
  (cd build/tsan && ctest --output-on-failure -j "${TARVO_TSAN_JOBS:-1}" ${CTEST_ARGS:-})
fi

if [ -z "${TARVO_SKIP_INSTALL:-}" ]; then
  scripts/install_test.sh
fi
