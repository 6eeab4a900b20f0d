#!/usr/bin/env bash
# Compares the functions a shared library defines in its dynamic symbol table with a golden list.
set -euo pipefail
lib=$1 golden=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVviu]$/ {print $3}' | sed 's/@.*//' |
         grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u)
expected=$(grep -v '^#' "$golden" | sed '/^$/d' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from $golden (< expected, > actual):"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "$(echo "$actual" | wc -l) exports match $golden"
