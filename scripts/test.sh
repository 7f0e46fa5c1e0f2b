#!/usr/bin/env bash
# Sets up a fresh Debian machine and runs every test: the format check,
# clang-tidy over the core and the library, the suite in the debug,
# address+undefined and thread sanitizer builds (the debug suite includes
# builds of a host project against an installation), the binary-interface
# tests of the 32-bit Windows build under Wine, the Debian packages and what
# they hold, a short run of every fuzz target, and a build of the benchmarks
# (which it does not run; see docs/performance.md).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/setup-windows.sh

scripts/check-format.sh

echo "== tidy"
cmake --preset tidy >/dev/null
cmake --build --preset tidy

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
for preset in debug asan tsan windows; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$(nproc)" | tee -a "$summary"
done

echo "== packages"
scripts/package.sh --check

echo "== fuzz"
scripts/fuzz.sh 30

echo "== bench (build only)"
cmake --preset bench >/dev/null
cmake --build --preset bench

# Let Wine's server for the test prefix finish before returning.
WINEPREFIX="$PWD/build/wine" wineserver -w

# ctest has failed the script already if anything failed; this sums it up.
awk '/tests passed, .* tests failed out of/ { failed += $4; total += $NF }
     END { printf "tests: %d passed, %d failed\n", total - failed, failed }' "$summary"
