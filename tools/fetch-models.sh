#!/usr/bin/env bash
# Makes the two face models in third_party/models from trained weights published on the npm registry
# under Apache-2.0 (pinned versions and SHA-256), with tools/tflite2onnx.py, plus the licence and notice
# that are installed beside them. Does nothing when already done.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
detector_pkg=@mediapipe/face_detection
detector_version=0.4.1657300184
detector_sha256=a118cde74923dc4435257fbfbb613464a0f58d115dff6314d4ff96c8aebf6419
mesh_pkg=@mediapipe/face_mesh
mesh_version=0.4.1657299874
mesh_sha256=c08a7e0742a326285da666cf81d77c8b6f3a181a2ee948cadaf166008e0d3bc7
# face_landmark.tflite inside face_mesh_solution_packed_assets.data (from the package's loader script).
mesh_start=2495952
mesh_end=3737848
dest="$root/third_party/models"
stamp="$dest/.fetched-$detector_version-$mesh_version-$(sha256sum "$root/tools/tflite2onnx.py" | cut -c1-16)"
[ -e "$stamp" ] && exit 0

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
echo "fetch-models: $detector_pkg@$detector_version, $mesh_pkg@$mesh_version"
(cd "$work" && npm pack --silent "$detector_pkg@$detector_version" "$mesh_pkg@$mesh_version" >/dev/null)
echo "$detector_sha256  $work/mediapipe-face_detection-$detector_version.tgz" | sha256sum -c --quiet -
echo "$mesh_sha256  $work/mediapipe-face_mesh-$mesh_version.tgz" | sha256sum -c --quiet -
mkdir -p "$work/detector" "$work/mesh"
tar xzf "$work/mediapipe-face_detection-$detector_version.tgz" -C "$work/detector" \
  package/face_detection_short_range.tflite
tar xzf "$work/mediapipe-face_mesh-$mesh_version.tgz" -C "$work/mesh" \
  package/face_mesh_solution_packed_assets.data

rm -rf "$dest"
mkdir -p "$dest"
/usr/bin/python3 "$root/tools/tflite2onnx.py" "$work/detector/package/face_detection_short_range.tflite" \
  "$dest/face_detector.onnx" --expect input=49152 --expect regressors=14336 --expect classificators=896
/usr/bin/python3 "$root/tools/tflite2onnx.py" "$work/mesh/package/face_mesh_solution_packed_assets.data" \
  "$dest/face_landmarks.onnx" --offset "$mesh_start" --length $((mesh_end - mesh_start)) \
  --expect input_1=110592 --expect conv2d_21=1404 --expect conv2d_31=1
cp /usr/share/common-licenses/Apache-2.0 "$dest/LICENSE-models.txt"
cat > "$dest/NOTICE-models.txt" <<NOTICE
face_detector.onnx and face_landmarks.onnx are converted, without retraining, from the trained models
face_detection_short_range.tflite (npm package $detector_pkg $detector_version) and
face_landmark.tflite (npm package $mesh_pkg $mesh_version), both published under the
Apache License, Version 2.0 (LICENSE-models.txt). The conversion changes only the file format: the
float16 weights are widened to float32 and the layers are re-expressed as ONNX operators.
NOTICE
touch "$stamp"
