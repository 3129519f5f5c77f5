#!/bin/sh
# Builds the Debian packages from the source tree and checks them as a Debian
# administrator and a plug-in author meet them:
#   - dpkg-buildpackage on a copy of the tree (the tests ran on the main
#     build already: nocheck);
#   - lintian -I --pedantic: no error and no warning (what is accepted is
#     overridden, with the reason, in debian/*.lintian-overrides);
#   - every ELF file with read-only relocations, immediate binding, no
#     search path, and the stack protector and fortified calls where it has
#     code of its own;
#   - in a clean chroot of the running Debian release (debootstrap minbase
#     from the configured Debian archive): the packages installed with apt,
#     the libraries in the linker cache (the ldconfig trigger), compressed
#     manual pages, the bundled example, a plug-in and a host program built
#     with pkg-config and with find_package(hvds) and run, and a purge that
#     leaves no file behind.
#
#   debian_check.sh SOURCE_DIR WORK_DIR [TARBALL]
#
# Runs as root (debootstrap, chroot).  WORK_DIR is emptied first.  TARBALL
# is a debootstrap tarball (debootstrap --make-tarball): used when it
# exists, made there first when it does not, so that repeated runs download
# the base system once; without it the base system is downloaded each time.
set -eu
src=$(cd "$1" && pwd)
work=$2
tarball=${3:-}
arch=$(dpkg --print-architecture)
. /etc/os-release
codename=$VERSION_CODENAME

fail() {
    echo "debian_check: FAILED: $*" >&2
    exit 1
}
step() {
    echo "== debian_check: $* ($(date -u +%T))"
}

cleanup() {
    if mountpoint -q "$root/proc" 2>/dev/null; then umount "$root/proc"; fi
    # Nothing may stay mounted below the chroot when it is removed.
    if findmnt -rn -o TARGET | grep -q "^$root/"; then
        echo "debian_check: $root still has mounts; left in place" >&2
    else
        rm -rf --one-file-system "$root"
    fi
}
rm -rf --one-file-system "$work"
mkdir -p "$work/src/hvds"
# Absolute from here on: the package build runs in another directory.
work=$(cd "$work" && pwd)
root=$work/chroot
trap cleanup EXIT

step "build the packages"
# The working tree as git sees it (tracked and new files, not the ignored
# build trees).
(cd "$src" && git ls-files --cached --others --exclude-standard -z) |
    (cd "$src" && tar --null -T - -cf -) | tar -xf - -C "$work/src/hvds"
(cd "$work/src/hvds" &&
    DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) ||
    { tail -n 50 "$work/build.log"; fail "dpkg-buildpackage"; }
debs=$work/src
packages="libhvhost1 libdsmigrate1 hvds libhvds-dev"
for p in $packages; do
    [ -f "$debs/${p}_"*"_$arch.deb" ] || fail "no package $p"
done

step "lintian"
lintian -I --pedantic --fail-on error,warning "$debs"/hvds_*_"$arch".changes ||
    fail "lintian reports an error or a warning that no override explains"

step "ELF files"
mkdir "$work/unpacked"
for p in $packages; do dpkg-deb -x "$debs/${p}_"*"_$arch.deb" "$work/unpacked"; done
elves=0
for f in $(find "$work/unpacked" -type f); do
    [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = "177ELF" ] || continue
    elves=$((elves + 1))
    name=${f#"$work/unpacked"}
    dynamic=$(readelf -dW "$f")
    echo "$dynamic" | grep -q -E '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "$name: no BIND_NOW"
    if echo "$dynamic" | grep -q -E '\((RUNPATH|RPATH)\)'; then fail "$name: carries a search path"; fi
    readelf -lW "$f" | grep -q GNU_RELRO || fail "$name: no RELRO"
    # dsmigrate is only a call into libdsmigrate: nothing to protect.
    [ "$name" = /usr/bin/dsmigrate ] && continue
    symbols=$(readelf --dyn-syms -W "$f")
    echo "$symbols" | grep -q ' __stack_chk_fail' || fail "$name: no stack protector"
    echo "$symbols" | grep -q -E ' __[a-z]+_chk' || fail "$name: no fortified call"
done
[ "$elves" -ge 8 ] || fail "only $elves ELF files in the packages"

step "a clean $codename chroot"
# The Debian archive this machine is configured with.
uri() {
    apt-get indextargets --format '$(REPO_URI)' 'Identifier: Packages' 'Origin: Debian' "Codename: $1" |
        head -n 1
}
mirror=$(uri "$codename")
[ -n "$mirror" ] || fail "no Debian archive for $codename in the apt configuration"
if [ -n "$tarball" ] && [ ! -f "$tarball" ]; then
    debootstrap --variant=minbase --make-tarball="$tarball" "$codename" "$work/tarball-root" "$mirror" \
        >"$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log"; fail "debootstrap --make-tarball"; }
    rm -rf "$work/tarball-root"
fi
debootstrap --variant=minbase ${tarball:+--unpack-tarball="$tarball"} "$codename" "$root" "$mirror" \
    >>"$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log"; fail "debootstrap"; }
{
    for suite in "$codename" "$codename-updates" "$codename-security"; do
        u=$(uri "$suite")
        [ -z "$u" ] || echo "deb $u $suite main"
    done
} >"$root/etc/apt/sources.list"
echo 'Dpkg::Use-Pty "0";' >"$root/etc/apt/apt.conf.d/90no-pty"
mount -t proc proc "$root/proc"
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
in_root apt-get update -qq
# What a plug-in author brings; the rest must come with the packages.
in_root apt-get install -y -qq --no-install-recommends gcc libc6-dev make cmake >/dev/null
# Every file outside the places that change by themselves (apt's and dpkg's
# state, logs, caches, temporary files).
snapshot() {
    in_root find / -xdev \( -path /proc -o -path /tmp -o -path /var/cache -o -path /var/lib/apt \
        -o -path /var/lib/dpkg -o -path /var/log -o -path /root \) -prune -o -print | sort
}
snapshot >"$work/before"

step "install"
mkdir "$root/tmp/debs"
for p in $packages; do cp "$debs/${p}_"*"_$arch.deb" "$root/tmp/debs/"; done
in_root sh -c 'apt-get install -y -qq /tmp/debs/*.deb' >/dev/null
in_root ldconfig -p | grep -q 'libhvhost\.so\.1 ' || fail "libhvhost.so.1 is not in the linker cache"
in_root ldconfig -p | grep -q 'libdsmigrate\.so\.1 ' || fail "libdsmigrate.so.1 is not in the linker cache"
for page in man8/dsmigrate.8 man8/dshost.8 man1/hvtally.1; do
    in_root sh -c "gzip -dc /usr/share/man/$page.gz | head -n 1" | grep -q '^\.TH ' ||
        fail "/usr/share/man/$page.gz is not a compressed manual page"
done
[ "$(in_root dshost --version)" = "dshost (hvds) $(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)" ] ||
    fail "dshost --version"

step "the example"
in_root /usr/share/doc/hvds/examples/run-example.sh /usr >"$work/example.log" 2>&1 ||
    { tail -n 30 "$work/example.log"; fail "the example"; }
[ "$(tail -n 1 "$work/example.log")" = "example: OK" ] || fail "the example did not print example: OK"

step "a plug-in and a host program, with pkg-config and with find_package(hvds)"
cp -r "$src/tests/package/consumer" "$root/tmp/consumer"
in_root sh -ec '
    cd /tmp/consumer
    [ "$(pkg-config --variable=plugindir hvds)" = /usr/lib/hvds/plugins ]
    cc -Wall -Wextra -Werror -fPIC -shared -fvisibility=hidden $(pkg-config --cflags hvds) \
        -o hello_plugin.so hello_plugin.c
    cc -Wall -Wextra -Werror $(pkg-config --cflags hvds) -o hello_host hello_host.c \
        $(pkg-config --libs hvds) -ldl
    [ "$(./hello_host ./hello_plugin.so)" = "hello from the plug-in" ]
    ./hello_host --nodetally "$(pkg-config --variable=plugindir hvds)/nodetally.so"
' >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "the pkg-config build"; }
in_root sh -ec '
    cmake -S /tmp/consumer -B /tmp/consumer-build
    cmake --build /tmp/consumer-build
    [ "$(cat /tmp/consumer-build/plugin_dir.txt)" = /usr/lib/hvds/plugins ]
    [ "$(/tmp/consumer-build/hello_host /tmp/consumer-build/hello_plugin.so)" = "hello from the plug-in" ]
    /tmp/consumer-build/hello_host --nodetally "$(cat /tmp/consumer-build/plugin_dir.txt)/nodetally.so"
' >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "the find_package(hvds) build"; }

step "purge"
in_root apt-get purge -y -qq --autoremove $packages >/dev/null
snapshot >"$work/after"
diff "$work/before" "$work/after" || fail "the purge left the files above changed"
if in_root ldconfig -p | grep -q -E 'libhvhost|libdsmigrate'; then fail "the linker cache still names our libraries"; fi
step "OK"
