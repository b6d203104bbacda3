#!/usr/bin/env bash
# Runs velmora.exe under Wine in one scenario and checks what a person would see and what the
# machine holds afterwards:
#   velmora_wine_test.sh SCENARIO BUILD_DIR OUT_DIR [WINE]
# BUILD_DIR is the Windows build tree (installer/velmora.exe, tests/installer/Kalvuset.exe,
# velmora-boxdriver.exe, Kalvuset.msi, Kalvuset-newer.msi). Each scenario works in OUT_DIR/SCENARIO
# and leaves the driver's transcript there. The Wine prefix and display come from
# scripts/wine-env.sh (sourced by the caller, or here when the caller has not).
# SHOTS=1 in the environment leaves a PNG of the screen at every box in the scenario folder.
set -u
scenario=${1:?scenario}
build=$(cd "${2:?build dir}" && pwd)
out=${3:?output dir}
WINE=${4:-wine}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)

if [ -z "${WINEPREFIX:-}" ]; then
  # shellcheck disable=SC1091
  source "$root/scripts/wine-env.sh" "$build" >/dev/null 2>&1 </dev/null
fi

bin="$build/tests/installer"
run="$out/$scenario"
rm -rf "$run"
mkdir -p "$run"
run=$(cd "$run" && pwd)
failures=0

log() { echo "[$scenario] $*"; }
fail() { echo "[$scenario] FAIL: $*"; failures=$((failures + 1)); }
check_eq() {  # what expected actual
  if [ "$2" == "$3" ]; then log "ok: $1"; else fail "$1: expected [$2], got [$3]"; fi
}
winpath() { echo "Z:$(echo "$1" | sed 's#/#\\#g')"; }
w() { timeout 60 "$WINE" "$@" </dev/null 2>>"$run/wine.err" | tr -d '\r'; }

product='{6B1E94F0-27C3-4A5D-9E08-C3D2F1A7B654}'
uninstall_key="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product"
# Each scenario plugs its devices in under a product id of its own, so that no scenario re-creates
# a device entry that the one before has just removed.
usb_enum='System\CurrentControlSet\Enum\USB'
usb_vid='VID_1A2B'
usb_pids=(3C41 3C42 3C43 3C44)
case "$scenario" in
  device_panel) usb_pid=3C41 ;;
  device_cable) usb_pid=3C42 ;;
  device_mismatch) usb_pid=3C43 ;;
  *) usb_pid=3C44 ;;
esac
usb_subkey="$usb_enum\\${usb_vid}&PID_$usb_pid"

# Several Windows commands in one Wine start (each start costs about a second).
batch() {
  printf '%s\r\n' "@echo off" "$@" >"$run/step.bat"
  w cmd /c "$(winpath "$run/step.bat")" >/dev/null
}

# No package and no test device, before and after every scenario.
clean_machine() {
  local font_line="rem"
  if [ "${font_replaced:-0}" = 1 ]; then
    font_line='reg delete "HKCU\Software\Wine\Fonts\Replacements" /v "MS UI Gothic" /f >nul 2>&1'
  fi
  local device_lines=()
  for pid in "${usb_pids[@]}"; do
    device_lines+=("reg delete \"HKLM\\$usb_enum\\${usb_vid}&PID_$pid\" /f >nul 2>&1")
  done
  batch "start /wait msiexec /x $product /qn" \
    "reg delete \"$uninstall_key\" /f >nul 2>&1" \
    "${device_lines[@]}" \
    "$font_line"
}
trap clean_machine EXIT
clean_machine

installed_version() {
  w reg query "$uninstall_key" /v DisplayVersion 2>/dev/null |
    awk '$1 == "DisplayVersion" { print $3 }'
}

# Plugs USB devices in: pairs of serial number and device description.
add_devices() {
  local lines=()
  while [ $# -ge 2 ]; do
    local key="HKLM\\$usb_subkey\\$1"
    lines+=("reg add \"$key\" /v HardwareID /t REG_MULTI_SZ /d \"USB\\${usb_vid}&PID_$usb_pid\" /f >nul"
            "reg add \"$key\" /v DeviceDesc /d \"$2\" /f >nul"
            "reg add \"$key\" /v ClassGUID /d {36fc9e60-c465-11cf-8056-444553540000} /f >nul")
    shift 2
  done
  batch "${lines[@]}"
}

device_desc() {  # serial -> the description as stored, blanks included
  w reg query "HKLM\\$usb_subkey\\$1" /v DeviceDesc 2>/dev/null |
    sed -n 's/^ *DeviceDesc *REG_SZ    //p'
}

prepare() {  # full|bare
  cp "$build/installer/velmora.exe" "$run/"
  if [ "$1" = full ]; then
    cp "$bin/Kalvuset.exe" "$bin/Kalvuset.msi" "$run/"
  fi
}

preinstall() {  # msi file name in BUILD_DIR/tests/installer
  w msiexec /i "$(winpath "$bin/$1")" /qn >/dev/null
}

# Japanese message boxes need a font with Japanese glyphs (fonts-vlgothic) in place of the one
# Windows would use. Only for the run: the prefix is shared with other tests.
japanese_font() {
  w reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS UI Gothic' /d 'VL Gothic' /f >/dev/null
  font_replaced=1
}
font_replaced=0

# Runs velmora through the driver with the given actions; env assignments may come first.
# Scenarios that a person may want to look at leave screenshots (shots=1, or SHOTS=1 for all).
shots=0
drive() {
  local envs=()
  while [ $# -gt 0 ] && [[ "$1" == *=* ]]; do envs+=("$1"); shift; done
  if [ "${SHOTS:-}" = 1 ] || [ "$shots" = 1 ]; then envs+=("SHOTS=$run"); fi
  (cd "$run" && env "${envs[@]}" timeout 180 "$WINE" "$bin/velmora-boxdriver.exe" \
      "$(winpath "$run/transcript.txt")" "$(winpath "$run/velmora.exe")" "$@" \
      </dev/null >>"$run/driver.out" 2>>"$run/wine.err")
  tr -d '\r' <"$run/transcript.txt" >"$run/seen.txt" 2>/dev/null || true
}

caption="USB Quillfer Driver - Installation"
declare -A en ja buttons icon
en[102]='Cannot execute this installer since our installer is being executed.\nExecute the installer again after the current installer process is completed.'
en[105]='Unable to install driver.'
en[106]='The USB cable is connected, please disconnect to continue installation.'
en[107]='Driver installation aborted.'
en[108]='Driver is already installed.\nDo you want to update or reinstall?'
en[109]='Unable to install driver.'
en[110]='Driver installation complete.\nPlease restart your PC and connect USB cable.'
en[111]='Driver installation file not found.\nUnable to start installation.'
en[112]='Remove the unit before installing driver.'
en[113]='A newer version has already been installed.'
ja[106]='USBケーブルが接続されています。\nUSBケーブルを取り外してからインストールを続行してください。'
ja[107]='ドライバーのインストールが中止されました。'
ja[112]='ドライバーをインストールする前に、USBケーブルを取り外してください。'
ja[113]='より新しいバージョンが既にインストールされています。'
for id in 102 105 107 109 111; do buttons[$id]=1; icon[$id]=hand; done
for id in 110 112 113; do buttons[$id]=1; icon[$id]=information; done
buttons[106]=1,2; icon[106]=exclamation
buttons[108]=1,2; icon[108]=information

box() {  # language id action [prefix]
  local text
  if [ "$1" = ja ]; then text=${ja[$2]}; else text=${en[$2]}; fi
  echo "${4:-}box caption=$caption text=$text buttons=${buttons[$2]} icon=${icon[$2]} -> $3"
}

expect() {  # lines...
  printf '%s\n' "$@" >"$run/expected.txt"
  if diff -u "$run/expected.txt" "$run/seen.txt" >"$run/diff.txt"; then
    log "ok: message boxes and exit code"
  else
    fail "message boxes differ:"
    cat "$run/diff.txt"
  fi
}

setup_params='params=/s /v"/qb! LAUNCH=Enable STATE=Inst IS_REBOOTED=1"'
setup_log() { if [ -f "$run/Kalvuset.log" ]; then tr -d '\r' <"$run/Kalvuset.log"; fi; }
setup_ran_once() {  # installed-before
  check_eq "setup program ran once with its parameters" \
    "$(printf '%s\ninstalled-before=%s' "$setup_params" "$1")" "$(setup_log)"
}
setup_not_run() { check_eq "setup program not run" "" "$(setup_log)"; }

case "$scenario" in
  fresh)  # nothing installed: notice, install, done
    prepare full
    shots=1
    drive ok ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 110 ok)" "exit 0"
    setup_ran_once no
    check_eq "installed version" "2.1.0" "$(installed_version)"
    ;;
  same_ok)  # same version installed: asked, removed, installed again
    prepare full
    preinstall Kalvuset.msi
    check_eq "package installed before the run" "2.1.0" "$(installed_version)"
    drive ok ok ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 108 ok)" "$(box en 110 ok)" "exit 0"
    setup_ran_once no  # the old package was gone when the setup program started
    check_eq "installed version" "2.1.0" "$(installed_version)"
    ;;
  same_cancel)  # same version installed, the user declines: nothing changes
    prepare full
    preinstall Kalvuset.msi
    drive ok cancel ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 108 cancel)" "$(box en 107 ok)" "exit 1"
    setup_not_run
    check_eq "installed version kept" "2.1.0" "$(installed_version)"
    ;;
  newer)  # a newer package (2.10.0 against the carried 2.1.0) is left alone
    prepare full
    preinstall Kalvuset-newer.msi
    check_eq "newer package installed before the run" "2.10.0" "$(installed_version)"
    drive ok ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 113 ok)" "exit 1"
    setup_not_run
    check_eq "installed version kept" "2.10.0" "$(installed_version)"
    ;;
  removal_fails)  # an uninstall entry the Windows Installer does not know: removal ends in 1605
    prepare full
    w reg add "$uninstall_key" /v DisplayVersion /d 2.0.0 /f >/dev/null
    drive ok ok ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 108 ok)" "$(box en 105 ok)" "exit 1"
    setup_not_run
    ;;
  missing)  # no setup program beside velmora: one message only
    prepare bare
    drive ok
    expect "console visible=0" "$(box en 111 ok)" "exit 1"
    ;;
  setup_fails)  # the setup program ends with 1603
    prepare full
    echo 1603 >"$run/Kalvuset.exitcode"
    drive ok ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 109 ok)" "exit 1"
    setup_ran_once no
    check_eq "nothing installed" "" "$(installed_version)"
    ;;
  second_instance)  # a second velmora while the first waits at its message
    prepare bare
    drive second ok
    expect "console visible=0" "$(box en 111 second)" "$(box en 102 ok 'second ')" "second exit 1" \
      "box (same) -> ok" "exit 1"
    ;;
  device_panel)  # a panel stays plugged in through one OK, then goes away
    prepare full
    echo 1603 >"$run/Kalvuset.exitcode"
    add_devices VLM0001 'Tesmark Tervik-Series USB Device'
    check_eq "device plugged in" 'Tesmark Tervik-Series USB Device' "$(device_desc VLM0001)"
    drive ok ok "unplug:$usb_subkey" ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 106 ok)" "$(box en 106 "unplug:$usb_subkey")" \
      "$(box en 109 ok)" "exit 1"
    ;;
  device_cable)  # the link cable is plugged in and the user closes the question
    prepare full
    add_devices VLM0002 'USB Link Cable (RQ5-LNKCA-07)'
    check_eq "device plugged in" 'USB Link Cable (RQ5-LNKCA-07)' "$(device_desc VLM0002)"
    drive ok close ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 106 close)" "$(box en 107 ok)" "exit 1"
    setup_not_run
    ;;
  device_mismatch)  # descriptions that differ in case or by a trailing blank do not count
    prepare full
    echo 1603 >"$run/Kalvuset.exitcode"
    add_devices VLM0003 'tesmark tervik-series usb device' VLM0004 'USB Link Cable (RQ5-LNKCA-07) '
    check_eq "devices plugged in" "tesmark tervik-series usb device|USB Link Cable (RQ5-LNKCA-07) " \
      "$(device_desc VLM0003)|$(device_desc VLM0004)"
    drive ok ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 109 ok)" "exit 1"
    ;;
  japanese)  # Japanese display language: Japanese texts (106 on two lines)
    prepare full
    japanese_font
    shots=1
    add_devices VLM0005 'Tesmark Tervik-Series USB Device'
    check_eq "device plugged in" 'Tesmark Tervik-Series USB Device' "$(device_desc VLM0005)"
    drive LC_ALL=ja_JP.UTF-8 ok cancel ok
    expect "console visible=0" "$(box ja 112 ok)" "$(box ja 106 cancel)" "$(box ja 107 ok)" "exit 1"
    setup_not_run
    ;;
  japanese_newer)  # Japanese display language, newer package installed
    prepare full
    japanese_font
    preinstall Kalvuset-newer.msi
    drive LC_ALL=ja_JP.UTF-8 ok ok
    expect "console visible=0" "$(box ja 112 ok)" "$(box ja 113 ok)" "exit 1"
    ;;
  other_language)  # any other display language gets the English texts
    prepare bare
    drive LC_ALL=de_DE.UTF-8 ok
    expect "console visible=0" "$(box en 111 ok)" "exit 1"
    ;;
  planted)  # an msiexec.exe and system DLLs planted beside velmora (also its current folder)
    prepare full
    cp "$bin/Kalvuset.exe" "$run/msiexec.exe"  # would write its call into Kalvuset.log
    for dll in version.dll setupapi.dll shlwapi.dll; do cp "$bin/planted.dll" "$run/$dll"; done
    preinstall Kalvuset.msi
    # Wine prefers its own system DLLs; native first makes it load a planted one as Windows would.
    # Not for version.dll: Wine's own user32 imports it at start-up, which Windows' does not.
    drive "WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-};setupapi,shlwapi=n,b" ok ok ok
    expect "console visible=0" "$(box en 112 ok)" "$(box en 108 ok)" "$(box en 110 ok)" "exit 0"
    setup_ran_once no  # one entry: the planted msiexec.exe never ran; the real one removed the package
    check_eq "no planted DLL loaded" "" "$(cat "$run/planted-dll-loaded.txt" 2>/dev/null)"
    check_eq "installed version" "2.1.0" "$(installed_version)"
    ;;
  *)
    fail "unknown scenario"
    ;;
esac

if [ "$failures" -ne 0 ]; then
  log "transcript:"
  cat "$run/seen.txt" 2>/dev/null
  exit 1
fi
log "passed"
