#!/usr/bin/env bash
# Installs what Quorvex needs to build and test on Debian 12. Safe to run again:
# apt-get skips packages that are already present, and nothing runs when all are.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git
  libgtest-dev nlohmann-json3-dev libcurl4-openssl-dev libcrypt-dev libssl-dev
  python3 procps
  chromium
)
# The console's browser test drives Chromium from Node; keep a Node that is
# already installed (it may come from another repository than Debian's).
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
