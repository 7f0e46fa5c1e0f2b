#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds Tarvenix and runs `tarvenix demo`:
# a whole delivery through the driver on a simulated dispenser.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tarvenix
exec build/release/cli/tarvenix demo "$@"
