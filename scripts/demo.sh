#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The main job: a full send-and-receive round on loopback.
#
# Installs what is missing, builds the program, starts a real SMTP server
# (aiosmtpd) and a real POP3 server (dovecot) on 127.0.0.1, lays out a small
# FidoNet system (an outbound with a mail packet and a flow file, a netmail for
# a redirected node), writes KESTREL.INI, HEADER.TXT and KESTREL.FLT into a demo
# home and runs "kestrel --console /AUTO": the files go out by SMTP into the
# mailbox and come back by POP3 into the inbound. Then it prints both logs and
# the inbound, checks that every sent file arrived unchanged, and stops the
# servers it started. KESTREL_DEMO_KEEP=1 keeps the demo directory.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

say() { printf '\n== %s\n' "$*"; }

say "Installing what is missing"
bash scripts/install-deps.sh

say "Building"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
build=build/demo
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTREL_BUILD_GUI=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kestrel
kestrel=$repo/$build/kestrel

# Under /tmp: the unprivileged mail user must reach every directory above it.
demo=$(mktemp -d /tmp/kestrel-demo-XXXXXX)
chmod 755 "$demo"
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  if [ "${KESTREL_DEMO_KEEP:-0}" = 1 ]; then
    echo "Demo directory kept: $demo"
  else
    rm -rf "$demo"
  fi
  exit "$status"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
# Waits until the server on a port greets with the given prefix.
wait_greeting() {
  local port=$1 prefix=$2 line
  for _ in $(seq 100); do
    if exec 3<>"/dev/tcp/127.0.0.1/$port" 2>/dev/null; then
      if read -r -t 2 line <&3 && [[ $line == "$prefix"* ]]; then
        exec 3>&-
        return 0
      fi
      exec 3>&-
    fi
    sleep 0.2
  done
  echo "No greeting on port $port" >&2
  return 1
}

say "Starting the mail servers on 127.0.0.1"
# dovecot gives no mail access to root: the mailbox belongs to a system user.
as_mail_user=()
if [ "$(id -u)" -eq 0 ]; then
  mail_user=kestrelmail
  id -u "$mail_user" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$mail_user"
  mail_uid=$(id -u "$mail_user")
  mail_gid=$(id -g "$mail_user")
  as_mail_user=(setpriv --reuid="$mail_uid" --regid="$mail_gid" --clear-groups)
else
  mail_user=$(id -un)
  mail_uid=$(id -u)
  mail_gid=$(id -g)
fi
maildir=$demo/mail/Maildir
mkdir -p "$maildir"/{new,cur,tmp} "$demo/dovecot/run" "$demo/dovecot/state"
cp tests/servers/smtp_server.py "$demo/smtp_server.py"
chmod 644 "$demo/smtp_server.py"
[ "$(id -u)" -eq 0 ] && chown -R "$mail_uid:$mail_gid" "$demo/mail"

# SMTP: aiosmtpd delivering straight into the POP3 mailbox, as its owner.
"${as_mail_user[@]}" /usr/bin/python3 "$demo/smtp_server.py" --maildir "$maildir" \
  >"$demo/smtp.port" 2>"$demo/smtp.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$demo/smtp.port" ] && break; sleep 0.1; done
smtp_port=$(head -n1 "$demo/smtp.port")
wait_greeting "$smtp_port" 220

# POP3: dovecot with a configuration of its own, one user, plain login on loopback.
pop_port=$(free_port)
echo "fido:{PLAIN}secret::::::" >"$demo/dovecot/passwd"
chmod 644 "$demo/dovecot/passwd"
{
  echo "base_dir = $demo/dovecot/run"
  echo "state_dir = $demo/dovecot/state"
  echo "log_path = $demo/dovecot/dovecot.log"
  echo "protocols = pop3"
  echo "listen = 127.0.0.1"
  echo "ssl = no"
  echo "disable_plaintext_auth = no"
  echo "auth_mechanisms = plain login"
  echo "first_valid_uid = $mail_uid"
  echo "last_valid_uid = 0"
  echo "mail_location = maildir:$maildir"
  echo "passdb {"
  echo "  driver = passwd-file"
  echo "  args = scheme=PLAIN $demo/dovecot/passwd"
  echo "}"
  echo "userdb {"
  echo "  driver = static"
  echo "  args = uid=$mail_uid gid=$mail_gid home=$demo/mail"
  echo "}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "default_internal_user = $mail_user"
    echo "default_login_user = $mail_user"
  fi
  echo "service pop3-login {"
  echo "  inet_listener pop3 {"
  echo "    address = 127.0.0.1"
  echo "    port = $pop_port"
  echo "  }"
  echo "}"
  echo "service imap-login {"
  echo "  inet_listener imap {"
  echo "    port = 0"
  echo "  }"
  echo "}"
} >"$demo/dovecot/dovecot.conf"
/usr/sbin/dovecot -F -c "$demo/dovecot/dovecot.conf" 2>"$demo/dovecot/stderr.log" &
pids+=($!)
wait_greeting "$pop_port" +OK
echo "SMTP on 127.0.0.1:$smtp_port, POP3 on 127.0.0.1:$pop_port"

say "Laying out a sample FidoNet system"
fido=$demo/fido
home=$demo/home
mkdir -p "$fido"/{outbound,netmail,inbound,files} "$home"
/usr/bin/python3 - "$fido" <<'PY'
import os, struct, sys

fido = sys.argv[1]
ours = (2, 236, 100)    # zone, net, node of this system
remote = (2, 236, 200)  # the redirected node

def z(text, size):
    data = text.encode("ascii")[: size - 1]
    return data + b"\0" * (size - len(data))

def packet(orig, dest, messages):
    """A type 2+ packet: 58-byte header, packed messages, closing zero word."""
    head = struct.pack("<12H", orig[2], dest[2], 2026, 11, 7, 8, 5, 0, 0, 2, orig[1], dest[1])
    head += bytes([0xFE, 0]) + b"\0" * 8
    head += struct.pack("<5H", orig[0], dest[0], 0, 0x0100, 0)
    head += struct.pack("<5H", 0x0001, orig[0], dest[0], 0, 0) + b"\0" * 4
    assert len(head) == 58
    body = b""
    for to, frm, subject, text in messages:
        body += struct.pack("<7H", 2, orig[2], dest[2], orig[1], dest[1], 0x0101, 0)
        body += z("07 Dec 26  08:05:00", 20)
        for field in (to, frm, subject, text):
            body += field.encode("ascii") + b"\0"
    return head + body + b"\0\0"

echo_text = "AREA:FIDO.DEMO\r\x01MSGID: 2:236/100 6c1e0001\rHello from the demo.\r--- Kestrel demo\r"
with open(os.path.join(fido, "outbound", "00ec00c8.out"), "wb") as out:
    out.write(packet(ours, remote, [("All", "Demo Sysop", "Demo echomail", echo_text)]))

# A file to send, listed in the node's flow file (kept after sending).
with open(os.path.join(fido, "files", "nodediff.a07"), "wb") as out:
    out.write(bytes((i * 37 + 11) % 256 for i in range(5000)))
with open(os.path.join(fido, "outbound", "00ec00c8.flo"), "w") as out:
    out.write(os.path.join(fido, "files", "nodediff.a07") + "\r\n")

# A stored netmail (190-byte header) from this system to the redirected node.
attr = 0x0100 | 0x0001  # Local, Private
head = z("Demo Sysop", 36) + z("Remote Sysop", 36) + z("Netmail through e-mail", 72)
head += z("07 Dec 26  08:05:00", 20)
head += struct.pack("<13H", 0, remote[2], ours[2], 0, ours[1], remote[1], 0, 0, 0, 0, 0, attr, 0)
assert len(head) == 190
text = "\x01INTL 2:236/200 2:236/100\r\x01MSGID: 2:236/100 6c1e0002\rHi,\r\rthis netmail travels as e-mail.\r\r--- Kestrel demo\r\0"
with open(os.path.join(fido, "netmail", "1.msg"), "wb") as out:
    out.write(head + text.encode("ascii"))
PY

# What must come back unchanged: the packet and the listed file.
( cd "$fido" && sha256sum outbound/00ec00c8.out files/nodediff.a07 ) >"$demo/sent.sha256"

cat >"$home/KESTREL.INI" <<INI
; Kestrel demo configuration
OURZONE 2
OUTBOUND $fido/outbound
NETMAIL $fido/netmail
HOST 127.0.0.1
SMTPPORT $smtp_port
FROM Demo Sysop
FROMEMAIL sysop@example.org
SUBJECT FidoNet mail for \$FILENAME\$
REDIRECT 236/200 fido@example.org Remote Sysop
POPSERVER 127.0.0.1
POPPORT $pop_port
POPUSERNAME fido
POPPASSWORD secret
INBOUND $fido/inbound
NETTIMEOUT 30
INI
cat >"$home/HEADER.TXT" <<'TXT'
This message carries FidoNet mail.
File: $FILENAME$ ($FILESIZE$ bytes), sent by Kestrel $VERSION$.
TXT
cat >"$home/KESTREL.FLT" <<'FLT'
; The demo mailbox holds only our own mail: take everything.
@ALL
FLT
echo "Outbound:"; ls -l "$fido/outbound" "$fido/netmail"

say "Running: kestrel --console /AUTO"
set +e
KESTREL_HOME=$home "$kestrel" --console /AUTO
status=$?
set -e
echo "kestrel ended with status $status"

arrived() {
  local sum file sums
  # Summed whole first: grep -q leaving early would break the pipe under pipefail.
  sums=$(cd "$fido/inbound" && sha256sum -- * 2>/dev/null) || true
  while read -r sum file; do
    grep -q "^$sum " <<<"$sums" || return 1
  done <"$demo/sent.sha256"
}
if [ "$status" -eq 0 ] && ! arrived; then
  # Both jobs start together: the get job may have looked before the mail was
  # delivered. One more get fetches it.
  say "The mail came in after the get job looked; running: kestrel --console /GET"
  set +e
  KESTREL_HOME=$home "$kestrel" --console /GET
  status=$?
  set -e
fi

say "SEND.LOG"
cat "$home/SEND.LOG" 2>/dev/null || echo "(none)"
say "RECEIVE.LOG"
cat "$home/RECEIVE.LOG" 2>/dev/null || echo "(none)"
say "Inbound"
ls -l "$fido/inbound"

say "Checking that the files arrived unchanged"
ok=1
while read -r sum file; do
  match=$( (cd "$fido/inbound" && sha256sum -- * 2>/dev/null) | awk -v s="$sum" '$1 == s { print $2; exit }')
  if [ -n "$match" ]; then
    echo "identical: $file -> inbound/$match"
  else
    echo "MISSING:   $file"
    ok=0
  fi
done <"$demo/sent.sha256"
if [ "$ok" = 1 ] && [ "$status" -eq 0 ]; then
  echo "Demo round complete: every file arrived identical."
  exit 0
fi
echo "Demo round FAILED." >&2
exit 1
