#!/usr/bin/env bash
# Fetches ONNX Runtime 1.31.1 for Windows x64 into third_party/onnxruntime: bin/onnxruntime.dll from the npm
# package onnxruntime-node 1.31.1, and the C API headers and licence files from the npm package
# com.github.asus4.onnxruntime 0.4.9 (ONNX Runtime 1.29.0; the first package ships no header). The API table
# only grows at its end, so the older header declares a prefix of the version-31 table. The program loads
# the DLL at run time, so no import library is made. Each tarball and the DLL are pinned by SHA-256. Does
# nothing when already done.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/tools/npm-fetch.sh"
dll_package=onnxruntime-node dll_version=1.31.1
dll_tarball_sha256=d7a3de2b1bba92614abc74af909cc0ba4f4dd5347735418794edeb58cfef2d22
dll_sha256=beb6e1edba0e74c132453fe4df113da2ea2b99ef8ea7dfc25696a872efd11c45
header_package=com.github.asus4.onnxruntime header_version=0.4.9
header_tarball_sha256=e59788788818fdde1b2e522e766a21ba0f7d8391de55737abf81e32cc801785d
dest="$root/third_party/onnxruntime"
stamp="$dest/.fetched-$dll_version-$dll_sha256"
qel_fetch_start "$stamp" "fetch-onnxruntime: $dll_package@$dll_version, headers from $header_package@$header_version"
dll_tarball="$(qel_npm_pack "$work" "$dll_package" "$dll_version" "$dll_tarball_sha256")"
header_tarball="$(qel_npm_pack "$work" "$header_package" "$header_version" "$header_tarball_sha256")"
dll="package/bin/napi-v6/win32/x64/onnxruntime.dll"
headers="package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers"
tar xzf "$dll_tarball" -C "$work" "$dll"
echo "$dll_sha256  $work/$dll" | sha256sum -c --quiet -
tar xzf "$header_tarball" -C "$work" "$headers" package/LICENSE package/ThirdPartyNotices.txt

rm -rf "$dest"
mkdir -p "$dest/bin" "$dest/include"
cp "$work/$dll" "$dest/bin/"
cp "$work/$headers"/*.h "$dest/include/"
cp "$work/package/LICENSE" "$dest/LICENSE.onnxruntime.txt"
cp "$work/package/ThirdPartyNotices.txt" "$dest/ThirdPartyNotices.onnxruntime.txt"
touch "$stamp"
