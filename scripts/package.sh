#!/usr/bin/env bash
# Builds the Debian package quorvex_<version>_amd64.deb from the Release build
# into build-release/package/ and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
command -v dpkg-shlibdeps >/dev/null || {
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends dpkg-dev
}
bash scripts/build.sh release quorvex quorvex-smsc-sim quorvex-loadgen >&2
rm -rf build-release/package
(cd build-release && cpack -G DEB -B package >&2)
ls build-release/package/quorvex_*_amd64.deb
