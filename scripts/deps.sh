#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing. Quick when everything is there already.
set -euo pipefail

packages=(
  g++ clang clang-format cmake ninja-build ccache pkg-config
  libusb-1.0-0-dev libzip-dev zip unzip libcli11-dev libpng-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev nlohmann-json3-dev
  pybind11-dev python3-dev python3-numpy python3-pytest
  doxygen libcivetweb-dev
)
# The viewer's browser test runs in Debian's Chromium; without it the test
# is skipped, so a failed install of it does not stop the build.
optional=(chromium)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

optional_missing=()
for p in "${optional[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    optional_missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ] && [ ${#optional_missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  if [ ${#missing[@]} -eq 0 ]; then
    echo "deps.sh: ${optional_missing[*]} missing (run as root to install): the browser test will be skipped" >&2
    exit 0
  fi
  echo "deps.sh: these packages are missing: ${missing[*]}" >&2
  echo "deps.sh: run as root (or: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps.sh: installing ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ ${#optional_missing[@]} -gt 0 ]; then
  echo "deps.sh: installing ${optional_missing[*]}"
  apt-get install -y -qq --no-install-recommends "${optional_missing[@]}" ||
    echo "deps.sh: ${optional_missing[*]} did not install: the browser test will be skipped" >&2
fi
