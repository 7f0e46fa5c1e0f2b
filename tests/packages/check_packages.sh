#!/usr/bin/env bash
# Checks the four Debian packages in DIR: what each one holds and depends
# on, that a host project builds against them unpacked (find_package and
# pkg-config), that the commands run, and what lintian says.
# Usage: check_packages.sh DIR
set -euo pipefail
dir=$1
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

package() {
  local found=("$dir"/"$1"_*.deb)
  [[ -f "${found[0]}" ]] || { echo "FAIL: no $1 package in $dir" >&2; exit 1; }
  echo "${found[0]}"
}

# Every path in `expected` (a regular expression over dpkg-deb --contents'
# paths) must be in the package and none of `unwanted`.
holds() {
  local deb=$1 unwanted=$2 contents
  shift 2
  contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
  for path in "$@"; do
    grep -Eq "^\\./usr/$path\$" <<<"$contents" || fail "$(basename "$deb") lacks usr/$path"
  done
  if grep -Eq "$unwanted" <<<"$contents"; then
    fail "$(basename "$deb") holds $(grep -E "$unwanted" <<<"$contents" | tr '\n' ' ')"
  fi
}

runtime=$(package libtarvenix2)
development=$(package libtarvenix-dev)
tools=$(package tarvenix-tools)
service=$(package tarvenixd)

holds "$runtime" '/include/|\.a$|/bin/|libTarvenix\.so$' \
  'lib/(.*/)?libTarvenix\.so\.2' 'lib/(.*/)?libTarvenix\.so\.2\.50' \
  share/doc/libtarvenix2/copyright

# Every public header of the source tree, and the generated ones.
headers=()
while IFS= read -r header; do
  headers+=("include/${header#"$source_dir"/include/}")
done < <(find "$source_dir/include/tarvenix" -type f)
holds "$development" '/bin/|libTarvenix\.so\.' "${headers[@]}" \
  include/tarvenix/version.hpp include/tarvenix/lines/policy_link.hpp \
  include/tarvenix/lines/serial_com_link.hpp include/tarvenix/lines/clock.hpp \
  include/tarvenix/serial/serial_com_link.hpp include/tarvenix/service/policy_link.hpp \
  'lib/(.*/)?libTarvenix\.so' 'lib/(.*/)?libtarvenix_core\.a' \
  'lib/(.*/)?libtarvenix_lines\.a' \
  'lib/(.*/)?cmake/Tarvenix/TarvenixConfig\.cmake' \
  'lib/(.*/)?cmake/Tarvenix/TarvenixConfigVersion\.cmake' \
  'lib/(.*/)?cmake/Tarvenix/TarvenixTargets\.cmake' \
  'lib/(.*/)?pkgconfig/tarvenix\.pc' share/doc/libtarvenix-dev/copyright

holds "$tools" '/include/|/lib/' \
  bin/tarvenix bin/tarvenix-sim bin/tarvenix-hq share/man/man1/tarvenix\\.1\\.gz \
  share/man/man1/tarvenix-sim\\.1\\.gz share/doc/tarvenix-tools/copyright \
  share/doc/tarvenix-tools/simulator\\.md

holds "$service" '/include/|\.a$|bin/tarvenix$|bin/tarvenix-sim$' \
  bin/tarvenixd lib/systemd/system/tarvenixd\\.service share/man/man8/tarvenixd\\.8\\.gz \
  share/doc/tarvenixd/copyright share/doc/tarvenixd/forecourt\\.md \
  share/doc/tarvenixd/examples/tarvenixd\\.toml share/tarvenixd/web/index\\.html \
  share/tarvenixd/asyncapi\\.json share/doc/tarvenixd/head-office\\.md
grep -q 'libsqlite3' <<<"$(dpkg-deb -f "$service" Depends)" || fail "tarvenixd does not depend on libsqlite3"
grep -q 'libmosquitto1' <<<"$(dpkg-deb -f "$service" Depends)" ||
  fail "tarvenixd does not depend on libmosquitto1"

# The library's dependencies come from dpkg-shlibdeps; the development
# package needs this very version of the library.
grep -q 'libc6' <<<"$(dpkg-deb -f "$runtime" Depends)" || fail "libtarvenix2 does not depend on libc6"
version=$(dpkg-deb -f "$runtime" Version)
grep -qF "libtarvenix2 (= $version)" <<<"$(dpkg-deb -f "$development" Depends)" ||
  fail "libtarvenix-dev does not depend on libtarvenix2 (= $version)"

# Unpacked into a root of their own, as a host author's machine has them.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in "$runtime" "$development" "$tools" "$service"; do
  dpkg-deb -x "$deb" "$root/root"
done
for how in find-package pkg-config; do
  "$source_dir/tests/consumer/consumer_test.sh" "$how" "$root/root/usr" "$root/$how" ||
    fail "the consumer does not build against the packages by $how"
done
"$root/root/usr/bin/tarvenix" --version >/dev/null || fail "tarvenix --version fails"
"$root/root/usr/bin/tarvenixd" --check-config "$root/root/usr/share/doc/tarvenixd/examples/tarvenixd.toml" \
  >/dev/null || fail "tarvenixd does not take its example configuration"

if command -v lintian >/dev/null; then
  lintian --fail-on error --suppress-tags-from-file "$here/lintian-suppressions" \
    "$runtime" "$development" "$tools" "$service" || fail "lintian"
fi

if ((failures > 0)); then
  echo "packages: $failures failed checks" >&2
  exit 1
fi
echo "packages: $(basename "$runtime") $(basename "$development") $(basename "$tools")" \
  "$(basename "$service") hold what they should"
