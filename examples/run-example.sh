#!/bin/sh
# Walks through an upgrade and a downgrade on a sample server root:
#
#   run-example.sh BUILD_DIR     (a build tree)
#   run-example.sh PREFIX        (an installation, e.g. /usr for the package)
#
# 1. makes a server root with two instances at the baseline
#    (make-server-root.sh), handed to the user "nobody" when run as root, so
#    that the tools really switch to the instance owner;
# 2. upgrades both instances with BUILD_DIR/bin/dshost and shows what changed
#    (versions.conf, the schema, hvCertfile, the script backups);
# 3. runs BUILD_DIR/bin/dsmigrate -downgrade, which refuses while the new
#    certificate database exists; reverts the certificate database as an
#    administrator would, and downgrades again;
# 4. checks that the instances are back at the baseline, their scripts
#    identical to the originals.
#
# Exits 0 when every step did what it should.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR|PREFIX" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
dshost=$build/bin/dshost
dsmigrate=$build/bin/dsmigrate
for prog in "$dshost" "$dsmigrate"; do
    [ -x "$prog" ] || { echo "$0: $prog not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/hv-example.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # the instance owner must reach the server root
root=$work/server-root
instances="example1 example2"
# Restored by the downgrade from the backups the upgrade made.
restored="saveconfig restoreconfig ldif2db db2ldif vlvindex db2bak bak2db suffix2instance get-clusterinfo-slapd"

fail() {
    echo "example: FAILED: $*" >&2
    exit 1
}
step() {
    printf '\n==== %s\n' "$*"
}

owner_opt=
if [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1; then
    owner_opt="-o nobody"
fi

step "Sample server root at the baseline: $root"
# shellcheck disable=SC2086
"$here/make-server-root.sh" $owner_opt "$root" $instances
mkdir "$work/orig"
for i in $instances; do
    mkdir "$work/orig/slapd-$i"
    cp -p "$root/slapd-$i/config/schema/00core.ldif" "$root/slapd-$i/config/dse.ldif" "$work/orig/slapd-$i/"
    for s in $restored; do cp -p "$root/slapd-$i/$s" "$work/orig/slapd-$i/"; done
done
ls -l "$root" "$root/alias"
"$dshost" status "$root"

for i in $instances; do
    step "Upgrade slapd-$i"
    "$dshost" upgrade "$root/slapd-$i" || fail "upgrade of slapd-$i"
done

step "Levels after the upgrade"
"$dshost" status "$root"
for i in $instances; do
    inst=$root/slapd-$i
    printf 'slapd-%s/upgrade/versions.conf: ' "$i"
    od -An -c "$inst/upgrade/versions.conf" | tr -s ' '
    [ "$(cat "$inst/upgrade/versions.conf")" = "$(printf '1\t2')" ] || fail "slapd-$i not at level 2"
    [ -f "$root/alias/slapd-$i-cert8.db" ] || fail "no cert8 database for slapd-$i"
    grep -q "^hvCertfile: alias/slapd-$i-cert8.db$" "$inst/config/dse.ldif" || fail "hvCertfile of slapd-$i"
done

step "What changed in slapd-example1"
inst=$root/slapd-example1
echo "-- core schema (diff against the original):"
diff -u "$work/orig/slapd-example1/00core.ldif" "$inst/config/schema/00core.ldif" || true
echo "-- dse.ldif (diff against the original):"
diff -u "$work/orig/slapd-example1/dse.ldif" "$inst/config/dse.ldif" || true
echo "-- certificates now in the cert8 database:"
certutil -L -d "dbm:$root/alias" -P slapd-example1- || fail "certutil -L on the cert8 database"
echo "-- backups of the pre-patch scripts:"
ls -l "$inst/upgrade/bak_patch2"
echo "-- the regenerated db2ldif:"
cat "$inst/db2ldif"

step "Second upgrade run: nothing to do"
"$dshost" upgrade "$root/slapd-example1" || fail "second upgrade run"

step "Downgrade while the new certificate database exists (expected to fail)"
if "$dsmigrate" -downgrade -s "$root"; then
    fail "the downgrade went through although the cert8 databases exist"
fi
for i in $instances; do
    [ "$(cat "$root/slapd-$i/upgrade/versions.conf")" = "$(printf '1\t2')" ] ||
        fail "slapd-$i lost its level though the downgrade failed"
done

step "Revert the certificate databases as an administrator would"
for i in $instances; do
    inst=$root/slapd-$i
    rm "$root/alias/slapd-$i-cert8.db"
    # sed -i keeps the file's owner and mode; the server is not running.
    sed -i "s|^hvCertfile: alias/slapd-$i-cert8.db\$|hvCertfile: alias/slapd-$i-cert7.db|" "$inst/config/dse.ldif"
    grep '^hvCertfile:' "$inst/config/dse.ldif"
done

step "Downgrade again"
"$dsmigrate" -downgrade -s "$root" || fail "the downgrade after the revert"

step "Back at the baseline"
"$dshost" status "$root"
for i in $instances; do
    inst=$root/slapd-$i
    [ ! -e "$inst/upgrade" ] || fail "slapd-$i still has an upgrade directory"
    for s in $restored; do
        cmp "$work/orig/slapd-$i/$s" "$inst/$s" || fail "slapd-$i/$s differs from the original"
    done
    echo "slapd-$i: the nine restored scripts are identical to the originals"
done

printf '\nexample: OK\n'
