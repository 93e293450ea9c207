#!/usr/bin/env bash
# The board emulator on a pty with the modem-line preload library: lines,
# the line-change wait, the ping, the error counters, unplugging, the stored
# values and the time limit.
#   modemline_check.sh LCDBOARD LIBQVMODEMLINE PROBE WORKDIR
set -euo pipefail
lcdboard=$1 lib=$2 probe=$3 work=$4
rm -rf "$work" && mkdir -p "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# Starts lcdboard with the given arguments; sets $slave and $board_pid.
start_board() {
  local name=$1
  shift
  mkfifo "$work/$name.out"
  "$lcdboard" --state "$work/$name.state" --timeout 60 "$@" >"$work/$name.out" 2>"$work/$name.err" &
  board_pid=$!
  pids+=("$board_pid")
  exec 3<"$work/$name.out"
  if ! read -r -t 10 slave <&3; then
    echo "FAILED: $name: lcdboard printed no slave path" >&2
    cat "$work/$name.err" >&2
    exit 1
  fi
  # Keep the pipe drained so the board never blocks on its output.
  cat <&3 >/dev/null &
  pids+=($!)
  exec 3<&-
}

probe() {
  local name=$1
  shift
  # The probe may be built with ASan, the library is not: ASan must not
  # insist on coming first.
  QV_MODEMLINE_STATE="$work/$name.state" LD_PRELOAD="$lib" \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
    timeout 30 "$probe" "$slave" "$@"
}

# 120 start values, the board's stored values written at the end.
seq -60 59 >"$work/values.in"

start_board lines --fault line-error=1 --board "$work/values.in" --store "$work/lines.store"
probe lines lines 1
kill -TERM "$board_pid"
wait "$board_pid"
cmp "$work/values.in" "$work/lines.store" || {
  echo "FAILED: the board did not store its start values" >&2
  exit 1
}

# Without the error fault no frame error is counted.
start_board clean
probe clean lines 0
kill -TERM "$board_pid"
wait "$board_pid"

start_board unplug --fault unplug=1
probe unplug unplug
kill -TERM "$board_pid"
wait "$board_pid"

# The time limit ends the board with a failure status.
set +e
"$lcdboard" --timeout 0.2 >/dev/null 2>&1
rc=$?
set -e
[ "$rc" -eq 2 ] || {
  echo "FAILED: lcdboard at its time limit exited with $rc, not 2" >&2
  exit 1
}
# So does a fault name it does not know.
if "$lcdboard" --fault no-such-fault >/dev/null 2>&1; then
  echo "FAILED: lcdboard accepted an unknown fault" >&2
  exit 1
fi
echo "modem-line checks passed"
