#!/usr/bin/env bash
# Configures and builds into a build directory.
#   scripts/build.sh [release|test|tsan] [TARGET...]
#   release: optimised gateway, tools and benchmarks in build-release/
#   test:    gateway, tools and tests with AddressSanitizer and
#            UndefinedBehaviorSanitizer in build-test/
#   tsan:    the same with ThreadSanitizer in build-tsan/
# TARGETs build only those (default: all of the kind).
#
# The sanitizer builds optimise at -O1 with line tables only (-g1): what the
# sanitizers' reports need, at half the compile time of -O2 -g. Test code
# itself is built at -O0 (tests/CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."

kind="${1:-release}"
shift || true
checked=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
case "$kind" in
  release) dir=build-release; flags=(-DCMAKE_BUILD_TYPE=Release -DQUORVEX_TESTS=OFF) ;;
  test)    dir=build-test;    flags=("${checked[@]}" -DQUORVEX_SANITIZE=ON) ;;
  tsan)    dir=build-tsan;    flags=("${checked[@]}" -DQUORVEX_TSAN=ON) ;;
  *) echo "usage: $0 [release|test|tsan] [TARGET...]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
ninja -C "$dir" "$@"
