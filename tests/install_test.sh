#!/usr/bin/env bash
# Installs a build into a temporary prefix, builds the example host against it through the CMake
# package and through pkg-config, as strict ISO C99 with every warning an error, and runs both hosts
# and the installed command-line host.
# usage: install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER [C_FLAGS]
set -euo pipefail
build=$1 source=$2 cc=$3 cflags=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
strict="-std=c99 -pedantic -Wall -Wextra -Werror"

cmake --install "$build" --prefix "$prefix" > /dev/null
version=$(sed -n 's/^#define VEPOD_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/vepod.h")
[ -n "$version" ] || { echo "the installed vepod.h defines no VEPOD_VERSION_STRING"; exit 1; }

# The host prints the library's and the header's version, lists a feed's episodes into a buffer too
# small for them (recovered through vepod_result_json) and resolves the newest one.
check_host() {
  grep -qx "library $version (header $version), runtime type PODCASTS" "$1"
  grep -q '^episodes: \[{"name":"Shoots",.*"locator":"https://media.example.com/g-1.mp3".*}\]$' "$1"
  grep -qx 'stream: {"url":"https://media.example.com/g-2.mp3","headers":{}}' "$1"
}

cmake -S "$source/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags $strict" > /dev/null
cmake --build "$work/cmake" > /dev/null
"$work/cmake/host" > "$work/cmake.out"
check_host "$work/cmake.out"

export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vepod.pc)")
libdir=$(pkg-config --variable=libdir vepod)
# shellcheck disable=SC2046,SC2086
"$cc" $cflags $strict "$source/examples/host.c" -o "$work/host" \
      $(pkg-config --cflags --libs vepod) -Wl,-rpath,"$libdir"
"$work/host" > "$work/pkg-config.out"
check_host "$work/pkg-config.out"

if [ -e "$build/tools/vepod" ]; then
  [ "$("$prefix/bin/vepod" --version)" = "vepod $version (library $version)" ]
  gzip -dc "$prefix/share/man/man1/vepod.1.gz" | grep "subscribe" > /dev/null
  grep -q "complete -F _vepod vepod" "$prefix/share/bash-completion/completions/vepod"
fi
echo "the install tree builds and runs the example host ($version)"
