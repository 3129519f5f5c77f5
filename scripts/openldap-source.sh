#!/usr/bin/env bash
# Fetches Debian's openldap source package of the installed slapd into DIR
# and prepares only what a slapd overlay module compiles against: configure
# (include/portable.h) and `make -C include` (include/ldap_config.h).
# Usage: scripts/openldap-source.sh DIR.  Prints the prepared tree's path.
# Idempotent: a prepared tree of the installed version is reused.
set -euo pipefail
dest=${1:?usage: openldap-source.sh DIR}
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

version=$(dpkg-query -W -f='${Version}' slapd)
upstream=${version#*:}; upstream=${upstream%%-*}; upstream=${upstream%%+*}
tree=$dest/openldap-$upstream
stamp=$tree/.hv-prepared-$version
if [ -f "$stamp" ]; then echo "$tree"; exit 0; fi

# deb-src entries for the archives and suites the machine's apt sources use,
# so that the source of the installed version is found.
if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      as_root tee /etc/apt/sources.list.d/hv-openldap-src.sources >/dev/null
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      as_root tee /etc/apt/sources.list.d/hv-openldap-src.list >/dev/null
  fi
  as_root apt-get update -qq >&2
fi

mkdir -p "$dest"
rm -rf "$tree"
(cd "$dest" && apt-get source -qq --download-only "openldap=$version" >&2 &&
  dpkg-source -x --no-check openldap_*.dsc "$tree" >&2 && rm -f openldap_*)
(cd "$tree" &&
  ./configure -q --enable-modules --disable-backends --enable-mdb=mod \
    --without-cyrus-sasl --without-tls >&2 &&
  make -s -C include >&2)
touch "$stamp"
echo "$tree"
