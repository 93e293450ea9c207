#!/usr/bin/env bash
# What the FTDI adapter's latency timer costs a whole patch run, with and
# without the low-latency request, on the simulated board and on lcdboard
# (the real posix driver on a pty), as ratios to the protocol floor.
# The floor is the run on the virtual clock against an adapter without a
# latency timer: time passes only in the dialogue's sleeps and timer
# intervals. The simulated runs are on the virtual clock too (exact); the
# lcdboard runs take real time (about 25 s each, RUNS of each, median):
# on a loaded machine their figures, and their poll limits, suffer (they
# run at a raised priority where that is allowed).
# usage: bench/latency_run.sh [RUNS] [LATENCY_MS]   (needs build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
b=build/default
cli=$b/tools/cli/quorvaltine-cli lcdboard=$b/tools/lcdboard/lcdboard lib=$b/tools/modemline/libqvmodemline.so
runs=${1:-1} latency=${2:-16}
for f in "$cli" "$lcdboard" "$lib"; do
  [ -e "$f" ] || { echo "build first: cmake --build --preset default --target quorvaltine-cli lcdboard qvmodemline" >&2; exit 1; }
done

sim_ms() {
  local out
  out=$("$cli" --simulate --dir examples "$@")
  grep -q "^box Information: Patch erfolgreich beendet!$" <<<"$out" || { echo "the simulated run failed" >&2; exit 1; }
  sed -n 's/^time //p' <<<"$out"
}

# The success scenario of the end-to-end run on lcdboard: timer, refused.
# A machine too loaded to keep the dialogue's real-time poll limits fails a
# run now and then; such a run is counted on standard error and repeated
# (three times as many tries as RUNS at most).
board_ms() {
  local timer=$1 no_ll=$2 times=() tries=0 out dir
  while [ ${#times[@]} -lt "$runs" ]; do
    tries=$((tries + 1))
    [ "$tries" -le $((3 * runs)) ] || { echo "the lcdboard runs keep failing: $out" >&2; exit 1; }
    dir=$(mktemp -d)
    out=$(QV_E2E_ONLY=success QV_E2E_LATENCY=$timer QV_E2E_NO_LOW_LATENCY=$no_ll \
      "${prio[@]}" tests/e2e/cli_e2e.sh linux "$lcdboard" "$lib" "$cli" "$dir" || true)
    rm -rf "$dir"
    if ! grep -q '^ok success' <<<"$out"; then
      echo "a failed lcdboard run ($(grep -m1 'box Fehler' <<<"$out" | sed 's/^ *//')), load$(uptime | sed 's/.*average//')" >&2
      continue
    fi
    times+=("$(sed -n 's/^ok success (time \([0-9]*\).*/\1/p' <<<"$out")")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

# Other work on the machine starves the board and the program of their
# millisecond steps: where allowed, the real runs take precedence over it.
prio=()
if nice -n -15 true 2>/dev/null; then prio=(nice -n -15); fi
floor=$(sim_ms --latency 0)
echo "protocol floor (virtual clock, no latency timer): $floor ms"
# On a pty a write is done at once, so the real run skips the send waits
# that the simulated line's character time costs: it can beat the floor.
# Its own floor is the same lcdboard run without a timer.
board_floor=$(board_ms 0 1)
echo "lcdboard without a timer: $board_floor ms"
report() {
  awk -v t="$2" -v f="$floor" -v b="${3:-0}" -v w="$1" 'BEGIN {
    printf "%-44s %6d ms  %.3f x floor", w, t, t / f
    if (b > 0) printf "  %.3f x lcdboard without a timer", t / b
    printf "\n" }'
}
report "sim, ${latency} ms timer, no low-latency request" "$(sim_ms --latency "$latency" --no-low-latency)"
report "sim, ${latency} ms timer, low latency" "$(sim_ms --latency "$latency")"
report "lcdboard, ${latency} ms timer, request refused" "$(board_ms "$latency" 1)" "$board_floor"
report "lcdboard, ${latency} ms timer, low latency" "$(board_ms "$latency" 0)" "$board_floor"
