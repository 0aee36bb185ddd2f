#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only when missing.
# Mail server packages are installed without letting their scripts start system daemons.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config clang-format ccache dpkg-dev file groff-base lintian
  libgtest-dev libgmock-dev googletest libssl-dev
  python3-aiosmtpd dovecot-core dovecot-pop3d postfix mpack curl openssl socat strace
  qt6-base-dev xvfb xauth
  clang libclang-rt-14-dev
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
created_policy=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  created_policy=1
fi
cleanup() { [ "$created_policy" = 1 ] && $SUDO rm -f /usr/sbin/policy-rc.d; return 0; }
trap cleanup EXIT

echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
