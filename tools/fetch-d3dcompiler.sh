#!/usr/bin/env bash
# Fetches the x64 HLSL compiler DLL that the compositor tests put into the test Wine prefix (Wine's own
# copy cannot compile the compositor's shader program). Windows ships it, so it never goes into dist/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
version=0.6.2
sha256=77a6be6513b9f7c2e94425620ce603efb38cdc5d0393e1b31a1b0c8479330ffd
dest="$root/third_party/d3dcompiler"
[ -f "$dest/d3dcompiler_47.dll" ] && exit 0

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack "webgpu@$version" --silent >/dev/null)
tarball="$work/webgpu-$version.tgz"
echo "$sha256  $tarball" | sha256sum -c --quiet -
tar -xzf "$tarball" -C "$work" package/dist/win32-x64/d3dcompiler_47.dll
mkdir -p "$dest"
mv "$work/package/dist/win32-x64/d3dcompiler_47.dll" "$dest/d3dcompiler_47.dll"
echo "fetch-d3dcompiler: d3dcompiler_47.dll from webgpu@$version"
