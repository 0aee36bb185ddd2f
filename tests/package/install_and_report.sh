#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages and holds each to lintian, then unpacks
# kestrel-nox into a scratch root and runs the installed program: --help,
# --version, a Check report over a sample outbound with one packet for a
# redirected node, and a sysop's first hour: the cron line of the manual run
# by an unprivileged user without KESTREL_HOME, quiet when all is well and
# loud on standard error when not, the same line and the service's command
# run by a user without a home, and the systemd units verified. The
# console package must not need Qt, nor the window package's program
# unless it shows a window.
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
grep -q "first hour" "$work/root/usr/share/doc/kestrel-nox/README"
# A new version needs its changelog entry.
changelog=$(zcat "$work/root/usr/share/doc/kestrel-nox/changelog.gz")
[[ $changelog == "kestrel ($(dpkg-deb --field "$nox" Version))"* ]]
test ! -e "$work/root/usr/share/applications/kestrel.desktop"
libraries=$(ldd "$kestrel")
if grep -i "libqt" <<<"$libraries"; then
  echo "the console program links Qt" >&2
  exit 1
fi

# The window package's program links no Qt either: it opens its module,
# installed where it looks, only to show a window.
if [[ " ${packages[*]} " == *" kestrel "* ]]; then
  dpkg-deb -x "$(ls "$work"/package/kestrel_*.deb)" "$work/window-root"
  if ldd "$work/window-root/usr/bin/kestrel" | grep -i "libqt"; then
    echo "the window package's program links Qt" >&2
    exit 1
  fi
  "$(dirname "$0")/../gui/program_opens_window.sh" "$work/window-root/usr/bin/kestrel"
fi

# Alone, without a display, it says how it is used.
status=0
usage=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$kestrel" 2>&1 >/dev/null) || status=$?
test "$status" -eq 2
grep -q "Usage: kestrel" <<<"$usage"

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
FROMEMAIL gate@example.org
OURZONE 2
REDIRECT 2:236/100 node@example.org Test Node
INI
report=$(env -u DISPLAY -u WAYLAND_DISPLAY KESTREL_HOME="$home" "$kestrel" --console /REPORT)
echo "$report"
grep -qi "00ec0064.out 1000b" <<<"$report"

# The manual renders without a warning.
warnings=$(zcat "$work/root/usr/share/man/man1/kestrel.1.gz" | groff -ww -man -Tutf8 -z 2>&1)
test -z "$warnings" || { echo "$warnings" >&2; exit 1; }

# ---- The first hour, as the guide and the manual tell it. ----
# The units as shipped, beside the system's own, in a root of their own (no
# running systemd needed): any remark counts as a failure.
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing (scripts/install-deps.sh)" >&2; exit 1; }
units="$work/units"
mkdir -p "$units/etc/systemd/system" "$units/usr/bin" "$units/lib/systemd"
cp -r /lib/systemd/system "$units/lib/systemd/"
cp "$work"/root/usr/share/kestrel/systemd/* "$units/etc/systemd/system/"
cp "$kestrel" "$units/usr/bin/"
grep -q '^OnCalendar=\*:0/15$' "$units/etc/systemd/system/kestrel.timer"
grep -q '^Environment=KESTREL_HOME=%S/kestrel$' "$units/etc/systemd/system/kestrel.service"
verify=$(systemd-analyze verify --man=no --root="$units" \
  "$units"/etc/systemd/system/kestrel.{service,timer} \
  "$units/etc/systemd/system/kestrel-polling.service" 2>&1) || { echo "$verify" >&2; exit 1; }
test -z "$verify" || { echo "$verify" >&2; exit 1; }

# The cron line from the manual, word for word.
# The manual is read whole first: grep -m1 leaving early would break zcat's
# pipe under pipefail whenever zcat had more to write.
manual=$(zcat "$work/root/usr/share/man/man1/kestrel.1.gz")
cron_line=$(grep -m1 '^\*/15 ' <<<"$manual")
cron_command=${cron_line#\*/15 \* \* \* \* }
test "$cron_command" = 'kestrel \-\-console /AUTO /QUIET'
cron_command=${cron_command//\\-/-}

# An unprivileged user whose program lives in a directory it cannot write.
user_home="$work/user"
fido="$work/spool"
mkdir -p "$user_home" "$fido/outbound" "$fido/netmail" "$fido/inbound"
chmod 755 "$work"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$user_home" "$fido"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
else
  chmod a-w "$work/root/usr/bin"
fi
cron() {
  # cron's own environment: no KESTREL_HOME, no XDG_CONFIG_HOME, no display.
  env -i HOME="$user_home" PATH="$work/root/usr/bin:/usr/bin:/bin" \
    "${as_user[@]}" sh -c "$cron_command" >"$work/cron.out" 2>"$work/cron.err"
}
as() { env -i HOME="$user_home" PATH=/usr/bin:/bin "${as_user[@]}" "$@"; }

# A POP3 mailbox with nothing in it, on 127.0.0.1.
python3 -u - >"$work/pop3.port" <<'PY' &
import socket
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(4)
print(server.getsockname()[1])
server.settimeout(120)
while True:
    connection, _ = server.accept()
    stream = connection.makefile("rwb")
    stream.write(b"+OK ready\r\n")
    stream.flush()
    for line in stream:
        verb = line.split(b" ")[0].strip().upper()
        if verb == b"QUIT":
            stream.write(b"+OK bye\r\n")
        elif verb == b"STAT":
            stream.write(b"+OK 0 0\r\n")
        elif verb in (b"CAPA", b"LIST", b"UIDL"):
            stream.write(b"+OK\r\n.\r\n")
        else:
            stream.write(b"+OK\r\n")
        stream.flush()
        if verb == b"QUIT":
            break
    connection.close()
PY
pop3=$!
trap 'kill $pop3 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -s "$work/pop3.port" ] && break; sleep 0.1; done
pop3_port=$(cat "$work/pop3.port")

# The first run makes the home and says, on standard error, what is missing.
status=0
cron || status=$?
kestrel_home="$user_home/.config/kestrel"
test "$status" -eq 2
test -d "$kestrel_home"
test ! -s "$work/cron.out"
grep -q "Error reading configuration $kestrel_home/KESTREL.INI" "$work/cron.err"

# The examples, pointed at this system: a quiet run prints nothing.
as cp "$work"/root/usr/share/kestrel/examples/* "$kestrel_home/"
as sed -i -e "s|/var/spool/fido|$fido|" -e "s|^POPSERVER .*|POPSERVER 127.0.0.1\nPOPPORT $pop3_port|" \
  "$kestrel_home/KESTREL.INI"
as chmod 600 "$kestrel_home/KESTREL.INI"
status=0
cron || status=$?
test "$status" -eq 0 || { cat "$work/cron.out" "$work/cron.err" >&2; exit 1; }
test ! -s "$work/cron.out"
test ! -s "$work/cron.err" || { cat "$work/cron.err" >&2; exit 1; }
# Each line of the log carries its time.
grep -Eq '^[0-9]{2}:[0-9]{2}:[0-9]{2} -- Done' "$kestrel_home/RECEIVE.LOG"

# The mailer's system user has no home (/nonexistent): the same cron line
# looks in the package's /var/lib/kestrel and says how to choose another.
no_home() { env -i HOME=/nonexistent PATH="$work/root/usr/bin:/usr/bin:/bin" "${as_user[@]}" "$@"; }
if [ ! -e /var/lib/kestrel ]; then
  status=0
  no_home sh -c "$cron_command" >"$work/cron.out" 2>"$work/cron.err" || status=$?
  test "$status" -eq 2
  grep -q "Error reading configuration /var/lib/kestrel/KESTREL.INI (No such file or directory)" "$work/cron.err" \
    || { cat "$work/cron.err" >&2; exit 1; }
  grep -q "Another home with KESTREL_HOME=directory, or another file with /CFG:file" "$work/cron.err"
fi
grep -qx './postinst' <<<"$(dpkg-deb --ctrl-tarfile "$nox" | tar -t)"
# The unit's command as the unit runs it (its state directory under $work),
# by the same user without a home.
unit="$work/root/usr/share/kestrel/systemd/kestrel.service"
state="$work/state"
unit_home=$(sed -n 's/^Environment=KESTREL_HOME=//p' "$unit")
unit_home=${unit_home//%S/$state}
unit_command=$(sed -n 's|^ExecStart=/usr/bin/|'"$work"'/root/usr/bin/|p' "$unit")
mkdir -p "$unit_home"
cp "$kestrel_home"/KESTREL.INI "$kestrel_home"/KESTREL.FLT "$kestrel_home"/HEADER.TXT "$unit_home/"
[ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$state"
status=0
no_home env KESTREL_HOME="$unit_home" sh -c "$unit_command" >"$work/unit.out" 2>"$work/unit.err" || status=$?
test "$status" -eq 0 || { cat "$work/unit.out" "$work/unit.err" >&2; exit 1; }
test ! -s "$work/unit.err" || { cat "$work/unit.err" >&2; exit 1; }
grep -q -- "-- Done" "$unit_home/RECEIVE.LOG"

# A mailbox that cannot be reached: the story and the end on standard error.
kill "$pop3"
status=0
cron || status=$?
test "$status" -eq 1
test ! -s "$work/cron.out"
grep -q "Could not connect" "$work/cron.err"
grep -q "Run ended with problems (exit status 1)" "$work/cron.err"
echo "first hour: home $kestrel_home, units verified, /QUIET silent when well and loud when not"
