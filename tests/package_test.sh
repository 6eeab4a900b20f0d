#!/usr/bin/env bash
# Checks the Debian packages scripts/package made: the three packages and what each holds, their
# dependencies, the library's SONAME and exports, a host built with pkg-config against the packages
# extracted into a temporary root and run from there, the client run from there, and lintian.
# usage: package_test.sh PACKAGE_DIR SOURCE_DIR
# (grep reads whole pipelines, never -q: under pipefail an early exit would fail the writer.)
set -euo pipefail
dir=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

version=$(sed -n 's/^project(vepod VERSION \([0-9.]*\) .*/\1/p' "$source/CMakeLists.txt")
lib=$(sed -n 's/^set(VEPOD_LIB \(.*\))$/\1/p' "$source/CMakeLists.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
runtime=lib${lib}1 dev=lib${lib}-dev client=vepod
[ -n "$version" ] && [ -n "$lib" ] || fail "no version or library name in CMakeLists.txt"

names=$(cd "$dir" && ls -- *.deb | sort | paste -sd' ')
[ "$names" = "$(printf '%s\n' "${runtime}_${version}_$arch.deb" "${dev}_${version}_$arch.deb" \
                  "${client}_${version}_$arch.deb" | sort | paste -sd' ')" ] ||
  fail "packages are: $names"
deb() { echo "$dir/$1_${version}_$arch.deb"; }
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
contents() { dpkg-deb -c "$(deb "$1")" | awk '{print $6}' | sed 's|^\./|/|'; }
has() { contents "$1" | grep -x "$2" > /dev/null || fail "$1 lacks $2"; }

# The runtime package: the library under its SONAME, a shlibs file for the packages built against
# it, dependencies found by dpkg-shlibdeps.
libdir=/usr/lib/$multiarch
has "$runtime" "$libdir/lib$lib.so.1"
has "$runtime" "$libdir/lib$lib.so.$version"
has "$runtime" "/usr/share/doc/$runtime/copyright"
dpkg-deb --ctrl-tarfile "$(deb "$runtime")" | tar -xO ./shlibs |
  grep -x "lib$lib 1 $runtime (>= $version)" > /dev/null ||
  fail "$runtime has no shlibs line for lib$lib.so.1"
field "$runtime" Depends | grep 'libc6 (>=' > /dev/null || fail "$runtime depends on: $(field "$runtime" Depends)"
field "$runtime" Depends | grep 'libyyjson0 (>=' > /dev/null || fail "$runtime does not depend on yyjson"

# The development package: header, CMake package, pkg-config file, the .so link; no static library.
for f in /usr/include/vepod.h "$libdir/lib$lib.so" "$libdir/pkgconfig/vepod.pc" \
         "$libdir/cmake/vepod/vepod-config.cmake" "$libdir/cmake/vepod/vepod-targets.cmake"; do
  has "$dev" "$f"
done
if contents "$dev" | grep '\.a$' > /dev/null; then fail "$dev holds a static library"; fi
[ "$(field "$dev" Depends)" = "$runtime (= $version)" ] || fail "$dev depends on: $(field "$dev" Depends)"

# The client: program, manual page, completion; the library from its package, libcurl from shlibdeps.
for f in /usr/bin/vepod /usr/share/man/man1/vepod.1.gz /usr/share/bash-completion/completions/vepod; do
  has "$client" "$f"
done
field "$client" Depends | grep "$runtime (>= $version)" > /dev/null || fail "$client does not depend on $runtime"
field "$client" Depends | grep 'libcurl4 (>=' > /dev/null || fail "$client depends on: $(field "$client" Depends)"

root=$work/root
for p in "$runtime" "$dev" "$client"; do dpkg-deb -x "$(deb "$p")" "$root"; done
so=$root$libdir/lib$lib.so.1
readelf -d "$so" | grep "(SONAME).*\[lib$lib.so.1\]" > /dev/null || fail "SONAME of $so"
"$source/tests/check_exports.sh" "$so" "$source/tests/exports.txt"
if readelf -d "$root/usr/bin/vepod" | grep -E 'RPATH|RUNPATH' > /dev/null; then fail "vepod has a run-time path"; fi

# A player's build against the packages, found through pkg-config in the extracted root.
export PKG_CONFIG_PATH=$root$libdir/pkgconfig
[ "$(pkg-config --modversion vepod)" = "$version" ] || fail "pkg-config gives $(pkg-config --modversion vepod)"
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Wextra -Werror "$source/examples/host.c" -o "$work/host" \
   $(pkg-config --cflags --libs vepod)
LD_LIBRARY_PATH=$root$libdir "$work/host" > "$work/host.out"
grep -qx "library $version (header $version), runtime type PODCASTS" "$work/host.out"
grep -qx 'stream: {"url":"https://media.example.com/g-2.mp3","headers":{}}' "$work/host.out"
[ "$(LD_LIBRARY_PATH=$root$libdir "$root/usr/bin/vepod" --version)" = "vepod $version (library $version)" ] ||
  fail "the packaged client does not run"

# Debian's checks; a tag of severity error fails.
lintian --tag-display-limit 0 "$dir"/*.deb > "$work/lintian.out" 2>&1 ||
  { cat "$work/lintian.out"; fail "lintian reports errors"; }
grep -E '^[WE]: ' "$work/lintian.out" || true
echo "packages checked: $names"
