#!/usr/bin/env bash
# The trace viewer under Wine: calvera-trace.exe receives the records of a whole recovery run by
# calvera-sim.exe, saves them, and releases every atom.
#   trace_viewer_wine_test.sh PROGRAM_DIR DRIVER ATOM_PROBE OUT_DIR
# PROGRAM_DIR holds calvera-sim.exe, calvera-trace.exe and Lorvex.dll; DRIVER is calvera-driver
# (presses the dialog's buttons). The run folder and a screenshot of the viewer stay in OUT_DIR.
set -u
program_dir=$(cd "${1:?program dir}" && pwd)
driver_exe=$(cd "$(dirname "${2:?driver}")" && pwd)/$(basename "$2")
probe_exe=$(cd "$(dirname "${3:?atom probe}")" && pwd)/$(basename "$3")
out_dir=${4:?output dir}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)

# shellcheck disable=SC1091
source "$root/scripts/wine-test-lib.sh"
wine_test_setup "$(cd "$program_dir/../.." && pwd)"

# Skipped (77) where Wine cannot start this tree's programs; any other trouble fails the test.
wine_skip_if_unstartable "" "$(timeout 60 "$WINE" "$program_dir/calvera-trace.exe" --version 2>&1)"

run_dir="$out_dir/trace-viewer"
rm -rf "$run_dir"
mkdir -p "$run_dir"
failures=0
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

log() { echo "[trace-viewer] $*"; }
fail() { echo "[trace-viewer] FAIL: $*"; failures=$((failures + 1)); }
drv() { timeout 60 "$WINE" "$driver_exe" "$@" 2>>"$run_dir/driver.err" | tr -d '\r'; }
viewer() { timeout 60 "$WINE" "$run_dir/calvera-trace.exe" "$@" 2>>"$run_dir/viewer.err" | tr -d '\r'; }
winepath_of() { echo "Z:$(echo "$1" | sed 's#/#\\#g')"; }
start() {  # program [env assignments...]
  local program=$1
  shift
  (cd "$run_dir" && exec env "$@" timeout 240 "$WINE" "$program" >>"$run_dir/$program.out" 2>&1) &
  pids+=($!)
}
wait_for() {  # command... : retries for up to 30 s until the command succeeds
  for _ in $(seq 1 150); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}

cp "$program_dir/calvera-sim.exe" "$program_dir/calvera-trace.exe" "$program_dir/Lorvex.dll" "$run_dir/"
drv make-images "$(winepath_of "$run_dir")" '*' || fail "images not written"

start calvera-trace.exe
wait_for viewer --status || { fail "the viewer did not come up"; exit 1; }
[ "$(viewer --status | head -1)" == "records 0" ] || fail "a fresh viewer holds records"
# A second start leaves the first viewer alone.
timeout 60 "$WINE" "$run_dir/calvera-trace.exe" >/dev/null 2>&1 || fail "second start failed"

start calvera-sim.exe CALVERA_SIM_DELAY_MS=200
[ -n "$(drv wait main 30000)" ] || { fail "main dialog did not appear"; exit 1; }
drv click main 1
text=$(drv wait-text main 1002 "Transfer completed." 120000)
case "$text" in *"Transfer completed."*) log "ok: run completed" ;; *) fail "run did not complete: $text" ;; esac

# The records are posted: give the viewer the moment it needs to take the last ones.
trace_file="$run_dir/trace.txt"
for _ in $(seq 1 50); do
  viewer --save "$(winepath_of "$trace_file")" >"$run_dir/save.out"
  grep -q 'WinTransMain end' "$trace_file" 2>/dev/null && break
  sleep 0.2
done
cat "$run_dir/save.out"

python3 - "$trace_file" "$run_dir/save.out" <<'PY' || failures=$((failures + 1))
import re, sys
lines = open(sys.argv[1], 'rb').read().decode('ascii').split('\r\n')
status = open(sys.argv[2]).read()
bad = []
if lines[-1] != '':
    bad.append('file does not end in CR LF')
lines = lines[:-1]
line_re = re.compile(r'^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\t(_QTRACE_ID_40000:.*)$')
records, times = [], []
for line in lines:
    m = line_re.match(line)
    if not m:
        bad.append('malformed line: %r' % line)
        continue
    times.append(m.group(1))
    records.append(m.group(2)[len('_QTRACE_ID_40000:'):])
if times != sorted(times):
    bad.append('receive times go backwards')
if not records or records[0] != '[CWinTransMainProc] WinTransMain start':
    bad.append('first record: %r' % (records[:1],))
if not records or records[-1] != '[CWinTransMainProc] WinTransMain end':
    bad.append('last record: %r' % (records[-1:],))
frame_re = re.compile(r'^\[[A-Za-z]+\] (Cmd|Rsp)\[(?:[0-9a-f]{2})+\]$')
frames = [r for r in records if 'Cmd[' in r or 'Rsp[' in r]
bad += ['malformed frame record: %r' % r for r in frames if not frame_re.match(r)]
for needed in ('[GoHandshake] Cmd[', '[GoHandshake] Rsp[', '[SendFileDownloadBank] Cmd[', '[GoReset] Rsp['):
    if not any(r.startswith(needed) for r in records):
        bad.append('no record starting %s' % needed)
if 'lost 0' not in status or 'unreleased 0' not in status:
    bad.append('viewer counts: %r' % status)
for b in bad:
    print('[trace-viewer] FAIL:', b)
print('[trace-viewer] %d records, %d frame records checked' % (len(records), len(frames)))
sys.exit(1 if bad else 0)
PY

probe=$(timeout 60 "$WINE" "$probe_exe" "$(winepath_of "$trace_file")" 2>&1 | tr -d '\r')
echo "$probe"
case "$probe" in *"left 0"*) log "ok: no atom left behind" ;; *) fail "atoms left behind" ;; esac

# Close calvera (Close, then the DIP-switch reminder after a success); the viewer keeps its list.
drv click main 2
[ -n "$(drv wait msgbox 20000)" ] && drv click msgbox 1
drv gone main 10000 || fail "dialog did not close"
sleep 0.5
import -window root "$out_dir/trace-viewer.png" 2>/dev/null && log "screenshot $out_dir/trace-viewer.png"

# Clear empties the list.
viewer --clear
[ "$(viewer --status | head -1)" == "records 0" ] && log "ok: cleared" || fail "Clear left records"

# A record too long for an atom arrives without one: the viewer marks it lost and goes on.
timeout 60 "$WINE" "$probe_exe" --send >/dev/null 2>>"$run_dir/viewer.err" || fail "atom-probe --send"
for _ in $(seq 1 50); do
  counts=$(viewer --status | tr '\n' ' ')
  [ "$counts" == "records 2 lost 1 unreleased 0 " ] && break
  sleep 0.2
done
if [ "$counts" == "records 2 lost 1 unreleased 0 " ]; then log "ok: a long record counts as lost"; else fail "after a long record: $counts"; fi
viewer --save "$(winepath_of "$run_dir/long.txt")" >/dev/null
sed -n 2p "$run_dir/long.txt" | grep -q $'\t_QTRACE_ID_40000:\[AtomProbe\] short record\r$' && log "ok: the next record is whole" \
  || fail "record after the long one: $(cat -A "$run_dir/long.txt")"
sed -n 1p "$run_dir/long.txt" | grep -q $'\t(record lost: ' || fail "no lost mark: $(cat -A "$run_dir/long.txt")"

if [ "$failures" -ne 0 ]; then
  echo "[trace-viewer] $failures check(s) failed"
  exit 1
fi
echo "[trace-viewer] passed"
