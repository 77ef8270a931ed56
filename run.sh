#!/usr/bin/env bash
# Sets up, builds the program into dist/ and runs it under Wine (screenshot in docs/brivane-window.png).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
export QEL_BUILD_DIR="${QEL_BUILD_DIR:-$root/build}"
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"
echo "Built into $root/dist:"
(cd "$root/dist" && find . -type f | sort)
bash "$root/tools/run-window.sh"
