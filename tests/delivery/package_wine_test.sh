#!/usr/bin/env bash
# The release packages of this Windows build tree, unpacked into empty folders and run from there
# under Wine: proves that nothing a program needs is missing from its zip.
#   package_wine_test.sh BUILD_DIR DRIVER BOX_DRIVER OUT_DIR
# BUILD_DIR is a Windows build tree (x86_64 where Wine runs no 32-bit programs: the same layout as
# the shipped i686 packages). DRIVER is calvera-driver, BOX_DRIVER velmora-boxdriver. calvera-sim.exe
# is not in the zip: it is added beside the unpacked files for the recovery run.
set -u
build_dir=$(cd "${1:?build dir}" && pwd)
driver_exe=$(cd "$(dirname "${2:?driver}")" && pwd)/$(basename "$2")
box_exe=$(cd "$(dirname "${3:?box driver}")" && pwd)/$(basename "$3")
out_dir=${4:?output dir}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)

# shellcheck disable=SC1091
source "$root/scripts/wine-test-lib.sh"
wine_test_setup "$build_dir"

# Skipped (77) where Wine cannot start this tree's programs; any other trouble fails the test.
probe_start() {  # program
  wine_skip_if_unstartable "" "$(timeout 60 "$WINE" "$1" --version 2>&1)"
}

work="$out_dir/packages"
rm -rf "$work"
mkdir -p "$work/dist"
failures=0
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT
log() { echo "[packages] $*"; }
fail() { echo "[packages] FAIL: $*"; failures=$((failures + 1)); }
check_eq() { if [ "$2" == "$3" ]; then log "ok: $1"; else fail "$1: expected [$2], got [$3]"; fi; }
winepath_of() { echo "Z:$(echo "$1" | sed 's#/#\\#g')"; }
drv() { timeout 60 "$WINE" "$driver_exe" "$@" 2>>"$work/driver.err" | tr -d '\r'; }

"$root/scripts/package.sh" --build-dir "$build_dir" --no-build --out "$work/dist" || { fail "packaging"; exit 1; }
info() { sed -n "s/^$1=//p" "$build_dir/package-files.txt"; }
probe_start "$(info calvera-trace.exe)"
suffix=$([ "$(info PROCESSOR)" = i686 ] && echo win32 || echo win64)
calvera_zip="$work/dist/calvera-$(info CALVERA_VERSION)-$suffix.zip"
velmora_zip="$work/dist/velmora-$(info VELMORA_VERSION)-$suffix.zip"

# ---- calvera ----
cdir="$work/calvera"
mkdir -p "$cdir"
unzip -q "$calvera_zip" -d "$cdir" || fail "unzip calvera"
check_eq "calvera package files" "Lorvex.dll README.txt SYSTEM/targets.txt calvera-trace.exe calvera.exe" \
  "$(cd "$cdir" && find . -type f | sed 's#^\./##' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
run_in() {  # folder program [args...]: runs in the background from that folder
  local dir=$1
  shift
  (cd "$dir" && exec timeout 240 "$WINE" "$@" >>"$dir/$1.out" 2>&1) &
  pids+=($!)
  last_pid=$!
}
wait_exit() {
  for _ in $(seq 1 $(($2 * 10))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  return 1
}

check_eq "viewer version" "calvera-trace $(info CALVERA_VERSION)" \
  "$(cd "$cdir" && timeout 60 "$WINE" ./calvera-trace.exe --version 2>&1 | tr -d '\r')"

# calvera.exe as unpacked: the sample table (comments only) is read, Lorvex.dll loads, the dialog
# comes up and shows the packaged version in its About box.
run_in "$cdir" calvera.exe
if [ -n "$(drv wait main 30000)" ]; then
  log "ok: calvera.exe opens its dialog from the unpacked folder"
  drv syscmd main 16
  if [ -n "$(drv wait about 10000)" ]; then
    check_eq "About version" "Calvera V$(info CALVERA_VERSION).000" "$(drv text about 1003)"
    drv click about 1
    drv gone about 5000 || fail "About box did not close"
  else
    fail "no About box"
  fi
  drv click main 2
  drv gone main 10000 || fail "calvera.exe did not close"
  wait_exit "$last_pid" 15 || fail "calvera.exe did not end"
else
  fail "calvera.exe did not open its dialog: $(cat "$cdir/calvera.exe.out" 2>/dev/null)"
fi
check_eq "no message box left" "0" "$(drv count msgbox)"

# A whole recovery from the unpacked folder: the viewer of the package receives the records of
# calvera-sim.exe (added beside it, with test images in SYSTEM).
cp "$(info calvera-sim.exe)" "$cdir/"
drv make-images "$(winepath_of "$cdir")" '*' || fail "images not written"
run_in "$cdir" calvera-trace.exe
for _ in $(seq 1 100); do
  (cd "$cdir" && timeout 30 "$WINE" ./calvera-trace.exe --status >/dev/null 2>&1) && break
  sleep 0.2
done
run_in "$cdir" calvera-sim.exe
if [ -n "$(drv wait main 30000)" ]; then
  drv click main 1
  case "$(drv wait-text main 1002 "Transfer completed." 120000)" in
    *"Transfer completed."*) log "ok: recovery completed from the unpacked folder" ;;
    *) fail "recovery did not complete" ;;
  esac
  for _ in $(seq 1 50); do
    (cd "$cdir" && timeout 30 "$WINE" ./calvera-trace.exe --save "$(winepath_of "$work/trace.txt")" >/dev/null 2>&1)
    grep -q 'WinTransMain end' "$work/trace.txt" 2>/dev/null && break
    sleep 0.2
  done
  if head -1 "$work/trace.txt" | grep -q 'WinTransMain start' && tail -1 "$work/trace.txt" | grep -q 'WinTransMain end'; then
    log "ok: the packaged viewer recorded the run ($(wc -l <"$work/trace.txt") records)"
  else
    fail "the packaged viewer did not record the run"
  fi
  drv click main 2
  [ -n "$(drv wait msgbox 20000)" ] && drv click msgbox 1
  drv gone main 10000 || fail "calvera-sim.exe did not close"
else
  fail "calvera-sim.exe did not open its dialog"
fi

# ---- velmora ----
vdir="$work/velmora"
mkdir -p "$vdir"
unzip -q "$velmora_zip" -d "$vdir" || fail "unzip velmora"
check_eq "velmora package files" "README.txt velmora.exe" "$(cd "$vdir" && find . -type f | sed 's#^\./##' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
# Without Kalvuset.exe beside it the installer says so and ends with 1: it started and found its
# resources in the unpacked program alone.
(cd "$vdir" && timeout 180 "$WINE" "$box_exe" "$(winepath_of "$work/velmora-transcript.txt")" \
   "$(winepath_of "$vdir/velmora.exe")" </dev/null >>"$work/velmora-driver.out" 2>&1)
seen=$(tr -d '\r' <"$work/velmora-transcript.txt" 2>/dev/null)
case "$seen" in
  *"text=Driver installation file not found.\nUnable to start installation."*) log "ok: velmora message 111" ;;
  *) fail "velmora did not show message 111: $seen" ;;
esac
case "$seen" in *"exit 1"*) log "ok: velmora exit code 1" ;; *) fail "velmora exit code: $seen" ;; esac

if [ "$failures" -ne 0 ]; then
  echo "[packages] $failures check(s) failed"
  exit 1
fi
echo "[packages] passed"
