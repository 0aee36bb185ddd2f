#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages and holds each to lintian, then unpacks
# kestrel-nox into a scratch root and runs the installed program: --help,
# --version and a Check report over a sample outbound with one packet for a
# redirected node. The console package must not need Qt.
# Arguments: the build directory, then the packages the build makes.
set -euo pipefail
build_dir=$1
shift
packages=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build_dir" && cpack -G DEB -B "$work/package" >/dev/null)
for package in "${packages[@]}"; do
  deb=$(ls "$work/package/${package}"_*.deb)
  test "$(dpkg-deb --field "$deb" Package)" = "$package"
  # Whole outputs first: grep -q leaving early would break the pipe under pipefail.
  status=0
  lint=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
  echo "lintian $package: ${lint:-clean}"
  if [ "$status" -ne 0 ] || grep -E '^[EW]: ' <<<"$lint" >/dev/null; then
    echo "lintian reports errors or warnings for $package" >&2
    exit 1
  fi
done

nox=$(ls "$work"/package/kestrel-nox_*.deb)
for field in Provides Conflicts Replaces; do
  test "$(dpkg-deb --field "$nox" "$field")" = kestrel
done
if grep -qi "libqt" <<<"$(dpkg-deb --field "$nox" Depends)"; then
  echo "kestrel-nox depends on Qt" >&2
  exit 1
fi
# OpenSSL is opened at run time, so the scan of linked libraries misses it.
if ! grep -q "libssl3" <<<"$(dpkg-deb --field "$nox" Depends)"; then
  echo "kestrel-nox does not depend on libssl3" >&2
  exit 1
fi
dpkg-deb -x "$nox" "$work/root"
kestrel="$work/root/usr/bin/kestrel"
test -x "$kestrel"
test -f "$work/root/usr/share/man/man1/kestrel.1.gz"
test -f "$work/root/usr/share/kestrel/examples/KESTREL.INI"
test -f "$work/root/usr/share/doc/kestrel-nox/copyright"
# A new version needs its changelog entry.
changelog=$(zcat "$work/root/usr/share/doc/kestrel-nox/changelog.gz")
[[ $changelog == "kestrel ($(dpkg-deb --field "$nox" Version))"* ]]
test ! -e "$work/root/usr/share/applications/kestrel.desktop"
libraries=$(ldd "$kestrel")
if grep -i "libqt" <<<"$libraries"; then
  echo "the console program links Qt" >&2
  exit 1
fi

help=$("$kestrel" --help)
grep -q "/AUTO" <<<"$help"
version=$("$kestrel" --version)
grep -q "Kestrel 2.00" <<<"$version"
if "$kestrel" --no-such-option >/dev/null 2>&1; then
  echo "an unknown option must fail" >&2
  exit 1
fi

home="$work/home"
mkdir -p "$home" "$work/fido/outbound"
head -c 1000 /dev/urandom >"$work/fido/outbound/00ec0064.out"
cat >"$home/KESTREL.INI" <<INI
OUTBOUND $work/FIDO/OUTBOUND
HOST 127.0.0.1
OURZONE 2
REDIRECT 2:236/100 node@example.org Test Node
INI
report=$(env -u DISPLAY -u WAYLAND_DISPLAY KESTREL_HOME="$home" "$kestrel" --console /REPORT)
echo "$report"
grep -qi "00ec0064.out 1000b" <<<"$report"

# The manual renders without a warning.
warnings=$(zcat "$work/root/usr/share/man/man1/kestrel.1.gz" | groff -ww -man -Tutf8 -z 2>&1)
test -z "$warnings" || { echo "$warnings" >&2; exit 1; }
