# Sourced: starts one Xvfb and a persistent Wine server for the build tree's prefix,
# and stops both when the shell exits.
: "${QEL_BUILD_DIR:?}"
export WINEPREFIX="$QEL_BUILD_DIR/wineprefix"
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
wineserver -k >/dev/null 2>&1 || true
display=99
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
qel_xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# The display must exist before the server starts, or Direct3D stays refused for its lifetime.
wineserver -p
# Wine's services must not inherit CTest's output pipe, or CTest waits for them forever.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
qel_stop_wine_session() {
  wineserver -k >/dev/null 2>&1 || true
  kill "$qel_xvfb_pid" >/dev/null 2>&1 || true
}
trap qel_stop_wine_session EXIT
