#!/usr/bin/env bash
# Checks a Windows DLL: its export table holds exactly the names of the golden list, undecorated
# (no @N suffixes, no C++ names), and it imports from system DLLs only, so that a player loads it
# without shipping a C++ runtime beside it.
# usage: check_dll.sh OBJDUMP DLL GOLDEN
set -euo pipefail
objdump=$1 dll=$2 golden=$3
headers=$("$objdump" -p "$dll")

# The name pointer table lists every name exported: "[   0] verch_get".
actual=$(echo "$headers" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
         sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
expected=$(grep -v '^#' "$golden" | sed '/^$/d' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported names differ from $golden (< expected, > actual):"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | sort -u)
foreign=$(echo "$imports" |
          grep -v -i -x -E 'kernel32\.dll|msvcrt\.dll|advapi32\.dll|bcrypt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll' ||
          true)
if [ -n "$foreign" ]; then
  echo "imports from DLLs that are not the system's:"
  echo "$foreign"
  exit 1
fi
echo "$(echo "$actual" | wc -l) exports match $golden; imports: $(echo "$imports" | paste -sd' ' -)"
