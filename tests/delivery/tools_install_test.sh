#!/usr/bin/env bash
# The host tools as a user gets them: `cmake --install` into an empty prefix, then each installed
# program answers --version with the build's version and --help with its usage, options and exit
# statuses.
#   tools_install_test.sh BUILD_DIR VERSION OUT_DIR
set -u
build_dir=${1:?build dir}
version=${2:?version}
prefix=${3:?output dir}/install
rm -rf "$prefix"
failures=0
fail() { echo "[install] FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build_dir" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log"; fail "cmake --install"; }
for tool in calvera-cli calvera-panel calvera-image; do
  program="$prefix/bin/$tool"
  if [ ! -x "$program" ]; then fail "$tool not installed"; continue; fi
  got=$("$program" --version 2>&1); rc=$?
  [ $rc = 0 ] && [ "$got" == "$tool $version" ] || fail "$tool --version: [$got] (exit $rc)"
  help=$("$program" --help 2>&1); rc=$?
  [ $rc = 0 ] || fail "$tool --help exit $rc"
  for part in "usage: $tool" "--help" "--version" "Exit status"; do
    case "$help" in *"$part"*) ;; *) fail "$tool --help lacks [$part]" ;; esac
  done
  echo "[install] $tool: $got"
done
[ "$failures" = 0 ] && echo "[install] passed" || { echo "[install] $failures check(s) failed"; exit 1; }
