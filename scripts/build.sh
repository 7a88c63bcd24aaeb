#!/usr/bin/env bash
# Configures and builds into a build directory.
#   scripts/build.sh [release|test|tsan]
#   release: optimised gateway and tools in build-release/
#   test:    everything with AddressSanitizer and UndefinedBehaviorSanitizer in build-test/
#   tsan:    everything with ThreadSanitizer in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

kind="${1:-release}"
case "$kind" in
  release) dir=build-release; flags=(-DCMAKE_BUILD_TYPE=Release -DQUORVEX_TESTS=OFF) ;;
  test)    dir=build-test;    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_SANITIZE=ON) ;;
  tsan)    dir=build-tsan;    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_TSAN=ON) ;;
  *) echo "usage: $0 [release|test|tsan]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
ninja -C "$dir"
