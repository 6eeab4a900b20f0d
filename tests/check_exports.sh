#!/usr/bin/env bash
# Compares the functions a shared library defines in its dynamic symbol table with a golden list,
# by plain name (nm shows "name@@VEPOD_1.0"), and checks that each carries a version node.
set -euo pipefail
lib=$1 golden=$2
defined=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVviu]$/ {print $3}' |
          grep -v -E '^(_init|_fini|_edata|_end|__bss_start)(@|$)' | sort -u)
actual=$(echo "$defined" | sed 's/@.*//' | sort -u)
expected=$(grep -v '^#' "$golden" | sed '/^$/d' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from $golden (< expected, > actual):"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
unversioned=$(echo "$defined" | grep -v '@@' || true)
if [ -n "$unversioned" ]; then
  echo "exported without a default version node (see src/exports.map):"
  echo "$unversioned"
  exit 1
fi
echo "$(echo "$actual" | wc -l) exports match $golden, each with version $(echo "$defined" |
     sed -n 's/.*@@//p' | sort -u | paste -sd, -)"
