#!/usr/bin/env bash
# Sets up a fresh Debian machine and runs every test: the format check, then
# the suite in the debug, address+undefined and thread sanitizer builds, and
# the binary-interface tests of the 32-bit Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/setup-windows.sh

scripts/check-format.sh

for preset in debug asan tsan windows; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$(nproc)"
done

# Let Wine's server for the test prefix finish before returning.
WINEPREFIX="$PWD/build/wine" wineserver -w
