#!/usr/bin/env bash
# Installs the Debian packages given that are not installed yet; leading
# options go to apt-get install. Runs apt-get update only when something is
# missing. Usage: scripts/install-missing.sh [--apt-option ...] package ...
set -euo pipefail

options=()
while [[ $# -gt 0 && $1 == -* ]]; do
  options+=("$1")
  shift
done

missing=()
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]})); then
  echo "install-missing: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${options[@]}" \
    "${missing[@]}"
fi
