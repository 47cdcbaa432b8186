#!/usr/bin/env bash
# Installs the npm modules of the viewer's page (three.js) and of its
# browser test (playwright-core) into tools/viewer/web/node_modules, exactly
# as package-lock.json pins them. Quick when they are there already.
# Node and npm come from Debian when missing.
set -euo pipefail
cd "$(dirname "$0")/../tools/viewer/web"

if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "web-deps.sh: node and npm are missing (run as root, or: sudo apt-get install nodejs npm)" >&2
    exit 1
  fi
  echo "web-deps.sh: installing nodejs npm"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends nodejs npm
fi

# npm writes node_modules/.package-lock.json at every install: when it
# matches package-lock.json the modules are the pinned ones.
if [ -f node_modules/.package-lock.json ] &&
   [ node_modules/.package-lock.json -nt package-lock.json ] &&
   [ -f node_modules/three/build/three.module.js ] && [ -d node_modules/playwright-core ]; then
  exit 0
fi
echo "web-deps.sh: npm ci in tools/viewer/web"
# playwright-core drives the system's Chromium: no browser download.
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
