#!/usr/bin/env bash
# The whole patch run on the simulated board in real time, against its floor.
# The floor is the same run on the virtual clock: there, time passes only in
# the dialogue's sleeps and timer intervals, and every byte's line time at
# 9600 baud passes within them; a real run can only add to it.
# usage: bench/patch_run.sh [RUNS]   (needs build/default, see scripts/main-job)
set -euo pipefail
cd "$(dirname "$0")/.."
cli=build/default/tools/cli/quorvaltine-cli
runs=${1:-3}
[ -x "$cli" ] || { echo "build first: cmake --build --preset default --target quorvaltine-cli" >&2; exit 1; }

run_ms() {
  local out
  out=$("$cli" --simulate --dir examples "$@")
  grep -q "^box Information: Patch erfolgreich beendet!$" <<<"$out" || {
    echo "the run failed:" >&2
    grep "^box" <<<"$out" >&2
    exit 1
  }
  sed -n 's/^time //p' <<<"$out"
}

floor=$(run_ms)
echo "floor (virtual clock): $floor ms"
times=()
for i in $(seq "$runs"); do
  t=$(run_ms --realtime)
  times+=("$t")
  echo "real run $i: $t ms"
done
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
awk -v m="$median" -v f="$floor" 'BEGIN {printf "median %d ms, ratio %.4f\n", m, m / f}'
