#!/usr/bin/env bash
# Runs a command with DISPLAY on a private X server (96 pixels per inch),
# which is ended with it.
set -euo pipefail
disp=
for n in $(seq 91 160); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
    disp=$n
    break
  fi
done
[ -n "$disp" ] || { echo "no free X display" >&2; exit 1; }
Xvfb ":$disp" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
# Wine's processes of the prefix hold the display: end them first.
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=:$disp
for _ in $(seq 100); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
xwininfo -root >/dev/null 2>&1 || { echo "Xvfb did not start" >&2; exit 1; }
set +e
"$@"
code=$?
exit $code
