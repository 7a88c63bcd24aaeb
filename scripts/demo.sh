#!/usr/bin/env bash
# Installs the dependencies, builds the gateway and starts it in run/demo on
# the demo configuration (SMPP on port 2775, admin HTTP on port 8080).
# A configuration already in run/demo is kept, so changes made there survive.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh release
mkdir -p run/demo
[ -f run/demo/quorvex.conf ] || cp demo/quorvex.conf run/demo/quorvex.conf
cd run/demo
exec ../../build-release/quorvex
