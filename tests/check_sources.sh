#!/usr/bin/env bash
# The build lists its sources by name; this finds a library source or test program that exists
# but is not listed (and so would not be built, or its tests not run), or one listed but gone.
# usage: check_sources.sh SOURCE_DIR LISTED_FILE...
set -euo pipefail
cd "$1"
shift
listed=$(printf '%s\n' "$@" | sort -u)
present=$(ls src/*/*.cpp tests/test_*.cpp | sort -u)
if [ "$listed" != "$present" ]; then
  echo "the build's source lists (CMakeLists.txt, tests/CMakeLists.txt) differ from the tree" \
       "(< listed, > present):"
  diff <(echo "$listed") <(echo "$present") || true
  exit 1
fi
echo "$(echo "$listed" | wc -l) listed sources match the tree"
