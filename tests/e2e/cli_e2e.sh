#!/usr/bin/env bash
# The whole patch run of quorvaltine-cli on the real serial driver and the
# real port discovery, against the board emulator on a pty with the
# modem-line preload library. The scenarios run side by side (each has its
# own board, pty and device tree), since most of a run is waiting.
#   cli_e2e.sh linux LCDBOARD LIBQVMODEMLINE CLI WORKDIR [GUI]
#   cli_e2e.sh wine  LCDBOARD LIBQVMODEMLINE CLI.EXE WORKDIR WINE_FIXTURE.C [GUI.EXE]
# With GUI, the desktop program also runs the success scenario once, on a
# virtual X display, its message box answered with xdotool.
# Linux: a fake sysfs tree (QUORVALTINE_SYSFS_ROOT) holds an FTDI adapter on
# ttyUSB0, and a device root (QUORVALTINE_DEV_ROOT) links ttyUSB0 to the pty
# slave, so no root rights are needed. Wine: each scenario has a copy of one
# booted prefix, whose COM5 leads to the pty slave; a small Windows program
# (wine_fixture.c) gives the adapter its DOS name and registry keys. The wine
# mode exits 77 (skipped) without wine, the cross compiler or the programs.
# A scenario's output is in WORKDIR/NAME/; set QV_E2E_ONLY=NAME to run one.
# lcdboard models an FTDI adapter with a latency timer of QV_E2E_LATENCY ms
# (default 16, as the adapter has); QV_E2E_NO_LOW_LATENCY=1 makes the
# preload refuse the program's low-latency request, as a driver without
# serial settings does (bench/latency_run.sh uses both).
set -euo pipefail
mode=$1 lcdboard=$2 lib=$3 cli=$4 work=$5
if [ "$mode" = wine ]; then
  fixture=${6:-} gui=${7:-}
else
  fixture= gui=${6:-}
fi
case "$mode" in
  linux | wine) ;;
  *)
    echo "usage: cli_e2e.sh linux LCDBOARD LIB CLI WORKDIR [GUI]" >&2
    echo "       cli_e2e.sh wine LCDBOARD LIB CLI.EXE WORKDIR WINE_FIXTURE.C [GUI.EXE]" >&2
    exit 64
    ;;
esac
if [ "$mode" = wine ]; then
  for f in "$lcdboard" "$lib" "$cli" "$fixture"; do
    [ -e "$f" ] || { echo "no $f: skipped"; exit 77; }
  done
  if ! command -v wine >/dev/null || ! command -v x86_64-w64-mingw32-gcc-posix >/dev/null; then
    echo "no wine or cross compiler: skipped"
    exit 77
  fi
fi
# The scenarios run in directories of their own: absolute paths.
abs() { if [ -n "$1" ] && [ -e "$1" ]; then realpath "$1"; else echo "$1"; fi; }
lcdboard=$(abs "$lcdboard") lib=$(abs "$lib") cli=$(abs "$cli") fixture=$(abs "$fixture") gui=$(abs "$gui")
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run
mkdir -p "$work"
work=$(cd "$work" && pwd)

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ "$mode" = wine ]; then
    # A scenario ends its own Wine server, the script all of them.
    for d in ${own_prefix:-"$work"/*/prefix}; do
      [ -d "$d" ] && WINEPREFIX=$d wineserver -k >/dev/null 2>&1 || true
    done
  fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# name | lcdboard faults | expected box ("box TITLE: TEXT" as the transcript
# writes it; \\n is the escaped line break; a trailing * matches any rest of
# the line) | expected exit status | the tool's own arguments | the board's
# start values (in, expected, other; default in) | the patch file (default
# the patch below) | checks after the run (store=SET: the values the board
# holds; values=SET: the values the tool printed; saved=FILE=SET: the
# entries of a patch file it wrote; log=FILE: its transfer log).
# In arguments, texts and checks DIR is the scenario's directory and PARENT
# its parent's, as the tool sees them. A scenario named PARENT/NAME runs
# after PARENT, in the same job.
dt='Datenübertragungsfehler!'
no_answer='     Gerät antwortet nicht!\n\nMögliche Gründe, z.B.:\nTest-Jumper auf Platine vergessen.\nNetzkabel nicht entfernt.\nNoch keine Firmware geladen.'
scenarios=(
  "success||box Information: Patch erfolgreich beendet!|0"
  "no-dsr|no-dsr|box Fehler: Keine Rückmeldung vom \"Reset\"-Befehl \"ein\" erhalten!\\n\\n        Datenübertragung abgebrochen!|1"
  "ping-late|ping-late|box Fehler: $no_answer|1"
  "echo-wrong|echo-wrong=3|box Fehler: $dt  Fehlercode 1\\n\\nFalsches Antwortbyte.|1"
  "confirm-late|confirm-late|box Fehler: Programmierfehler!  Fehlercode 8\\n\\nZeitüberschreitung.|1"
  "held||box Fehler: ComPortError:  PORT !\\n\\nDer Port kann nicht geöffnet werden.|1"
  "unplug|unplug=UNPLUG_AT||1"
  "vanish-wait-start|||1"
  "vanish-waiting|||1"
)
[ -n "$gui" ] && scenarios+=("gui|||0")
# The tool's own tasks (QV_E2E_SET=tasks): a set of their own, so that
# fewer runs on the real clock share the machine at a time.
tasks=(
  "read||box Information: Konfiguration erfolgreich gelesen!\\n\\nGespeichert in \"DIR/saved.ini\".|0|--read --save DIR/saved.ini|||values=in saved=DIR/saved.ini=in store=in"
  "read/patch-other||box Information: Patch erfolgreich beendet!|0||other|PARENT/saved.ini|store=in"
  "backup||box Information: Patch erfolgreich beendet!|0|--backup DIR/backup.ini|||saved=DIR/backup.ini=in store=expected"
  "backup/restore||box Information: Patch erfolgreich beendet!|0||expected|PARENT/backup.ini|store=in"
  "backup-ro||box Fehler: Die Datei \"DIR/ro/backup.ini\" konnte nicht vollständig geschrieben werden!\\n\\nDie LCD-Platine wurde nicht programmiert.|1|--backup DIR/ro/backup.ini|||store=in"
  "verify||box Information: Patch erfolgreich beendet!|0|--verify|||store=expected"
  "verify-wrong|store-wrong=40|box Fehler: Prüfung fehlgeschlagen!\\n\\nDie LCD-Platine hält nicht die gesendete Konfiguration:\\n\\nWert 40: gesendet 255, gelesen 254|1|--verify"
  "port||box Information: Patch erfolgreich beendet!|0|--port PORTARG --log DIR/line.log|||store=expected log=DIR/line.log"
  "port-missing||box Fehler: Port NOPORT nicht gefunden!\\n\\nVorhandene Ports: *|1|--port NOPORT|||store=in"
  "port-held||box Fehler: ComPortError:  PORT !\\n\\nDer Port kann nicht geöffnet werden.|1|--port PORT"
)
[ "${QV_E2E_SET:-}" = tasks ] && scenarios=("${tasks[@]}")
# Half way through the values of the programming step.
unplug_at=${QV_E2E_UNPLUG_AT:-300}
# The adapter vanishes (every ioctl on the tty fails with EIO, see
# tools/modemline): at the first line-counter read, with which Wine's event
# wait starts, so the wait fails at once; and some seconds into the run,
# while the event thread waits.
vanish_wait_start=TIOCGICOUNT:1
vanish_waiting=${QV_E2E_VANISH_AT:-TIOCGICOUNT:2000}

# The board's start values, and what the patch makes of them.
values_in() { for i in $(seq 0 119); do echo $((i * 7 - 300)); done; }
patch=$'12;1\n40;255\n41;0E750'
values_expected() { values_in | awk 'NR==13{$0=1} NR==41{$0=255} NR==42{$0=0} {print}'; }
values_other() { for i in $(seq 0 119); do echo $((5000 - i * 13)); done; }
# The values of a patch file's entries, one a line, in index order.
patch_values() { tr -d '\r' <"$1" | sed 's/E.*//' | awk -F';' 'NF == 2 { v[$1] = $2 } END { for (i = 0; i < 120; i++) print v[i] }'; }

# Starts lcdboard for scenario $1 with faults $2; prints the pty slave path.
start_board() {
  local dir=$1 faults=$2 values=${3:-in} args=() f
  for f in $faults; do args+=(--fault "$f"); done
  mkfifo "$dir/board.out"
  "$lcdboard" --state "$dir/board.state" --timeout 150 --late-extra 2000 --board "$work/values.$values" --store "$dir/board.store" \
    --latency "${QV_E2E_LATENCY:-16}" "${args[@]}" >"$dir/board.out" 2>"$dir/board.err" &
  echo $! >"$dir/board.pid"
  exec 3<"$dir/board.out"
  local slave
  read -r -t 10 slave <&3 || return 1
  cat <&3 >/dev/null &
  echo $! >"$dir/drain.pid"
  exec 3<&-
  echo "$slave"
}

linux_tree() {
  local dir=$1 slave=$2 sys=$1/sys
  local usb=$sys/devices/pci0000:00/0000:00:14.0/usb1/1-1
  local intf=$usb/1-1:1.0 port=$usb/1-1:1.0/ttyUSB0
  mkdir -p "$intf" "$port/tty/ttyUSB0" "$sys/class/tty" "$sys/bus/usb/drivers/ftdi_sio" \
    "$sys/bus/usb-serial/drivers/ftdi_sio" "$sys/module/ftdi_sio" "$dir/dev"
  echo 0403 >"$usb/idVendor"
  echo 6001 >"$usb/idProduct"
  echo A50285BI >"$usb/serial"
  echo FTDI >"$usb/manufacturer"
  echo "FT232R USB UART" >"$usb/product"
  echo 00 >"$intf/bInterfaceNumber"
  ln -s "$sys/bus/usb/drivers/ftdi_sio" "$intf/driver"
  ln -s "$sys/bus/usb-serial/drivers/ftdi_sio" "$port/driver"
  ln -s "$sys/module/ftdi_sio" "$sys/bus/usb-serial/drivers/ftdi_sio/module"
  echo 188:0 >"$port/tty/ttyUSB0/dev"
  ln -s "$port" "$port/tty/ttyUSB0/device"
  ln -s "$port/tty/ttyUSB0" "$sys/class/tty/ttyUSB0"
  ln -s "$slave" "$dir/dev/ttyUSB0"
}

# A prefix of its own for every scenario: a cheap copy of one booted
# template (scripts/wine-run).
wine_tree() {
  local dir=$1 slave=$2
  WINEPREFIX=$dir/prefix "$wine_run" --prepare "$dir" >/dev/null 2>&1
  ln -sfn "$slave" "$dir/prefix/dosdevices/com5"
}

# Answers the message boxes on the display as they come, noting each title.
# Without a window manager a box has to be given the focus first.
answer_boxes() {
  local dir=$1 id title
  while :; do
    for title in Information Fehler; do
      id=$(DISPLAY=$display xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n1 || true)
      [ -n "$id" ] || continue
      sleep 0.3
      grep -qx "$title" "$dir/answered" 2>/dev/null || DISPLAY=$display import -window root "$dir/box-$title.png" 2>/dev/null || true
      grep -qx "$title" "$dir/answered" 2>/dev/null || echo "$title" >>"$dir/answered"
      DISPLAY=$display xdotool windowfocus "$id" 2>/dev/null || true
      DISPLAY=$display xdotool key Return 2>/dev/null || true
    done
    sleep 0.2
  done
}

run_scenario() {
  local name=$1 faults=$2 expect=$3 want=$4 args=$5 values=${6:-in} patchfile=$7 checks=$8 dir=$work/$1
  local parent=$work/${1%/*}
  rm -rf "$dir" && mkdir -p "$dir/run" "$dir/ro"
  if [ -n "$patchfile" ]; then
    cp "${patchfile//PARENT/$parent}" "$dir/run/Quorvaltine.ini"
  else
    printf '%s' "$patch" >"$dir/run/Quorvaltine.ini"
  fi
  chmod 555 "$dir/ro"
  local slave port
  slave=$(start_board "$dir" "$faults" "$values") || {
    echo "FAILED: $name: lcdboard printed no slave path"
    return 1
  }
  pids+=("$(cat "$dir/board.pid")" "$(cat "$dir/drain.pid")")
  local wrap=()
  local env=(QV_MODEMLINE_STATE="$dir/board.state" LD_PRELOAD="$lib"
    QV_MODEMLINE_NO_SERIAL="${QV_E2E_NO_LOW_LATENCY:-0}"
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")
  case "$name" in
    vanish-wait-start) env+=(QV_MODEMLINE_FAIL_AT="$vanish_wait_start") ;;
    vanish-waiting) env+=(QV_MODEMLINE_FAIL_AT="$vanish_waiting") ;;
  esac
  # Under Wine the display must be known to the prefix's first program.
  [ "$name" = gui ] && env+=(DISPLAY="$display" QT_QPA_PLATFORM=xcb)
  local cmd
  if [ "$mode" = linux ]; then
    linux_tree "$dir" "$slave"
    port=ttyUSB0
    env+=(QUORVALTINE_SYSFS_ROOT="$dir/sys" QUORVALTINE_DEV_ROOT="$dir/dev")
    cmd=("$cli" --dir "$dir/run")
    local dirarg=$dir parentarg=$parent portarg=/dev/ttyUSB0 noport=ttyUSB7
  else
    wine_tree "$dir" "$slave"
    port=COM5
    env+=(WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")
    # Drive Z: is the root: no Wine program (and so no Wine server, which
    # writes the files) starts before the scenario's own.
    local dirarg="Z:${dir//\//\\}" parentarg="Z:${parent//\//\\}" portarg=COM5 noport=COM7
  fi
  # The scenario's own arguments, and the texts that name its files, as the
  # tool sees them.
  # With a second argument, for a transcript line, whose backslashes are
  # doubled.
  subst() {
    local d=$dirarg p=$parentarg
    [ -n "${2:-}" ] && d=${d//\\/\\\\} p=${p//\\/\\\\}
    local t=${1//PARENT/"$p"}
    t=${t//DIR/"$d"}
    t=${t//PORTARG/"$portarg"}
    t=${t//NOPORT/"$noport"}
    printf '%s\n' "${t//PORT/"$port"}"
  }
  local extra=()
  [ -n "$args" ] && read -r -a extra <<<"$(subst "$args")"
  # Only the checks' files are Linux paths.
  checks=${checks//PARENT/$parent}
  checks=${checks//DIR/$dir}
  # A read-only directory holds for root too without the capability that
  # overrides permissions.
  [ "$name" = backup-ro ] && [ "$(id -u)" -eq 0 ] && wrap=(setpriv --bounding-set -dac_override)
  local holder=
  if [ "$name" = held ] || [ "$name" = port-held ]; then
    if [ "$mode" = linux ]; then
      # -F: the lock is held by the process whose id is kept, not a child.
      flock -F -x "$dir/dev/ttyUSB0" sleep 200 &
    else
      # Wine does not keep two of its programs off one serial device, so
      # the other program is a Linux one with the tty in exclusive mode,
      # and the Wine side runs without the capability that overrides it.
      python3 -c 'import fcntl, os, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.ioctl(fd, termios.TIOCEXCL)
print("held", flush=True)
time.sleep(200)' "$slave" >"$dir/hold.out" &
      wrap=(setpriv --bounding-set -sys_admin)
    fi
    holder=$!
    pids+=("$holder")
    for _ in $(seq 100); do
      if [ "$mode" = linux ]; then
        ! flock -n -x "$dir/dev/ttyUSB0" true && break
      else
        grep -q held "$dir/hold.out" 2>/dev/null && break
      fi
      sleep 0.1
    done
  fi
  if [ "$mode" = wine ]; then
    # The adapter's DOS name and registry keys, for as long as the run lasts.
    local fixture_pid
    env "${env[@]}" "${wrap[@]}" wine "$work/wine_fixture.exe" "$port" 200 </dev/null >"$dir/fixture.out" \
      2>>"$dir/wine.err" &
    fixture_pid=$!
    pids+=("$fixture_pid")
    for _ in $(seq 300); do
      grep -q ready "$dir/fixture.out" 2>/dev/null && break
      kill -0 "$fixture_pid" 2>/dev/null || break
      sleep 0.1
    done
    if ! grep -q ready "$dir/fixture.out"; then
      echo "FAILED: $name: the Wine fixture did not get ready"
      tail -n 20 "$dir/wine.err"
      return 1
    fi
  fi
  if [ "$name" = gui ]; then
    # The desktop program takes no arguments: it works in the current
    # directory. Its boxes are answered as a user would.
    if [ "$mode" = linux ]; then cmd=("$gui"); else cmd=(wine "$gui"); fi
    answer_boxes "$dir" &
    pids+=($!)
  elif [ "$mode" = wine ]; then
    cmd=(wine "$cli" --dir "$(WINEPREFIX=$dir/prefix winepath -w "$dir/run" 2>>"$dir/wine.err")")
  fi
  [ "$name" = gui ] || cmd=("${wrap[@]}" "${cmd[@]}" "${extra[@]}")
  local rc=0 t0
  t0=$(date +%s%N)
  (cd "$dir/run" && exec env "${env[@]}" timeout -k 5 120 "${cmd[@]}") >"$dir/out" 2>>"$dir/err" || rc=$?
  echo $((($(date +%s%N) - t0) / 1000000)) >"$dir/gui.ms"
  [ -n "$holder" ] && kill "$holder" 2>/dev/null
  tr -d '\r' <"$dir/out" >"$dir/transcript"
  local board_pid
  board_pid=$(cat "$dir/board.pid")
  kill -TERM "$board_pid" 2>/dev/null || true
  wait "$board_pid" 2>/dev/null || true

  local fail=()
  [ "$rc" -eq "$want" ] || fail+=("exit status $rc, not $want")
  if [ "$name" = gui ]; then
    grep -qx Information "$dir/answered" 2>/dev/null || fail+=("no \"Information\" box was answered")
    grep -qx Fehler "$dir/answered" 2>/dev/null && fail+=("a \"Fehler\" box came up")
  fi
  if [ -n "$expect" ]; then
    expect=$(subst "$expect" transcript)
    if [ "${expect: -1}" = "*" ]; then
      local head=${expect%\*} n=0 l
      while IFS= read -r l; do [ "${l:0:${#head}}" = "$head" ] && n=$((n + 1)); done <"$dir/transcript"
      [ "$n" -eq 1 ] || fail+=("no single line: $expect")
    else
      [ "$(grep -cxF -- "$expect" "$dir/transcript")" -eq 1 ] || fail+=("no single line: $expect")
    fi
  fi
  if [ "$want" -ne 0 ] && grep -q 'Patch erfolgreich beendet' "$dir/transcript"; then
    fail+=("success message on a failed run")
  fi
  local c set file
  for c in $checks; do
    case $c in
      store=*)
        "values_${c#store=}" | cmp -s - "$dir/board.store" || fail+=("the board does not hold the values ${c#store=}")
        ;;
      values=*)
        grep '^values ' "$dir/transcript" | head -n1 | cut -d' ' -f2- | tr ' ' '\n' | cmp -s - <("values_${c#values=}") ||
          fail+=("the values printed are not ${c#values=}")
        ;;
      saved=*)
        file=${c#saved=} set=${file##*=} file=${file%=*}
        patch_values "$file" | cmp -s - <("values_$set") || fail+=("$file does not hold the values $set")
        ;;
      log=*)
        file=${c#log=}
        head -n1 "$file" | grep -q ' Open ' || fail+=("the log does not begin with the port's opening")
        grep -q 'Write request \$A5' "$file" || fail+=("the log has no command prefix sent")
        tail -n1 "$file" | grep -q ' Close ' || fail+=("the log does not end with the port's closing")
        ;;
    esac
  done
  if [ "$name" = success ] || [ "$name" = gui ]; then
    values_expected | cmp -s - "$dir/board.store" || fail+=("the board stored other values")
    [ "$name" = gui ] || grep -q '^tone' "$dir/transcript" || fail+=("no tone")
  fi
  if [ "$mode" = linux ] && [ "$name" = success ] && [ "${QV_E2E_NO_LOW_LATENCY:-0}" = 0 ]; then
    # The posix driver asks for low latency on open and gives it back on
    # close; its event wait reads the lines only when they change.
    grep -q '^lcdboard: low latency on' "$dir/board.err" || fail+=("no low-latency request")
    grep -q '^lcdboard: low latency off' "$dir/board.err" || fail+=("low latency not given back")
    reads=$(sed -n 's/.* \([0-9]*\) TIOCMGET call(s).*/\1/p' "$dir/board.err")
    [ -n "$reads" ] && [ "$reads" -lt 100 ] || fail+=("the lines were read ${reads:-?} times")
  fi
  if [ "$name" = unplug ]; then
    grep -q '^lcdboard: .*programmed 0' "$dir/board.err" || fail+=("the board was programmed")
    # The port's loss shows as a port error box.
    grep -q '^box Fehler: .*ComPort' "$dir/transcript" || fail+=("no port error box")
    grep -q '^exception' "$dir/transcript" && fail+=("an exception escaped")
  fi
  case "$name" in
    vanish-*)
      # The port's loss shows as a port error box; the program goes on to
      # wait for the user (idle) and ends by itself, without an exception.
      grep -q '^box Fehler: .*ComPort' "$dir/transcript" || fail+=("no port error box")
      grep -q '^exception' "$dir/transcript" && fail+=("an exception escaped")
      grep -qx idle "$dir/transcript" || fail+=("the program did not come back to wait for the user")
      ;;
  esac
  [ "$name" = gui ] || grep -q "^exit $want\$" "$dir/transcript" || fail+=("no \"exit $want\" line")
  if [ ${#fail[@]} -gt 0 ]; then
    echo "FAILED: $name:"
    printf '  %s\n' "${fail[@]}"
    echo "  --- transcript"
    sed 's/^/  /' "$dir/transcript" | tail -n 30
    echo "  --- stderr"
    tail -n 10 "$dir/err" | sed 's/^/  /'
    sed 's/^/  /' "$dir/board.err"
    if [ "$name" = gui ]; then
      echo "  --- X server $display: $(DISPLAY=$display xdotool getdisplaygeometry 2>&1 || echo unreachable)"
      sed 's/^/  /' "$work/xvfb.log"
    fi
    return 1
  fi
  if [ "$name" = gui ]; then
    echo "ok $name (time $(cat "$dir/gui.ms"))"
  else
    echo "ok $name ($(grep '^time ' "$dir/transcript")$(sed -n 's/.* \([0-9]*\) TIOCMGET call(s).*/, \1 TIOCMGET/p' "$dir/board.err"))"
  fi
  if [ "$mode" = wine ]; then
    # A passed scenario's prefix is of no more use.
    WINEPREFIX=$dir/prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$dir/prefix wineserver -w >/dev/null 2>&1 || true
    rm -rf "$dir/prefix" "$dir/prefix.lock"
  fi
}

values_in >"$work/values.in"
values_expected >"$work/values.expected"
values_other >"$work/values.other"
display=
if [ -n "$gui" ]; then
  # A free display, chosen by the server itself.
  rm -f "$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  pids+=($!)
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  [ -s "$work/display" ] || {
    echo "FAILED: Xvfb did not start"
    exit 1
  }
  display=":$(head -n1 "$work/display")"
  # The number is written once the server listens; make sure a client gets
  # through before the desktop program is started on it.
  for _ in $(seq 100); do
    DISPLAY=$display xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.1
  done
  DISPLAY=$display xdotool getdisplaygeometry >/dev/null 2>&1 || {
    echo "FAILED: no client gets through to Xvfb on $display: $(cat "$work/xvfb.log")"
    exit 1
  }
fi
if [ "$mode" = wine ]; then
  x86_64-w64-mingw32-gcc-posix -O1 -Wall -Wextra -Werror -o "$work/wine_fixture.exe" "$fixture"
fi

jobs_=()
names=()
for row in "${scenarios[@]}"; do
  IFS='|' read -r name faults expect want _ <<<"$row"
  [[ "$name" == */* ]] && continue
  [ -n "${QV_E2E_ONLY:-}" ] && [ "$name" != "$QV_E2E_ONLY" ] && continue
  (
    pids=() own_prefix=
    trap cleanup EXIT
    trap 'exit 143' TERM INT
    # The scenario, then those that build on it.
    for r in "${scenarios[@]}"; do
      IFS='|' read -r n faults expect want args values patchfile checks <<<"$r"
      [ "$n" = "$name" ] || [ "${n%%/*}" = "$name" ] || continue
      own_prefix="${own_prefix:-} $work/$n/prefix"
      run_scenario "$n" "${faults//UNPLUG_AT/$unplug_at}" "$expect" "$want" "$args" "$values" "$patchfile" \
        "$checks" || exit 1
    done
  ) >"$work/$name.result" 2>&1 &
  jobs_+=($!)
  pids+=($!)
  names+=("$name")
done
status=0
for i in "${!jobs_[@]}"; do
  wait "${jobs_[$i]}" || status=1
  cat "$work/${names[$i]}.result"
done
exit $status
