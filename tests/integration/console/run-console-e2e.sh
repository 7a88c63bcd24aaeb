#!/usr/bin/env bash
# Drives the web console in headless Chromium against a real gateway.
# Usage: run-console-e2e.sh <quorvex> <quorvex-smsc-sim> <quorvex-loadgen> <artifact-dir>
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 <quorvex> <quorvex-smsc-sim> <quorvex-loadgen> <artifact-dir>" >&2
  exit 2
fi
binary=$(realpath "$1")
simulator=$(realpath "$2")
loadgen=$(realpath "$3")
artifacts=$4
here=$(cd "$(dirname "$0")" && pwd)

# Pinned so that a registry release cannot change the test under our feet;
# Debian's own Node 18 needs the last release that supports it.
playwright_version=1.65.2
chromium=/usr/bin/chromium

[ -x "$binary" ] || { echo "console e2e: gateway binary not found: $binary" >&2; exit 2; }
[ -x "$chromium" ] || { echo "console e2e: $chromium is missing (apt-get install chromium)" >&2; exit 2; }
command -v node >/dev/null || { echo "console e2e: node is missing (apt-get install nodejs)" >&2; exit 2; }
command -v npm >/dev/null || { echo "console e2e: npm is missing (apt-get install npm)" >&2; exit 2; }

if [ "$(node -p 'process.versions.node.split(".")[0]')" -lt 20 ]; then
  playwright_version=1.49.1
fi

cache=${QUORVEX_NODE_CACHE:-${HOME:-/tmp}/.cache/quorvex-console-node}
installed=$cache/node_modules/playwright-core/package.json
if [ ! -f "$installed" ] || ! grep -q "\"version\": \"$playwright_version\"" "$installed"; then
  mkdir -p "$cache"
  # Only the driver library: the browser is the system's Chromium.
  npm install --no-save --no-audit --no-fund --prefix "$cache" "playwright-core@$playwright_version"
fi

mkdir -p "$artifacts"
exec node "$here/console-e2e.mjs" "$binary" "$simulator" "$loadgen" "$(realpath "$artifacts")" "$cache"
