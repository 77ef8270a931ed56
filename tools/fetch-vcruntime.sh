#!/usr/bin/env bash
# Fetches Microsoft's redistributable Visual C++ runtime 14.52.37029.0 for x64 (msvcp140.dll,
# vcruntime140.dll, vcruntime140_1.dll), which ONNX Runtime 1.31 needs at version 14.40 or later, into
# third_party/vcruntime, from the npm package hermes-compiler 260318099.0.8 (tarball and each file pinned by
# SHA-256), and writes the notice that ships with them. Does nothing when already done.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/tools/npm-fetch.sh"
package=hermes-compiler version=260318099.0.8 runtime_version=14.52.37029.0
tarball_sha256=27abf690176db6027b3b27b30186cce994bdbb540ccba981f365c9ab8c7a5196
files=(
  "msvcp140.dll 59d325227321d52b9a523ea401ce6787a5d59f78229a0ff3a6f124e5d3445685"
  "vcruntime140.dll eb1ee979bf02324712346e5bdbfc59c785388bc50d18cc2688aae4b0734915a0"
  "vcruntime140_1.dll a14b4a42a2c6df04d6d53a8340816023d953406f7f3d94996c7cab30c414ff63"
)
dest="$root/third_party/vcruntime"
stamp="$dest/.fetched-$runtime_version-$tarball_sha256"
qel_fetch_start "$stamp" "fetch-vcruntime: Visual C++ runtime $runtime_version from $package@$version"
tarball="$(qel_npm_pack "$work" "$package" "$version" "$tarball_sha256")"
rm -rf "$dest"
mkdir -p "$dest"
for entry in "${files[@]}"; do
  read -r name sha256 <<<"$entry"
  tar xzf "$tarball" -C "$work" "package/hermesc/win64-bin/$name"
  echo "$sha256  $work/package/hermesc/win64-bin/$name" | sha256sum -c --quiet -
  cp "$work/package/hermesc/win64-bin/$name" "$dest/"
done
cat > "$dest/NOTICE-vcruntime.txt" <<NOTICE
msvcp140.dll, vcruntime140.dll and vcruntime140_1.dll are Microsoft's redistributable Visual C++ 2015-2022
runtime for x64, version $runtime_version, shipped unchanged beside Brivane.exe for onnxruntime.dll.
They are distributed under the terms of the Microsoft Visual Studio licence for redistributable code.
NOTICE
touch "$stamp"
