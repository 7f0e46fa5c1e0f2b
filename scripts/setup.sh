#!/usr/bin/env bash
# Installs what building and testing Tarvenix needs, from Debian's packages.
# Idempotent: installs only what is missing, and runs apt-get update only then.
# Usage: scripts/setup.sh [extra-package ...]
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
  clang-format clang-tidy libcli11-dev libfmt-dev pkg-config dpkg-dev file lintian
  libsqlite3-dev libtomlplusplus-dev nlohmann-json3-dev libboost-dev libssl-dev openssl curl tzdata
  libmosquitto-dev mosquitto
  chromium chromium-driver python3-selenium "$@")

"$(dirname "$0")/install-missing.sh" "${packages[@]}"
