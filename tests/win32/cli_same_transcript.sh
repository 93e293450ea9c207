#!/usr/bin/env bash
# The Windows command-line program under Wine prints, line for line, the
# transcript of the Linux one for the same simulated run (the Windows console
# ends its lines with CR LF; that is the only difference allowed).
# usage: cli_same_transcript.sh WINE_RUN EXE LINUX_CLI DIR
set -euo pipefail
winerun=$1 exe=$2 linux=$3 dir=$4
if [ ! -x "$linux" ]; then
  echo "the Linux build's quorvaltine-cli is missing ($linux): build the default preset first" >&2
  exit 77
fi
# The Windows build keeps the adapter's latency timer; the Linux one asks for
# low latency unless told not to.
expected=$("$linux" --simulate --no-low-latency --dir "$dir")
# Wine reaches the Linux tree through drive Z:.
windir="Z:$(printf '%s' "$(readlink -f "$dir")" | tr / '\\')"
actual=$(timeout 300 "$winerun" "$exe" --simulate --dir "$windir" | tr -d '\r')
grep -q '^box Information: Patch erfolgreich beendet!$' <<<"$expected" || { echo "the Linux run failed" >&2; exit 1; }
if [ "$expected" != "$actual" ]; then
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2 || true
  exit 1
fi
echo "same transcript, $(wc -l <<<"$actual") lines, $(grep '^time ' <<<"$actual")"
