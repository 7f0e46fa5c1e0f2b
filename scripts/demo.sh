#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds Tarvenix and runs its self-check.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release
