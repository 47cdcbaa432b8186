#!/usr/bin/env bash
# The install test: a plain Release build with GCC installed into a
# temporary prefix; the C example is built against the installed package
# twice (pkg-config, find_package) and run on the simulated camera of the
# same build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=build/install-gcc
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc \
  -DCMAKE_CXX_COMPILER=g++ -DTARVO_TESTS=OFF -DTARVO_EXAMPLES=OFF -DTARVO_SANITIZE= \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$build" -j "${TARVO_JOBS:-$(nproc)}"
cmake --install "$build" >/dev/null

lib=$(find "$prefix" -name 'libtarvo.so.1' | head -n 1)
for f in "$prefix"/include/tarvo/tarvo.h "$prefix"/include/tarvo/tarvo_version.h \
  "$prefix"/bin/tarvo-cli "$prefix"/lib/udev/rules.d/70-tarvo.rules "$lib" "${lib%.1}"; do
  [ -e "$f" ] || { echo "install_test: $f not installed" >&2; exit 1; }
done
libdir=$(dirname "$lib")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
export LD_LIBRARY_PATH="$libdir"
out="$build/example"
mkdir -p "$out"
gcc -o "$out/capture_ply_pc" examples/c/capture_ply.c $(pkg-config --cflags --libs tarvo)
cmake -S examples/c -B "$out/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$out/cmake" >/dev/null

sim="$build/sim/tarvo-sim"
for exe in "$out/capture_ply_pc" "$out/cmake/capture_ply"; do
  log=$(cd "$out" && "$root/$sim" run --distance 1.75 -- "$root/$exe" installed.ply 2>&1) || true
  # The library it runs with is the one whose headers it was built with.
  if ! echo "$log" | grep -E '^libtarvo ([0-9.]+) \(headers \1\)$' >/dev/null ||
    ! echo "$log" | grep -E '10 frames, [0-9]+ points in installed.ply, centre 1\.7[345]' >/dev/null; then
    echo "install_test: $exe did not capture on the simulated camera:" >&2
    echo "$log" >&2
    exit 1
  fi
done
echo "install_test: pkg-config and find_package builds ran on the simulated camera"
