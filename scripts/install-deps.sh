#!/usr/bin/env bash
# Installs everything the build, the tests and the lab need on Debian 12, as root.
# Samba's services are kept from starting: its daemons run only inside lab namespaces.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev googletest clang-format
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64
  iproute2 procps python3 samba samba-common-bin tshark
  clang libclang-rt-14-dev valgrind strace
  dpkg-dev file man-db debootstrap
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# No daemon started by package scripts: policy-rc.d answers "forbidden" for the install.
policy=/usr/sbin/policy-rc.d
had_policy=0
[ -e "$policy" ] && had_policy=1 && cp -p "$policy" "$policy.tolverin-saved"
restore_policy() {
  if [ "$had_policy" -eq 1 ]; then mv -f "$policy.tolverin-saved" "$policy"; else rm -f "$policy"; fi
}
trap restore_policy EXIT
printf '#!/bin/sh\nexit 101\n' >"$policy"
chmod 755 "$policy"

echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
# Debian enables the daemons for the next boot; nothing of Samba's runs outside a lab.
if command -v systemctl >/dev/null 2>&1; then
  systemctl disable --now smbd nmbd samba-ad-dc >/dev/null 2>&1 || true
fi
