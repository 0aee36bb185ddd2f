#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build, the tests and the demo need, only when missing.
# Mail server packages are installed without letting their scripts start system daemons.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config clang-format ccache dpkg-dev file groff-base lintian
  libgtest-dev libgmock-dev googletest libssl-dev libcurl4-openssl-dev nlohmann-json3-dev
  python3-aiosmtpd dovecot-core dovecot-pop3d dovecot-imapd postfix mpack curl fetchmail openssl socat strace
  qt6-base-dev xvfb xauth
  systemd
  clang libclang-rt-14-dev
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  if ! grep -q "install ok installed" <<<"$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)"; then
    missing+=("$p")
  fi
done

# A private Exim for the tests (PIPELINING, CHUNKING, per-connection limits).
# Debian's package would replace postfix, so it is unpacked, not installed;
# Exim runs itself again by its compiled-in path, where a small script finds
# the unpacked binary and its library.
exim_root=/opt/kestrel-exim
install_exim() {
  local dir
  dir=$(mktemp -d)
  (cd "$dir" && apt-get download exim4-daemon-light exim4-base libidn12) || return 1
  for deb in "$dir"/*.deb; do $SUDO dpkg -x "$deb" "$exim_root" || return 1; done
  rm -rf "$dir"
  id Debian-exim >/dev/null 2>&1 ||
    $SUDO useradd --system --no-create-home --shell /usr/sbin/nologin Debian-exim || return 1
  printf '#!/bin/sh\nLD_LIBRARY_PATH=%s/usr/lib/x86_64-linux-gnu exec %s/usr/sbin/exim4 "$@"\n' \
    "$exim_root" "$exim_root" | $SUDO tee /usr/sbin/exim4 >/dev/null &&
    $SUDO chmod 755 /usr/sbin/exim4
}
if [ ! -e /usr/sbin/exim4 ]; then
  echo "install-deps: unpacking a private Exim into $exim_root"
  install_exim || echo "install-deps: Exim could not be unpacked; its tests will be skipped" >&2
fi

[ ${#missing[@]} -eq 0 ] && exit 0

# The package manager's output goes to a log; the screen gets one line per step,
# and the log's tail when a step fails.
log=$(mktemp "${TMPDIR:-/tmp}/kestrel-install.XXXXXX.log")
step() {
  local what=$1
  shift
  echo "install-deps: $what"
  if ! "$@" >>"$log" 2>&1; then
    echo "install-deps: $what failed; the end of $log:" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
}

echo "install-deps: ${#missing[@]} package(s) missing: ${missing[*]}"
created_policy=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  created_policy=1
fi
cleanup() { [ "$created_policy" = 1 ] && $SUDO rm -f /usr/sbin/policy-rc.d; return 0; }
trap cleanup EXIT

step "preseeding postfix" $SUDO debconf-set-selections <<<"postfix postfix/main_mailer_type select No configuration"
step "updating the package lists" $SUDO apt-get update
step "installing" $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
rm -f "$log"
