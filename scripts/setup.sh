#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the example
# need.  Idempotent and non-interactive; run as root (or through sudo).
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libnspr4-dev libnss3-dev libnss3-tools
  libldap-dev ldap-utils slapd
  clang libclang-rt-14-dev
  passwd file
  # The Debian packages and their checks.
  debhelper lintian debootstrap
  # The hvtally overlay builds against Debian's openldap source package
  # (scripts/openldap-source.sh): apt-get source, configure.
  dpkg-dev libltdl-dev xz-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi

export DEBIAN_FRONTEND=noninteractive
# The tests start their own slapd on a loopback port; the package must not
# set up or start a system-wide server of its own.
echo "slapd slapd/no_configuration boolean true" | debconf-set-selections
echo "setup: installing ${missing[*]}"
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
