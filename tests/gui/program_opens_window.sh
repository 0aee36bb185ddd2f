#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The program opens its window module only to show a window: with a display
# it shows the window (the only side that keeps a position file); with
# --console it maps no Qt library; and a copy without its module says so and
# works on the console.
# Argument: the program.
set -euo pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/outbound" "$work/runtime"
chmod 700 "$work/runtime"
head -c 1000 /dev/urandom >"$work/outbound/00ec0064.out"
# Nothing listens on port 1: the send fails at once.
cat >"$work/home/KESTREL.INI" <<INI
OUTBOUND $work/outbound
HOST 127.0.0.1
SMTPPORT 1
FROMEMAIL gate@example.org
OURZONE 2
REDIRECT 2:236/100 node@example.org Test Node
INI
export KESTREL_HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen

status=0
timeout 60 "$program" /SEND /SHUTDOWN 2>"$work/window.err" || status=$?
test "$status" -eq 1 || { cat "$work/window.err" >&2; exit 1; }
test -f "$work/home/KESTREL.POS"
if grep "cannot show the window" "$work/window.err"; then exit 1; fi

LD_DEBUG=files "$program" --console /REPORT >/dev/null 2>"$work/console.debug"
if grep -E "libQt|kestrel-window" "$work/console.debug"; then
  echo "a console run maps the window" >&2
  exit 1
fi

cp "$program" "$work/kestrel"
report=$("$work/kestrel" /REPORT 2>"$work/alone.err")
grep -q "cannot show the window" "$work/alone.err"
grep -qi "00ec0064.out 1000b" <<<"$report"
