#!/usr/bin/env bash
# The shared library exports GetDI30 and GetDriver25, with C linkage, and
# nothing else.
# Usage: check_so_exports.sh LIBRARY
set -euo pipefail
library=$1

exports=$(nm -D --defined-only "$library" | awk '{print $NF}' | sort | tr '\n' ' ')
if [[ "$exports" != "GetDI30 GetDriver25 " ]]; then
  echo "exports of $library: $exports; expected exactly GetDI30 GetDriver25" >&2
  exit 1
fi
echo "exports: $exports"
