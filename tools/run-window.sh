#!/usr/bin/env bash
# Starts dist/Brivane.exe under Wine and saves a screenshot of its window (docs/brivane-window.png).
# Without a display it runs under an Xvfb of its own and ends the program after the screenshot; with a
# display the program keeps running until "Esci" in its notification-area menu.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
: "${QEL_BUILD_DIR:?}"
dist="${QEL_DIST_DIR:-$root/dist}"
shot="${QEL_SCREENSHOT:-$root/docs/brivane-window.png}"
mkdir -p "$(dirname "$shot")"

headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  source "$root/tools/wine-session.sh"
else
  export WINEPREFIX="$QEL_BUILD_DIR/wineprefix"
  source "$root/tools/wine-env.sh"
fi

wine "$dist/Brivane.exe" </dev/null >/dev/null 2>&1 &
program=$!
[ "$headless" = 1 ] && disown "$program"  # ended with the Wine session, without a job notice
window=""
for _ in $(seq 150); do
  window="$(xwininfo -root -tree 2>/dev/null | awk '/"Qel Camera": \(/ {print $1; exit}')"
  [ -n "$window" ] && break
  sleep 0.2
done
if [ -z "$window" ]; then
  echo "run: the window of Brivane.exe did not appear" >&2
  exit 1
fi
sleep 6  # the first statistics and a few passes of the pipeline
import -window "$window" "$shot" 2>/dev/null || import -window root "$shot"
echo "Screenshot of the window: $shot"

if [ "$headless" = 0 ]; then
  echo "Brivane.exe is running; end it with \"Esci\" in its notification-area menu."
  wait "$program" || true
fi
