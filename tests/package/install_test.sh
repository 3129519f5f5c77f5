#!/bin/sh
# Installs the build tree into a scratch prefix as a packager would and
# checks the result as its users see it:
#   - the shared libraries carry a versioned SONAME and export no C++
#     symbol, the plug-ins carry no RUNPATH;
#   - the schema, the licence and the man pages are where the documentation
#     says;
#   - every public header compiles on its own, in C and C++, with the flags
#     of hvds.pc;
#   - a small plug-in and a small host program build against the installed
#     tree, through pkg-config and through find_package(hvds), and the
#     program loads the plug-in and sees its handler answer, and loads the
#     installed nodetally.so and sees it count;
#   - the installed programs answer --help and --version;
#   - a hardened build's programs and libraries bind every symbol at start
#     and carry the stack protector.
#
#   install_test.sh BUILD_DIR SOURCE_DIR VERSION hardened|plain
set -eu
build=$1
src=$2
version=$3
hardened=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/hv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "install_test: FAILED: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(cd "$prefix" && find . -name 'libhvhost.so.*' -type f | head -n 1 | xargs dirname)
libdir=$prefix/${libdir#./}
[ -d "$libdir" ] || fail "libhvhost not installed"

for lib in hvhost dsmigrate; do
    soname=$(readelf -d "$libdir/lib$lib.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [ "$soname" = "lib$lib.so.1" ] || fail "lib$lib.so has SONAME '$soname'"
    [ -f "$libdir/$soname" ] || fail "$soname not installed"
    if nm -D --defined-only "$libdir/$soname" | grep -q ' _Z'; then fail "$soname exports C++ symbols"; fi
done
for p in nodetally attrtally slapdcompat; do
    so=$prefix/lib/hvds/plugins/$p.so
    [ -f "$so" ] || fail "$so not installed"
    if readelf -d "$so" | grep -q -E 'RUNPATH|RPATH'; then fail "$p.so carries a search path"; fi
done
for f in share/hvds/counters.schema share/man/man8/dsmigrate.8 share/man/man8/dshost.8 \
         share/doc/hvds/LICENSE share/doc/hvds/examples/run-example.sh; do
    [ -f "$prefix/$f" ] || fail "$f not installed"
done
grep -q 'Apache License' "$prefix/share/doc/hvds/LICENSE" || fail "LICENSE is not the Apache licence"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cflags=$(pkg-config --cflags hvds) || fail "pkg-config --cflags hvds"
libs=$(pkg-config --libs hvds) || fail "pkg-config --libs hvds"
inc=$(pkg-config --variable=includedir hvds)
[ "$(cd "$inc" && pwd -P)" = "$(cd "$prefix/include" && pwd -P)" ] || fail "hvds.pc points at $inc"

cd "$work"
for h in "$prefix"/include/hv/*.h; do
    name=hv/$(basename "$h")
    # shellcheck disable=SC2086
    echo "#include <$name>" | cc -Wall -Wextra -Werror -fsyntax-only $cflags -x c - ||
        fail "$name does not compile on its own as C"
    # shellcheck disable=SC2086
    echo "#include <$name>" | c++ -Wall -Wextra -Werror -fsyntax-only $cflags -x c++ - ||
        fail "$name does not compile on its own as C++"
done

consumer=$src/tests/package/consumer
# shellcheck disable=SC2086
cc -Wall -Wextra -Werror -fPIC -shared -fvisibility=hidden $cflags -o hello_plugin.so \
    "$consumer/hello_plugin.c" || fail "plug-in build with pkg-config"
# shellcheck disable=SC2086
cc -Wall -Wextra -Werror $cflags -o hello_host "$consumer/hello_host.c" $libs \
    -Wl,-rpath,"$libdir" -ldl || fail "host program build with pkg-config"
[ "$(./hello_host "$work/hello_plugin.so")" = "hello from the plug-in" ] ||
    fail "the pkg-config build did not run"

cmake -S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null ||
    fail "find_package(hvds)"
cmake --build "$work/consumer" >/dev/null || fail "build through find_package(hvds)"
# hvds.pc's plugindir and the CMake package's hvds_PLUGIN_DIR.
plugins=$(cd "$prefix/lib/hvds/plugins" && pwd -P)
for dir in "$(pkg-config --variable=plugindir hvds)" "$(cat "$work/consumer/plugin_dir.txt")"; do
    [ "$(cd "$dir" && pwd -P)" = "$plugins" ] || fail "the plug-in directory is given as $dir"
done
[ "$("$work/consumer/hello_host" "$work/consumer/hello_plugin.so")" = "hello from the plug-in" ] ||
    fail "the find_package build did not run"
# The installed counter plug-in, loaded by a program built outside the tree.
"$work/consumer/hello_host" --nodetally "$prefix/lib/hvds/plugins/nodetally.so" >/dev/null ||
    fail "the installed nodetally.so did not count"

for prog in dsmigrate dshost hvtally; do
    "$prefix/bin/$prog" --help >/dev/null || fail "$prog --help"
    [ "$("$prefix/bin/$prog" --version)" = "$prog (hvds) $version" ] ||
        fail "$prog --version: $("$prefix/bin/$prog" --version)"
done
if [ "$hardened" = hardened ]; then
    for f in "$prefix/bin/dshost" "$prefix/bin/hvtally" "$libdir/libhvhost.so.1" "$libdir/libdsmigrate.so.1" \
             "$prefix/lib/hvds/plugins/nodetally.so" "$prefix/lib/hvds/plugins/slapdcompat.so"; do
        readelf -dW "$f" | grep -q -E '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "$f: no BIND_NOW"
        readelf --dyn-syms -W "$f" | grep -q ' __stack_chk_fail' || fail "$f: no stack protector"
    done
fi
echo "install_test: OK"
