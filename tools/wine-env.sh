# Sourced with WINEPREFIX set: the Wine settings of the project's own runs (tests, ./run.sh).
: "${WINEPREFIX:?}"
export WINEDEBUG="${WINEDEBUG:--all}" WINE_D3D_CONFIG="${WINE_D3D_CONFIG:-renderer=vulkan}"
# Windows loads the Visual C++ runtime shipped beside onnxruntime.dll; Wine would take its own copies, whose
# std::mutex layout is older than ONNX Runtime 1.31 expects, and its environment would deadlock.
case ";${WINEDLLOVERRIDES:-};" in
  *";msvcp140,vcruntime140,vcruntime140_1=n,b;"*) ;;
  *) export WINEDLLOVERRIDES="msvcp140,vcruntime140,vcruntime140_1=n,b${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}" ;;
esac
