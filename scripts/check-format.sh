#!/usr/bin/env bash
# Fails when a C++ file of the project is not formatted with .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard -- '*.cpp' '*.hpp' '*.h' | xargs -r clang-format --dry-run -Werror
