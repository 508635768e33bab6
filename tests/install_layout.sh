#!/bin/sh
# `cmake --install` puts exactly bin/phase1 and share/man/man1/phase1.1 under the prefix, and
# the .deb that cpack makes installs the same under /usr, with the man page compressed, the
# copyright and changelog a Debian package carries, and its metadata filled in; lintian finds
# nothing to say of it.
set -eu
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "$*"
  exit 1
}

DESTDIR=$scratch/root cmake --install "$build" --prefix /opt/phase1 >/dev/null
installed=$(cd "$scratch/root" && find . -type f | sort)
expected=$(printf './opt/phase1/bin/phase1\n./opt/phase1/share/man/man1/phase1.1')
[ "$installed" = "$expected" ] || fail "installed:" "$installed"
version=$("$scratch/root/opt/phase1/bin/phase1" --version) || fail "the installed phase1 does not run"
cmp -s "$source/man/phase1.1" "$scratch/root/opt/phase1/share/man/man1/phase1.1" ||
  fail "the installed man page differs from man/phase1.1"

if ! command -v dpkg-deb >/dev/null; then
  echo "dpkg-deb is missing: the package is not checked"
  exit 0
fi
cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null
set -- "$scratch"/package/phase1_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "no single phase1 .deb was made"
packed=$(dpkg-deb -c "$1" | awk '$1 ~ /^-/ { print $NF }' | sort)
[ "$packed" = "$(printf '%s\n' ./usr/bin/phase1 ./usr/share/doc/phase1/changelog.gz \
  ./usr/share/doc/phase1/copyright ./usr/share/lintian/overrides/phase1 \
  ./usr/share/man/man1/phase1.1.gz)" ] || fail "packed:" "$packed"
[ "phase1 $(dpkg-deb -f "$1" Version)" = "$version" ] || fail "package version is not $version"
dpkg-deb -x "$1" "$scratch/unpacked"
gzip -dc "$scratch/unpacked/usr/share/man/man1/phase1.1.gz" | cmp -s - "$source/man/phase1.1" ||
  fail "the packed man page differs from man/phase1.1"
gzip -dc "$scratch/unpacked/usr/share/doc/phase1/changelog.gz" | head -1 |
  grep -q "^phase1 (${version#phase1 }) " || fail "the changelog's newest entry is not $version"
for field in Package Maintainer Description Section Architecture; do
  [ -n "$(dpkg-deb -f "$1" "$field")" ] || fail "the package has no $field"
done
if command -v lintian >/dev/null; then
  tags=$(lintian --fail-on error,warning "$1" 2>"$scratch/lintian.err") ||
    fail "lintian:" "$tags" "$(cat "$scratch/lintian.err")"
else
  echo "lintian is missing: the package is not linted"
fi
