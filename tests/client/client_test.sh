#!/bin/sh
# Installs the build tree into a temporary prefix and builds the client program against it twice,
# through pkg-config and through find_package(Cordane), then runs both builds.
#
#   client_test.sh BUILD-DIR CXX-COMPILER GENERATOR rpath|system
#
# "system": the build was configured for a system prefix, whose programs carry no search path;
# in the temporary prefix they are then shown their libraries through LD_LIBRARY_PATH.
set -eu
build=$1 cxx=$2 generator=$3 paths=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/cordane-client.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; exit 1; }

# Nothing but the products: no test, fuzzer or benchmark program, no static helper library.
extra=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | grep -v \
    -e '^bin/cordane$' -e '^bin/korvel-sim$' -e '^bin/brenmark$' \
    -e '^libexec/cordane/cordane-engine$' \
    -e '^include/cordane/[a-z_]*\.h$' -e '^include/zr318\.h$' \
    -e '^lib/\([^/]*/\)\{0,1\}lib\(cordane\|zr318\)\.so\(\.[0-9.]*\)\{0,1\}$' \
    -e '^lib/\([^/]*/\)\{0,1\}pkgconfig/cordane\.pc$' \
    -e '^lib/\([^/]*/\)\{0,1\}cmake/Cordane/Cordane[A-Za-z-]*\.cmake$' \
    -e '^share/man/man1/\(cordane\|korvel-sim\)\.1\.gz$' || true)
if [ -n "$extra" ]; then
    printf 'installed, but not a product:\n%s\n' "$extra" >&2
    exit 1
fi
for file in bin/cordane bin/korvel-sim include/cordane/cordane.h include/zr318.h; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
done

pc=$(find "$prefix" -name cordane.pc)
[ -n "$pc" ] || { echo "no cordane.pc under $prefix" >&2; exit 1; }
PKG_CONFIG_PATH=$(dirname "$pc")
export PKG_CONFIG_PATH
libdir=$(pkg-config --variable=libdir cordane)

if [ "$paths" = system ]; then
    LD_LIBRARY_PATH="$libdir" "$prefix/bin/cordane" --version
    LD_LIBRARY_PATH="$libdir" "$prefix/bin/korvel-sim" --help >/dev/null
else
    "$prefix/bin/cordane" --version
    "$prefix/bin/korvel-sim" --help >/dev/null
fi
echo "== pkg-config: $(pkg-config --cflags --libs cordane)"
# shellcheck disable=SC2046  # pkg-config's flags are words
"$cxx" -std=c++17 -o "$work/client-pkgconfig" "$here/client.cpp" $(pkg-config --cflags --libs cordane) \
    -Wl,-rpath,"$libdir"
"$work/client-pkgconfig"

echo "== find_package(Cordane)"
cmake -S "$here" -B "$work/cmake-build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/cmake-build" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
"$work/cmake-build/client"
