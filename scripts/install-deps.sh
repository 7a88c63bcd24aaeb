#!/usr/bin/env bash
# Installs what Quorvex needs on Debian 12. Safe to run again: apt-get skips
# packages that are already present, and nothing runs when all are.
#
#   scripts/install-deps.sh          building and running the gateway
#   scripts/install-deps.sh --test   also the tests: GoogleTest, Prometheus's
#                                    promtool, Chromium and Node for the
#                                    console's browser test, and the openssl
#                                    command that makes the TLS tests'
#                                    certificates
set -euo pipefail

tests=false
case "${1:-}" in
  "") ;;
  --test) tests=true ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

packages=(
  g++ cmake ninja-build pkg-config git
  nlohmann-json3-dev libcurl4-openssl-dev libcrypt-dev libssl-dev librocksdb-dev
  python3 procps
)
if $tests; then
  packages+=(libgtest-dev prometheus chromium openssl)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# The console's browser test drives Chromium from Node. A Node already on the
# machine is kept (it may come from another repository than Debian's and
# bring its own npm), so npm is only looked for once Node is there.
need_node=false
need_npm=false
if $tests; then
  command -v node >/dev/null || need_node=true
  command -v npm >/dev/null || need_npm=true
fi

if [ ${#missing[@]} -eq 0 ] && ! $need_node && ! $need_npm; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if $need_node; then
  $sudo apt-get install -y -q --no-install-recommends nodejs
fi
if $tests; then
  command -v npm >/dev/null || $sudo apt-get install -y -q --no-install-recommends npm
fi
