#!/usr/bin/env bash
# Installs what the 32-bit Windows build and its tests need, from Debian's
# packages: the mingw-w64 i686 cross compiler and Wine (32-bit), with the
# i386 architecture that Wine's 32-bit part comes from; then prepares the
# Wine prefix the tests run in (build/wine). Idempotent: installs only what
# is missing, and creates the prefix only once.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++-mingw-w64-i686-posix wine wine32:i386)

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup-windows: adding the i386 architecture"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

scripts/install-missing.sh --no-install-recommends "${packages[@]}"

# The same environment as the windows test preset: a 32-bit prefix inside
# the build tree, no display (no dialogs), no Mono or Gecko installers.
export WINEPREFIX="$PWD/build/wine" WINEARCH=win32 WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
# Wine's 32-bit loader needs a kernel that runs 32-bit x86 programs; some
# do not (no IA32 emulation). There the DLL is still built and its tables
# checked, and the tests under Wine are left out (scripts/test.sh).
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "setup-windows: this kernel does not run 32-bit programs: no Wine prefix"
elif [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "setup-windows: creating the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineboot -i
  wineserver -w
fi
