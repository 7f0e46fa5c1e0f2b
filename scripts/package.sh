#!/usr/bin/env bash
# Builds the Debian packages from the release preset into
# build/release/packages: libtarvenix2 (the shared library), libtarvenix-dev
# (headers, static libraries, CMake package, tarvenix.pc) and tarvenix-tools
# (the commands, their documents and manual pages).
# Usage: scripts/package.sh [--check]   --check also tests what they hold
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
rm -rf build/release/packages
cpack --preset release
if [[ "${1:-}" == "--check" ]]; then
  tests/packages/check_packages.sh build/release/packages
fi
