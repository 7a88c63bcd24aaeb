#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test suite twice:
# with AddressSanitizer and UndefinedBehaviorSanitizer, and with
# ThreadSanitizer (which also watches the gateway processes the integration
# tests start, since they are built the same way).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test

bash scripts/build.sh test
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
  ctest --test-dir build-test --output-on-failure -j "$(nproc)"

bash scripts/build.sh tsan
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:exitcode=66:second_deadlock_stack=1}" \
  ctest --test-dir build-tsan --output-on-failure -j "$(nproc)"

# The Debian package: built, installed, checked and purged again.
bash scripts/test-package.sh
