#!/usr/bin/env bash
# Sets up a fresh Debian machine and runs every test: the format check, then
# the suite in the debug, address+undefined and thread sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

scripts/check-format.sh

for preset in debug asan tsan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$(nproc)"
done
