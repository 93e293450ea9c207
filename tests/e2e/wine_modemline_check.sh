#!/usr/bin/env bash
# The modem-line emulation as a Windows program under Wine sees it: a COM
# port linked to the board emulator's pty slave, with the preload library in
# the Wine process. Skipped (exit 77) without the cross compiler or Wine.
#   wine_modemline_check.sh LCDBOARD LIBQVMODEMLINE SOURCE WORKDIR
set -euo pipefail
lcdboard=$1 lib=$2 source=$3 work=$4
cc=x86_64-w64-mingw32-gcc-posix
if ! command -v "$cc" >/dev/null || ! command -v wine >/dev/null; then
  echo "no $cc or wine: skipped"
  exit 77
fi
mkdir -p "$work"
rm -f "$work"/board.*
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$cc" -O1 -Wall -Wextra -Werror -o "$work/wine_modemline.exe" "$source"
"$(dirname "$0")/../../scripts/wine-run" --prepare "$work" >/dev/null 2>&1

mkfifo "$work/board.out"
"$lcdboard" --state "$work/board.state" --timeout 100 --fault line-error=1 >"$work/board.out" 2>"$work/board.err" &
pids+=($!)
exec 3<"$work/board.out"
read -r -t 10 slave <&3 || {
  echo "FAILED: lcdboard printed no slave path" >&2
  exit 1
}
cat <&3 >/dev/null &
pids+=($!)
exec 3<&-

ln -sfn "$slave" "$WINEPREFIX/dosdevices/com7"
# Wine's own messages (and the server it starts, which inherits them) go to
# a log that is shown only on failure.
rc=0
QV_MODEMLINE_STATE="$work/board.state" LD_PRELOAD="$lib" timeout 90 wine "$work/wine_modemline.exe" COM7 \
  2>"$work/wine.err" || rc=$?
if [ "$rc" -ne 0 ]; then
  tail -n 40 "$work/wine.err" >&2
  exit "$rc"
fi
