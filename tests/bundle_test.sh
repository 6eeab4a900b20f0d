#!/usr/bin/env bash
# Checks the Windows bundle (scripts/package-windows): it holds what the README lists and what its
# SHA256SUMS says; the MSVC import library lists exactly the exports; a host linked against that
# .lib (not the DLL) and a host built through the bundle's CMake package run under Wine.
# usage: bundle_test.sh ZIP SOURCE_DIR TOOLCHAIN_FILE   (Wine set up by scripts/test-windows)
set -euo pipefail
zip=$1 source=$2 toolchain=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "bundle test: $*" >&2; exit 1; }
mingw=x86_64-w64-mingw32
lib=$(sed -n 's/^set(VEPOD_LIB \(.*\))$/\1/p' "$source/CMakeLists.txt")

(cd "$work" && cmake -E tar xf "$zip")
name=$(basename "$zip" .zip)
root=$work/$name
[ -d "$root" ] || fail "$zip does not unpack into $name/"

# The README's list (the block after its "windows-bundle-contents" marker), nothing more or less.
listed=$(sed -n '/<!-- windows-bundle-contents -->/,/^```$/p' "$source/README.md" |
         sed '1,2d;$d' | sed 's/[[:space:]]*#.*//; s/[[:space:]]*$//' | sed '/^$/d' | LC_ALL=C sort)
held=$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ -n "$listed" ] || fail "README.md lists no bundle contents"
[ "$listed" = "$held" ] || { diff <(echo "$listed") <(echo "$held") || true; fail "$zip holds other files than README.md lists (< listed, > held)"; }
(cd "$root" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
[ "$(wc -l < "$root/SHA256SUMS")" -eq $(($(echo "$held" | wc -l) - 1)) ] || fail "SHA256SUMS misses files"

# The MSVC import library: every export, and nothing else, each with its __imp_ pointer.
implib=$root/lib/$lib.lib
expected=$(grep -v '^#' "$source/tests/exports.txt" | sed '/^$/d' | LC_ALL=C sort)
actual=$("$mingw-nm" -g --defined-only "$implib" | awk '$2 == "T" {print $3}' | LC_ALL=C sort)
imps=$("$mingw-nm" -g --defined-only "$implib" | awk '$2 == "I" && $3 ~ /^__imp_/ {print $3}' | sed 's/^__imp_//' |
       LC_ALL=C sort)
[ "$actual" = "$expected" ] && [ "$imps" = "$expected" ] ||
  { diff <(echo "$expected") <(echo "$actual") || true; fail "$implib does not list exactly the exports"; }

version=$(sed -n 's/^#define VEPOD_VERSION_STRING "\(.*\)"$/\1/p' "$root/include/vepod.h")
# Its output as install_test.sh reads it (Windows' C runtime ends lines with CR LF).
check_host() {
  tr -d '\r' < "$1" > "$1.lf"
  grep -qx "library $version (header $version), runtime type PODCASTS" "$1.lf" &&
    grep -qx 'stream: {"url":"https://media.example.com/g-2.mp3","headers":{}}' "$1.lf" ||
    fail "$2: $(cat "$1.lf")"
}

# A host linked against the .lib alone, run beside the bundle's DLL.
"$mingw-gcc-posix" -std=c99 -pedantic -Wall -Wextra -Werror -I"$root/include" \
  "$source/examples/host.c" "$implib" -o "$root/bin/host-lib.exe"
"$mingw-objdump" -p "$root/bin/host-lib.exe" > "$work/imports.txt"
grep -q "DLL Name: $lib.dll" "$work/imports.txt" ||
  fail "the host linked against the .lib does not import $lib.dll"
wine "$root/bin/host-lib.exe" > "$work/lib.out" 2> /dev/null || fail "host-lib.exe failed: $(cat "$work/lib.out")"
check_host "$work/lib.out" "host linked against the .lib"

# examples/ built through the bundle's CMake package (the MinGW side of vepod::vepod).
cmake -S "$source/examples" -B "$work/cmake" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -Dvepod_DIR="$root/lib/cmake/vepod" > "$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; fail "examples/ does not configure against the bundle"; }
cmake --build "$work/cmake" > "$work/build.log" 2>&1 || { cat "$work/build.log"; fail "examples/ does not build"; }
cp "$work/cmake/host.exe" "$root/bin/host-cmake.exe"
wine "$root/bin/host-cmake.exe" > "$work/cmake.out" 2> /dev/null ||
  fail "host-cmake.exe failed: $(cat "$work/cmake.out")"
check_host "$work/cmake.out" "host built through the CMake package"
echo "bundle checked: $name.zip ($(echo "$held" | wc -l) files)"
