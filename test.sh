#!/usr/bin/env bash
# Sets up, builds and runs every test under Wine (window and Direct3D tests under Xvfb).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
export QEL_BUILD_DIR="${QEL_BUILD_DIR:-$root/build}"
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"
source "$root/tools/wine-session.sh"
cd "$QEL_BUILD_DIR"
ctest --output-on-failure -j"${QEL_TEST_JOBS:-4}" "$@"
