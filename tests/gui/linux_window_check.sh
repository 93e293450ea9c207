#!/usr/bin/env bash
# The real window on a virtual X display at 96 dpi: finds the main window by
# its title, checks its outer size and position, answers the search stage's
# message box, and keeps screenshots as artefacts.
#
# usage: linux_window_check.sh PROGRAM OUTDIR CAPTION
set -euo pipefail

program=$(realpath "$1")
outdir=$(realpath -m "$2")
caption=$3
mkdir -p "$outdir"
rm -f "$outdir"/window.png "$outdir"/screen.png "$outdir"/box.png

pids=()
workdir=$(mktemp -d)
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$workdir"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Waits up to $1 seconds for a window whose whole title is $2; prints its id.
wait_window() {
  local limit=$1 name=$2 id
  for ((t = 0; t < limit * 10; t++)); do
    id=$(xdotool search --onlyvisible --name "^${name}\$" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

geometry() {
  xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print x, y, w, h}'
}

# A free display, chosen by the server itself.
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
pids+=($!)
for ((t = 0; t < 100; t++)); do
  [ -s "$workdir/display" ] && break
  sleep 0.1
done
[ -s "$workdir/display" ] || fail "Xvfb did not start: $(cat "$workdir/xvfb.log")"
export DISPLAY=":$(head -n1 "$workdir/display")"
echo "display $DISPLAY"

# No patch file and no board in the working directory: the search stage
# reports that it found no port, which is what this check expects.
(cd "$workdir" && QT_QPA_PLATFORM=xcb exec timeout 60 "$program") >"$workdir/program.log" 2>&1 &
pids+=($!)
program_pid=$!

main=$(wait_window 20 "$caption") || fail "no window titled \"$caption\": $(cat "$workdir/program.log")"
read -r x y w h <<<"$(geometry "$main")"
echo "main window $main: ${w}x${h} at $x,$y"

# The search stage's error box comes one timer interval after the start.
box=$(wait_window 20 "Fehler") || fail "no \"Fehler\" box from the search stage"
sleep 0.3
import -window root "$outdir/box.png"
# No window manager gives the box the focus: give it, then press Return
# (the box's one button, "OK", is its default).
for ((t = 0; t < 50; t++)); do
  box=$(xdotool search --onlyvisible --name '^Fehler$' 2>/dev/null | head -n1 || true)
  [ -n "$box" ] || break
  xdotool windowfocus "$box" 2>/dev/null || true
  xdotool key Return 2>/dev/null || true
  sleep 0.2
done
if xdotool search --onlyvisible --name '^Fehler$' >/dev/null 2>&1; then fail "the box was not answered"; fi

sleep 0.3
import -window root "$outdir/screen.png"
import -window "$main" "$outdir/window.png"

kill -0 "$program_pid" 2>/dev/null || fail "the program ended after the box: $(cat "$workdir/program.log")"
[ "$w" = 593 ] && [ "$h" = 175 ] || fail "outer size ${w}x${h}, expected 593x175"
# Centred on the 1024 x 768 screen.
[ "$x" = $(((1024 - 593) / 2)) ] && [ "$y" = $(((768 - 175) / 2)) ] || fail "not centred: at $x,$y"
echo "screenshots: $outdir/window.png $outdir/screen.png $outdir/box.png"
echo "PASS"
