#!/usr/bin/env bash
# Tarvenix.dll exports exactly GetDI30 and GetDriver25 by their undecorated
# names, and imports from Windows system DLLs only (the C++ runtime and the
# threads library are linked in).
# Usage: check_dll_tables.sh OBJDUMP DLL
set -euo pipefail
objdump=$1
dll=$2

dump=$("$objdump" -p "$dll")

# The names of the [Ordinal/Name Pointer] table, one "[ n] Name" per line.
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
               inside && /^\t\[/ {print $NF; next}
               inside {inside = 0}' <<<"$dump" | sort | tr '\n' ' ')
if [[ "$exports" != "GetDI30 GetDriver25 " ]]; then
  echo "exports of $dll: $exports; expected exactly GetDI30 GetDriver25" >&2
  exit 1
fi

imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort -u)
status=0
for name in $imports; do
  case "${name,,}" in
    kernel32.dll | user32.dll | advapi32.dll | ntdll.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
    *)
      echo "$dll imports $name, which is not a Windows system DLL" >&2
      status=1
      ;;
  esac
done
echo "exports: $exports"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
exit $status
