#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a scratch root and runs the
# installed program: --help, --version and a Check report over a sample
# outbound with one packet for a redirected node.
set -euo pipefail
build_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build_dir" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/kestrel_*.deb)
info=$(dpkg-deb --info "$deb")
grep -q "Package: kestrel" <<<"$info"
dpkg-deb -x "$deb" "$work/root"
kestrel="$work/root/usr/bin/kestrel"
test -x "$kestrel"
test -f "$work/root/usr/share/man/man1/kestrel.1"
test -f "$work/root/usr/share/kestrel/examples/KESTREL.INI"

# Whole outputs first: grep -q leaving early would break the pipe under pipefail.
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
warnings=$(groff -ww -man -Tutf8 -z "$work/root/usr/share/man/man1/kestrel.1" 2>&1)
test -z "$warnings" || { echo "$warnings" >&2; exit 1; }
