#!/usr/bin/env bash
# Fetches ONNX Runtime 1.29.0 for Windows x64 (npm package com.github.asus4.onnxruntime 0.4.9) into
# third_party/onnxruntime: bin/onnxruntime.dll, include/ (C API headers) and the licence files. The program
# loads the DLL at run time, so no import library is made. Does nothing when already done.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
package=com.github.asus4.onnxruntime
version=0.4.9
sha256=e59788788818fdde1b2e522e766a21ba0f7d8391de55737abf81e32cc801785d
dest="$root/third_party/onnxruntime"
stamp="$dest/.fetched-$version-$sha256"
[ -e "$stamp" ] && exit 0

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
echo "fetch-onnxruntime: $package@$version"
(cd "$work" && npm pack --silent "$package@$version" >/dev/null)
tarball="$work/$package-$version.tgz"
echo "$sha256  $tarball" | sha256sum -c --quiet -
headers="package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers"
tar xzf "$tarball" -C "$work" package/Plugins/Windows/x64/onnxruntime.dll "$headers" \
  package/LICENSE package/ThirdPartyNotices.txt

rm -rf "$dest"
mkdir -p "$dest/bin" "$dest/include"
cp "$work/package/Plugins/Windows/x64/onnxruntime.dll" "$dest/bin/"
cp "$work/$headers"/*.h "$dest/include/"
cp "$work/package/LICENSE" "$dest/LICENSE.onnxruntime.txt"
cp "$work/package/ThirdPartyNotices.txt" "$dest/ThirdPartyNotices.onnxruntime.txt"
touch "$stamp"
