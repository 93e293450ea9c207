#!/usr/bin/env bash
# quorvaltine-cli on a terminal: each run goes into a tmux session (a real
# terminal emulator on a pseudo-terminal), and what the session's screen
# shows at the end is kept as NAME.screen.txt; NAME.raw holds every byte
# the program wrote.
#   terminal_view.sh CLI OUTDIR [WINE_RUN]
# With WINE_RUN (scripts/wine-run), CLI is the Windows program, run under
# Wine in the console Wine gives a program on a terminal.
# Exits 77 (skipped) without tmux or script (or wine).
set -euo pipefail
cli=$(realpath "$1") out=$2 wine_run=${3:+$(realpath "$3")}
command -v tmux >/dev/null && command -v script >/dev/null || {
  echo "no tmux or script: skipped"
  exit 77
}
if [ -n "$wine_run" ]; then
  command -v wine >/dev/null || {
    echo "no wine: skipped"
    exit 77
  }
  export QV_WINEPREFIX=$out/wineprefix
  "$wine_run" --prepare "$out" >/dev/null 2>&1
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
export LC_ALL=C.UTF-8
sock=qv-terminal-$$
cleanup() { tmux -L "$sock" kill-server 2>/dev/null || true; }
trap cleanup EXIT

fail=0
# run NAME COLUMNS ROWS ARGS...: the program in a terminal of that size.
run() {
  local name=$1 cols=$2 rows=$3
  shift 3
  local dir=$out/$name
  rm -rf "$dir" "$out/$name".*
  mkdir -p "$dir"
  printf '12;1\n40;255\n41;0E750' >"$dir/Quorvaltine.ini"
  local cmd dirarg=$dir
  if [ -n "$wine_run" ]; then
    dirarg=$(WINEPREFIX=$QV_WINEPREFIX winepath -w "$dir" 2>/dev/null)
    cmd=$(printf '%q ' "$wine_run" "$cli" --dir "$dirarg" "$@")
  else
    cmd=$(printf '%q ' "$cli" --dir "$dir" "$@")
  fi
  # script gives the program the pty and records what it writes; the
  # session's screen is what a person would see.
  tmux -L "$sock" -f /dev/null -u new-session -d -s "$name" -x "$cols" -y "$rows" \
    "script -q -e -c $(printf '%q' "$cmd; echo \$? >$dir/status") $out/$name.raw; tmux -L $sock wait-for -S $name; sleep 600"
  timeout 120 tmux -L "$sock" wait-for "$name"
  tmux -L "$sock" capture-pane -p -t "$name" >"$out/$name.screen.txt"
  tmux -L "$sock" kill-session -t "$name"
}

# expect NAME TEXT...: each text on a line of the last screen.
expect() {
  local name=$1 t
  shift
  for t in "$@"; do
    grep -qF -- "$t" "$out/$name.screen.txt" || {
      echo "FAILED: $name: the screen does not show: $t"
      fail=1
    }
  done
}
# absent NAME REGEX...: no line of the last screen matches.
absent() {
  local name=$1 t
  shift
  for t in "$@"; do
    if grep -qE -- "$t" "$out/$name.screen.txt"; then
      echo "FAILED: $name: the screen shows: $t"
      fail=1
    fi
  done
}
status_is() {
  [ "$(cat "$out/$1/status" 2>/dev/null)" = "$2" ] || {
    echo "FAILED: $1: exit status $(cat "$out/$1/status" 2>/dev/null), not $2"
    fail=1
  }
}
# The live line's frames as the program drew them, one per line.
frames() { tr '\r' '\n' <"$out/$1.raw" | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g'; }

# Without the adapter's latency timer the run lasts the same on both
# platforms (Windows asks for no low latency).
run success 100 30 --simulate --latency 0
status_is success 0
expect success "--- Information ---" "| Patch erfolgreich beendet!" "Fertig: erfolgreich (Status 0, 27,4 s)"
# The transcript is not what a person sees.
absent success '^(stage|progress|status|box|exit|time|board) '
# The bar moved through the programming, with its status beside it.
moves=$(frames success | grep -F 'Geänderte Konfiguration zum Gerät senden' | grep -oE '\] +[0-9]+%' | sort -u | wc -l)
[ "$moves" -ge 20 ] || {
  echo "FAILED: success: the bar showed only $moves positions while sending"
  fail=1
}
frames success | grep -qF '[####################] 100%  Programmierung beendet' || {
  echo "FAILED: success: no full bar at the end of programming"
  fail=1
}

run failure 100 30 --simulate --fault echo-wrong=3
status_is failure 1
expect failure "!!! Fehler !!!" "| Datenübertragungsfehler!  Fehlercode 1" "| Falsches Antwortbyte." \
  "Fertig: nicht erfolgreich (Status 1"
absent failure 'Patch erfolgreich'

run read 100 40 --simulate --read
status_is read 0
expect read 'LCD-Platine: Gerätetyp 0x21 (33), Gerätetext "LCD-Platine 240", Sprache 1' \
  "Werte der Konfiguration:" "   0:        -200     1:        -163" " 119:         203" \
  "| Konfiguration erfolgreich gelesen!" "Fertig: erfolgreich (Status 0"

# A narrow terminal: the live line is cut to it, the table has fewer columns.
run narrow 40 80 --simulate --read
status_is narrow 0
expect narrow "   0:        -200     1:        -163" " 118:         166   119:         203"
long=0
while IFS= read -r l; do
  [ "${#l}" -gt 40 ] && long=$((long + 1))
done < <(frames narrow | grep -E '^. \[')
[ "$long" -eq 0 ] || {
  echo "FAILED: narrow: $long live lines wider than the terminal"
  fail=1
}

# On the real clock a quiet wait (a board that sends no dump, about five
# seconds) still shows the run alive: the spinner turns, the seconds count.
run alive 100 30 --simulate --realtime --read --fault dump-silent
status_is alive 1
expect alive "| Datenübertragungsfehler!" "| Zeitüberschreitung."
quiet=$(frames alive | grep -F 'Konfiguration aus Gerät lesen')
secs=$(grep -oE '[0-9]+ s$' <<<"$quiet" | sort -u | wc -l)
spins=$(cut -c1 <<<"$quiet" | sort -u | wc -l)
if [ "$secs" -lt 4 ] || [ "$spins" -lt 4 ]; then
  echo "FAILED: alive: during the quiet wait $secs different seconds and $spins spinner signs"
  fail=1
fi

# --transcript on a terminal: the transcript after all.
run transcript 100 30 --simulate --transcript --fault no-dsr
status_is transcript 1
expect transcript "stage search begin" "exit 1"

[ "$fail" -eq 0 ] && echo "ok: the screens are in $out"
exit "$fail"
