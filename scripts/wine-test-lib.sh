# Sourced by the Wine test scripts (tests/*/wine/*.sh, tests/delivery/*.sh).
#   wine_test_setup BUILD_DIR   the Wine prefix and display of that build tree, unless the caller
#                               has them already; sets WINE (CALVERA_WINE, default: wine).
#   wine_skip_if_unstartable LABEL OUTPUT
#                               exits 77 (ctest: skipped) when OUTPUT, what starting a program
#                               printed, says that Wine cannot start it on this machine: a kernel
#                               without 32-bit support cannot start the 32-bit loader, and the
#                               64-bit one refuses a 32-bit program. The x86_64 tree runs the test.
wine_test_setup() {
  if [ -z "${WINEPREFIX:-}" ]; then
    # Its lasting processes (wineserver, Xvfb) must not hold ctest's output pipes.
    # shellcheck disable=SC1091
    source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$1" </dev/null >/dev/null 2>&1
  fi
  WINE=${CALVERA_WINE:-wine}
}

wine_skip_if_unstartable() {
  case "$2" in
    *"Exec format error"* | *"Application could not be started"* | *"failed to map the shared user data"*)
      echo "$1 skipped: $WINE cannot start 32-bit programs on this machine: $2"
      exit 77 ;;
  esac
}
