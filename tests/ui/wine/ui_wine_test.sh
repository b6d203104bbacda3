#!/usr/bin/env bash
# Drives calvera.exe / calvera-sim.exe under Wine with calvera-driver and checks what a person
# would see. One scenario per call:
#   ui_wine_test.sh SCENARIO PROGRAM_DIR DRIVER OUT_DIR
# PROGRAM_DIR holds calvera.exe, calvera-sim.exe and Lorvex.dll; every scenario runs in a folder
# of its own below OUT_DIR, where the screenshots (PNG) are left for a person to look at.
# The Wine prefix and display come from scripts/wine-env.sh (sourced by the caller, or here when
# the caller has not). CALVERA_WINE names the loader (default: wine).
set -u
scenario=${1:?scenario}
program_dir=${2:?program dir}
driver_exe=${3:?driver}
out_dir=${4:?output dir}
mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
program_dir=$(cd "$program_dir" && pwd)
driver_exe=$(cd "$(dirname "$driver_exe")" && pwd)/$(basename "$driver_exe")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)

# shellcheck disable=SC1091
source "$root/scripts/wine-test-lib.sh"
wine_test_setup "$(cd "$program_dir/../.." && pwd)"

# Skipped (77) where Wine cannot start this tree's programs, rather than reported as broken; any
# other trouble starting the driver fails the test.
probe=$(timeout 60 "$WINE" "$driver_exe" count main 2>&1)
if ! [[ "$probe" =~ ^[0-9]+ ]]; then
  wine_skip_if_unstartable "[$scenario]" "$probe"
  echo "[$scenario] FAIL: the driver does not run: $probe"
  exit 1
fi

run_dir="$out_dir/$scenario"
shots="$out_dir/screenshots"
rm -rf "$run_dir"
mkdir -p "$run_dir" "$shots"
started_pids=()
failures=0

cleanup() {
  for pid in "${started_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  [ -n "${pty_pid:-}" ] && { touch "$run_dir/pty.stop"; wait "$pty_pid" 2>/dev/null || true; }
  rm -f "$WINEPREFIX/dosdevices/com5"
}
trap cleanup EXIT

log() { echo "[$scenario] $*"; }
fail() { echo "[$scenario] FAIL: $*"; failures=$((failures + 1)); }
check_eq() {  # what expected actual
  if [ "$2" == "$3" ]; then log "ok: $1"; else fail "$1: expected [$2], got [$3]"; fi
}
check_contains() {  # what haystack needle
  case "$2" in *"$3"*) log "ok: $1" ;; *) fail "$1: [$3] not in [$2]" ;; esac
}

drv() { timeout 60 "$WINE" "$driver_exe" "$@" 2>>"$run_dir/driver.err" | tr -d '\r'; }

# Copies the program and the library into the run folder; SYSTEM with images unless told "none".
prepare() {  # program [none|dir|pattern]
  cp "$program_dir/$1" "$program_dir/Lorvex.dll" "$run_dir/"
  case "${2:-*}" in
    none) ;;
    dir) mkdir -p "$run_dir/SYSTEM/targets.txt" ;;  # a folder where the table should be
    *) drv make-images "$(winepath_of "$run_dir")" "${2:-*}" ;;
  esac
}

winepath_of() { echo "Z:$(echo "$1" | sed 's#/#\\#g')"; }

start() {  # program [env assignments...]
  local program=$1
  shift
  (cd "$run_dir" && exec env "$@" timeout 240 "$WINE" "$program" >>"$run_dir/program.out" 2>&1) &
  started_pids+=($!)
  last_pid=$!
}

wait_exit() {  # pid seconds -> 0 when it ended in time
  local pid=$1 limit=$2
  for _ in $(seq 1 $((limit * 10))); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

shot() { timeout 30 import -window root "$shots/$1.png" 2>/dev/null && log "screenshot $shots/$1.png"; }

# Message texts (string table).
msg_1001=$'Transfer failed.\r\nAfter confirming the cable, communication settings, and the DIP switch, transfer the data again.'
msg_1003='Transmission with this Target cannot be performed.'
msg_1005='Transfer source file not found or broken.'
msg_203='If the target is not QRV5170K, please turn No.3 of the DIP switch beside the CF-Card slot back to its OFF position.'

expect_msgbox() {  # expected text
  if [ -z "$(drv wait msgbox 20000)" ]; then fail "no message box"; return; fi
  check_eq "message box text" "$(printf '%s' "$1" | tr -d '\r')" "$(drv text msgbox msg)"
  drv click msgbox 1
  drv gone msgbox 5000 || fail "message box stayed"
}

expect_no_msgbox() {
  sleep 1
  check_eq "no message box" "0" "$(drv count msgbox)"
}

controls_state() { echo "$(drv enabled main 1)$(drv enabled main 2)$(drv enabled main 1004)$(drv enabled main 1005)"; }

scenario_main_dialog() {
  prepare calvera-sim.exe
  start calvera-sim.exe
  [ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; return; }
  check_eq "port box" "$(printf 'COM%d\n' 1 2 3 4 5 6 7 8 9)"$'\n'"selected=0" "$(drv combo main 1004)"
  check_eq "speed box" $'115200\n38400\n9600\nselected=0' "$(drv combo main 1005)"
  check_eq "version label hidden" "0" "$(drv visible main 1012)"
  check_contains "version label text" "$(drv text main 1012)" "Build Ver : 0"
  check_eq "controls enabled" "1111" "$(controls_state)"

  drv syscmd main 16
  if [ -n "$(drv wait about 10000)" ]; then
    check_eq "About version" "Calvera V2.71.000" "$(drv text about 1003)"
    shot about-box
    drv click about 1
    drv gone about 5000 || fail "About box did not close"
  else
    fail "About box did not appear"
  fi

  drv key main 27
  sleep 1
  check_eq "Escape leaves the dialog open" "1" "$(drv count main)"
  drv key main 66
  sleep 0.3
  check_eq "B moves the focus to the speed box" "1005" "$(drv focus main)"
  drv key main 80
  sleep 0.3
  check_eq "P moves the focus to the port box" "1004" "$(drv focus main)"

  read -r l t r b <<<"$(drv rect main)"
  drv size main 120 100
  sleep 0.5
  check_eq "cannot shrink below the created size" "$l $t $r $b" "$(drv rect main)"

  read -r lx ly lr lb <<<"$(drv rect main 1002)"
  read -r sx sy sr sb <<<"$(drv rect main 1)"
  read -r cx cy cr cb <<<"$(drv rect main 2)"
  read -r px py pr pb <<<"$(drv rect main 1004)"
  drv size main $((r - l + 100)) $((b - t + 80))
  sleep 0.5
  check_eq "log box stretches" "$lx $ly $((lr + 100)) $((lb + 80))" "$(drv rect main 1002)"
  check_eq "Start follows the bottom" "$sx $((sy + 80)) $sr $((sb + 80))" "$(drv rect main 1)"
  check_eq "Close follows the bottom" "$cx $((cy + 80)) $cr $((cb + 80))" "$(drv rect main 2)"
  check_eq "port box stays" "$px $py $pr $pb" "$(drv rect main 1004)"
  shot main-dialog-grown

  drv key main 67  # C: the accelerator of Close (also shows that injected keys reach the dialog)
  drv gone main 10000 || fail "key C did not close the dialog"
  wait_exit "$last_pid" 10 || fail "program did not end"
}

scenario_sim_success() {
  prepare calvera-sim.exe
  start calvera-sim.exe CALVERA_SIM_DELAY_MS=3000
  [ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; return; }
  drv click main 1
  if [ -n "$(drv wait prompt 20000)" ]; then
    shot power-off-prompt
    check_eq "power-off prompt" "Please turn off the Target." "$(drv text prompt 1009)"
    check_eq "controls disabled during the run" "0000" "$(controls_state)"
    # Nothing closes the dialog or starts a second run during a transfer: the close request, the
    # system menu's Close, and the keys C, S, Escape, Enter.
    drv close main
    drv syscmd main 0xF060
    for vk in 67 83 27 13; do drv key main $vk; done
  else
    fail "no power-off prompt"
  fi
  local text
  text=$(drv wait-text main 1002 "Transfer completed." 120000)
  check_contains "run completed" "$text" "Transfer completed."
  # The log's lines, in order.
  local expected=("Connecting..." "Speed changed to 115200bps." "Connecting..." "QRV is reset." "Transfer completed.")
  local rest=$text ok=1
  for line in "${expected[@]}"; do
    case "$rest" in *"$line"*) rest=${rest#*"$line"} ;; *) ok=0; fail "log line missing or out of order: $line" ;; esac
  done
  [ $ok = 1 ] && log "ok: log lines in order"
  expect_no_msgbox
  sleep 0.5
  check_eq "controls enabled after the run" "1111" "$(controls_state)"
  check_eq "the dialog survived the close requests" "1" "$(drv count main)"
  shot main-dialog-after-success
  echo "$text" >"$run_dir/log.txt"

  drv click main 2
  expect_msgbox "$msg_203"
  drv gone main 10000 || fail "dialog did not close"
  wait_exit "$last_pid" 10 || fail "program did not end"
}

scenario_sim_refused() {
  prepare calvera-sim.exe
  start calvera-sim.exe CALVERA_SIM_ID=QRV50003 CALVERA_SIM_DELAY_MS=200
  [ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; return; }
  drv click main 1
  expect_msgbox "$msg_1003"
  check_contains "log ends in failure" "$(drv text main 1002)" "Transfer failed."
  sleep 0.5
  check_eq "controls enabled after the run" "1111" "$(controls_state)"
  drv click main 2
  expect_no_msgbox_then_gone
}

expect_no_msgbox_then_gone() {
  drv gone main 10000 || fail "dialog did not close (or a message box held it)"
  check_eq "no message box at close" "0" "$(drv count msgbox)"
  wait_exit "$last_pid" 10 || fail "program did not end"
}

scenario_sim_cancel() {
  prepare calvera-sim.exe
  start calvera-sim.exe CALVERA_SIM_DELAY_MS=600000
  [ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; return; }
  # Round 1: S starts, the Cancel button cancels; round 2: Start, Escape at the prompt cancels.
  for how in button escape; do
    if [ $how = button ]; then drv key main 83; else drv click main 1; fi
    [ -n "$(drv wait prompt 20000)" ] || { fail "no prompt ($how)"; return; }
    if [ $how = button ]; then drv click prompt 2; else drv key prompt 27; fi
    drv gone prompt 5000 || fail "prompt stayed after cancel ($how)"
    check_contains "cancel line ($how)" "$(drv wait-text main 1002 "Transfer canceled." 10000)" "Transfer canceled."
    expect_no_msgbox
    check_eq "controls enabled after the run ($how)" "1111" "$(controls_state)"
  done
  drv click main 2
  expect_no_msgbox_then_gone
}

# The panel's power changes as each prompt is asked for, before its window exists: the change is
# there when the line watch first looks, and the prompt still ends with "go on".
scenario_sim_instant_power() {
  prepare calvera-sim.exe
  start calvera-sim.exe CALVERA_SIM_DELAY_MS=-1
  [ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; return; }
  drv click main 1
  check_contains "run completed" "$(drv wait-text main 1002 "Transfer completed." 120000)" "Transfer completed."
  expect_no_msgbox
  drv click main 2
  expect_msgbox "$msg_203"
  drv gone main 10000 || fail "dialog did not close"
}

# The modem status stops answering while the power-off prompt is up: the prompt closes by itself
# and the run ends as cancelled, without a message box.
scenario_sim_lines_lost() {
  prepare calvera-sim.exe
  start calvera-sim.exe CALVERA_SIM_LOSE_LINES=1
  [ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; return; }
  drv click main 1
  check_contains "cancel line" "$(drv wait-text main 1002 "Transfer canceled." 20000)" "Transfer canceled."
  check_eq "prompt closed by itself" "0" "$(drv count prompt)"
  expect_no_msgbox
  check_eq "controls enabled after the run" "1111" "$(controls_state)"
  drv click main 2
  expect_no_msgbox_then_gone
}

scenario_missing_targets() {
  for variant in none dir; do
    rm -rf "${run_dir:?}"/*
    prepare calvera.exe "$variant"
    start calvera.exe
    log "variant $variant"
    expect_msgbox "$msg_1005"
    wait_exit "$last_pid" 15 || fail "program did not end after message 1005 ($variant)"
    check_eq "no dialog left ($variant)" "0" "$(drv count main)"
  done
}

scenario_second_instance() {
  prepare calvera-sim.exe
  start calvera-sim.exe
  local first=$last_pid
  [ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; return; }
  drv minimize main
  sleep 0.5
  check_eq "first copy minimised" "1" "$(drv iconic main)"
  start calvera-sim.exe
  wait_exit "$last_pid" 20 || fail "second copy did not end"
  check_eq "still one dialog" "1" "$(drv count main)"
  check_eq "first copy restored" "0" "$(drv iconic main)"
  check_eq "first copy in front" "1" "$(drv foreground main)"
  kill -0 "$first" 2>/dev/null || fail "first copy ended"
  drv click main 2
  drv gone main 10000 || fail "dialog did not close"
}

scenario_pty_port() {
  prepare calvera.exe
  python3 "$here/pty_watch.py" "$run_dir/pty.path" "$run_dir/pty.states" "$run_dir/pty.stop" &
  pty_pid=$!
  for _ in $(seq 1 50); do [ -f "$run_dir/pty.path" ] && break; sleep 0.1; done
  local pty
  pty=$(cat "$run_dir/pty.path")
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
  log "COM5 -> $pty"
  start calvera.exe
  [ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; return; }
  drv select main 1004 COM5
  for round in 1 2; do
    drv click main 1
    expect_msgbox "$msg_1001"
    check_contains "modem status line (round $round)" "$(drv text main 1002)" "Failed to get COM port state."
    sleep 0.3
    check_eq "controls back (round $round)" "1111" "$(controls_state)"
  done
  if grep -q '^9600 9600 1 8$' "$run_dir/pty.states"; then
    log "ok: port set to 9600 bps, 8 bits, RTS/CTS on the pty"
  else
    fail "9600 8N1 RTS/CTS never seen on the pty: $(tr '\n' ';' <"$run_dir/pty.states")"
  fi
  drv select main 1004 COM7
  drv click main 1
  expect_msgbox "$msg_1001"
  check_contains "open failure line" "$(drv text main 1002)" "Failed to open COM7 port."
  drv click main 2
  expect_no_msgbox_then_gone
}

"scenario_$scenario"
if [ "$failures" -ne 0 ]; then
  echo "[$scenario] $failures check(s) failed"
  exit 1
fi
echo "[$scenario] passed"
