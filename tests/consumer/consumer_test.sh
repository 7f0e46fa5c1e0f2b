#!/usr/bin/env bash
# Builds the consumer program the ways a host author would and runs it.
# Usage: consumer_test.sh install BUILD_DIR PREFIX   install a build into a fresh PREFIX
#        consumer_test.sh find-package PREFIX WORK  CMake project, find_package(Tarvenix)
#        consumer_test.sh pkg-config PREFIX WORK    one compiler call with tarvenix.pc
#        consumer_test.sh subdirectory SOURCE WORK  CMake project, add_subdirectory(SOURCE)
# CXX names the compiler (default c++).
set -euo pipefail
how=$1 from=$2 to=$3
here=$(cd "$(dirname "$0")" && pwd)
cxx=${CXX:-c++}

rm -rf "$to"
mkdir -p "$to"
case $how in
  install)
    cmake --install "$from" --prefix "$to" >/dev/null
    exit 0
    ;;
  find-package)
    cmake -S "$here" -B "$to" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_PREFIX_PATH="$from" >/dev/null
    found=$(sed -n 's/^Tarvenix_DIR:PATH=//p' "$to/CMakeCache.txt")
    if [[ "$found" != "$(cd "$from" && pwd)"/* ]]; then
      echo "found Tarvenix in $found, not in $from" >&2
      exit 1
    fi
    cmake --build "$to" >/dev/null
    "$to/lines_consumer"
    ;;
  pkg-config)
    pc=$(find "$from" -name tarvenix.pc -path '*/pkgconfig/*' | head -n 1)
    [[ -n "$pc" ]] || { echo "no tarvenix.pc under $from" >&2; exit 1; }
    flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs tarvenix)
    # shellcheck disable=SC2086 # the flags are words
    "$cxx" -std=c++20 -o "$to/consumer" "$here/consumer.cpp" $flags
    ;;
  subdirectory)
    cmake -S "$here" -B "$to" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
      -DTARVENIX_SOURCE_DIR="$from" >/dev/null
    cmake --build "$to" --target consumer >/dev/null
    ;;
  *)
    echo "unknown way: $how" >&2
    exit 2
    ;;
esac
"$to/consumer"
