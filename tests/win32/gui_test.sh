#!/usr/bin/env bash
# The Windows program's window under Wine (on the X server of with-xvfb.sh): title from
# the version resource, outer size, a screenshot, the search stage's error
# box answered, and the window closed by the keyboard (exit code 0).
# usage: gui_test.sh WINE_RUN EXE TITLE OUTDIR
set -euo pipefail
winerun=$1 exe=$2 title=$3 outdir=$4
mkdir -p "$outdir"
shot=$outdir/quorvaltine-win32.png
rm -f "$shot"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ -n "${DISPLAY:-}" ] || fail "no display (run through with-xvfb.sh)"
# A prefix of its own: Wine draws the window frames itself here.
export WINEPREFIX=$outdir/wineprefix
prog_pid=
cleanup() {
  [ -n "$prog_pid" ] && kill "$prog_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# Without a window manager, an undecorated Wine window is its whole outer
# rectangle, frame included.
"$winerun" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
wineserver -w

# Polls for a window whose whole name is $1; prints its id.
find_window() {
  local pattern="^$(printf '%s' "$1" | sed 's/[].[*^$\\]/\\&/g')\$" id
  for _ in $(seq 300); do
    id=$(xdotool search --name "$pattern" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

"$winerun" "$exe" &
prog_pid=$!

win=$(find_window "$title") || fail "no window titled \"$title\""
geom=$(xwininfo -id "$win")
width=$(awk '/^  Width:/ {print $2}' <<<"$geom")
height=$(awk '/^  Height:/ {print $2}' <<<"$geom")
echo "window $win: ${width}x${height}"
[ "$width" = 593 ] && [ "$height" = 175 ] || fail "outer size ${width}x${height}, expected 593x175"

box=$(find_window "Fehler") || fail "no error box"
for _ in $(seq 20); do
  xdotool windowfocus "$box" 2>/dev/null || true
  xdotool key --window "$box" Return 2>/dev/null || true
  sleep 0.3
  xdotool search --name '^Fehler$' >/dev/null 2>&1 || break
done
if xdotool search --name '^Fehler$' >/dev/null 2>&1; then fail "the error box was not answered"; fi
sleep 0.5

import -window "$win" "$shot"
[ -s "$shot" ] || fail "no screenshot"
echo "screenshot: $shot"
# The green "Reset" panel (73 x 25 less its edge and its text) is there.
green=$(convert "$shot" -fill black +opaque "rgb(0,128,0)" -fill white -opaque "rgb(0,128,0)" \
  -format '%[fx:int(mean*w*h+0.5)]' info:)
echo "green pixels: $green"
[ "$green" -gt 800 ] || fail "no green Reset panel in the screenshot"

# The window stays open after a failed search; closing it ends the program
# with exit code 0.
for _ in $(seq 20); do
  xdotool windowfocus "$win" 2>/dev/null || true
  xdotool key --window "$win" alt+F4 2>/dev/null || true
  sleep 0.5
  kill -0 "$prog_pid" 2>/dev/null || break
done
kill -0 "$prog_pid" 2>/dev/null && fail "the window did not close"
set +e
wait "$prog_pid"
code=$?
set -e
prog_pid=
[ "$code" = 0 ] || fail "exit code $code after closing the window"
echo "PASS"
