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

# A deb-src entry for the archive and suite the machine's apt sources use.
if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
  src=/etc/apt/sources.list.d/hv-openldap-src.sources
  uri=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  [ -n "$uri" ] || uri=http://deb.debian.org/debian
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$uri" "$suite" | as_root tee "$src" >/dev/null
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
