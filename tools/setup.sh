#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12 (run as root). Idempotent.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

packages=(cmake make mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64 googletest wine wine64 xvfb xauth x11-utils
  mesa-vulkan-drivers libvulkan1 imagemagick python3-numpy python3-onnx
  python3-skimage python3-pil)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# The machine's own Node.js may already bring npm.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Fetched third-party pieces, each pinned by version and SHA-256.
for fetch in "$here"/fetch-*.sh; do
  [ -e "$fetch" ] && bash "$fetch"
done
exit 0
