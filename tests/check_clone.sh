#!/usr/bin/env bash
# A user's clone has nothing beside it: the tracked files alone, copied into an empty folder, must
# configure and build the bundled yyjson (the path taken where no yyjson package is installed).
# usage: check_clone.sh SOURCE_DIR CMAKE_COMMAND
set -euo pipefail
src=$1
cmake=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/clone"
if git -C "$src" rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  # Tracked files as they stand in the work tree (deleted ones left out).
  (cd "$src" && git ls-files -z | tar --null -T - --ignore-failed-read -cf - 2> /dev/null) |
    tar -C "$work/clone" -xf -
else
  cp -a "$src/." "$work/clone/"
  rm -rf "$work/clone/build"
fi
"$cmake" -S "$work/clone" -B "$work/build" -DVEPOD_YYJSON_BUNDLED=ON -DVEPOD_BUILD_TESTS=OFF \
         -DVEPOD_BUILD_TOOLS=OFF > "$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; exit 1; }
grep -q 'yyjson 0.12.0: .*/_deps/yyjson/' "$work/configure.log" ||
  { echo "the bundled yyjson was not used:"; cat "$work/configure.log"; exit 1; }
"$cmake" --build "$work/build" --target vepod_yyjson > "$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
echo "a copy of the tracked files configures and builds the bundled yyjson on its own"
