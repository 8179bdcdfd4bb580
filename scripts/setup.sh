#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent; runs as root, or through sudo when started by another user.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git patch
  clang libclang-rt-14-dev llvm
  libgtest-dev libgmock-dev
  libcrypto++-dev asn1c
  libpcsclite-dev pcscd pcsc-tools vsmartcard-vpcd
  qt6-base-dev qt6-svg-dev qt6-translations-l10n xvfb xauth
  libp11-kit-dev p11-kit gnutls-bin libengine-pkcs11-openssl
  python3 python3-pykcs11 python3-pyscard
  openssl
  softhsm2 valgrind
  dpkg-dev desktop-file-utils
  libnss3-tools openssh-client openssh-server firefox-esr
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  as_root apt-get update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The tests start sshd themselves, on loopback; a server that came only
# with this setup does not stay enabled on the machine.
if [[ " ${missing[*]-} " == *" openssh-server "* ]] && [ -d /run/systemd/system ]; then
  as_root systemctl disable --now ssh.service || true
fi

# The vpcd driver listens on every interface once pcscd loads it. Keep it out
# of the system's reader configuration: the test bench hands it to its own
# pcscd, on loopback, only while the bench runs.
for f in /etc/reader.conf.d/*; do
  [ -f "$f" ] || continue
  if grep -q 'libifdvpcd' "$f"; then
    as_root mkdir -p /etc/reader.conf.d.zorbix-disabled
    as_root mv "$f" /etc/reader.conf.d.zorbix-disabled/
  fi
done
