#!/usr/bin/env bash
# Configures and builds everything with the MinGW-w64 cross compiler, then installs the program into dist/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QEL_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --install "$build" --prefix "$root/dist" >/dev/null
