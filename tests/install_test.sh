#!/usr/bin/env bash
# Installs a build into a temporary prefix, builds the example host against it through the CMake
# package and through pkg-config, and runs both hosts and the installed command-line host.
# usage: install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER [C_FLAGS]
set -euo pipefail
build=$1 source=$2 cc=$3 cflags=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
expected='^stream: {"url":"https://media.example.com/g-2.mp3","headers":{}}$'

cmake --install "$build" --prefix "$prefix" > /dev/null

cmake -S "$source/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags -Wall -Wextra -Werror" > /dev/null
cmake --build "$work/cmake" > /dev/null
"$work/cmake/host" > "$work/cmake.out"
grep -q "$expected" "$work/cmake.out"

export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vepod.pc)")
libdir=$(pkg-config --variable=libdir vepod)
# shellcheck disable=SC2046,SC2086
"$cc" $cflags -Wall -Wextra -Werror "$source/examples/host.c" -o "$work/host" \
      $(pkg-config --cflags --libs vepod) -Wl,-rpath,"$libdir"
"$work/host" > "$work/pkg-config.out"
grep -q "$expected" "$work/pkg-config.out"

if [ -e "$build/tools/vepod" ]; then
  [ "$("$prefix/bin/vepod" --version)" = "vepod 1.0.0 (library 1.0.0)" ]
  grep -q "subscribe" "$prefix/share/man/man1/vepod.1"
  grep -q "complete -F _vepod vepod" "$prefix/share/bash-completion/completions/vepod"
fi
echo "the install tree builds and runs the example host"
