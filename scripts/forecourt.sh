#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the forecourt service and runs it on
# four simulated dispensers with a demo attendant. The first line it prints
# is the URL of its web page and HTTP interface; Ctrl-C stops it.
# Usage: scripts/forecourt.sh [more tarvenixd options, e.g. --listen HOST:PORT]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tarvenixd
exec build/release/forecourt/tarvenixd --simulate 4 --demo "$@"
