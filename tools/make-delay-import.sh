#!/usr/bin/env bash
# Usage: make-delay-import.sh TOOL_PREFIX IMPORT_LIBRARY OUTPUT
# Writes a delay-import library with every function of a MinGW-w64 import library: the DLL is then
# loaded at the first call of one of its functions (through libmingwex's __delayLoadHelper2), not at
# start-up. dlltool's x64 thunk keeps only the four integer argument registers, so a function that
# takes floating-point arguments must not be called through it.
set -euo pipefail
prefix="$1" library="$2" output="$3"
dll="$("$prefix-dlltool" --identify "$library")"
# Functions have a code thunk (T); data exports have only their __imp_ pointer and cannot be delayed.
{
  echo "EXPORTS"
  "$prefix-nm" -g --defined-only "$library" | awk '$2 == "T" { print $3 }' | sort -u
} > "$output.def"
"$prefix-dlltool" --dllname "$dll" --input-def "$output.def" --output-delaylib "$output"
