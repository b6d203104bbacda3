# Sourced by the test and demo scripts: a private Wine prefix in the build tree and an X display.
# Usage: source scripts/wine-env.sh BUILD_DIR
# Exports WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES, DISPLAY, WINE_RUN_LOADER and puts a `wine`
# that picks the loader this machine can start (scripts/wine-run) first on PATH.
wine_build_dir=${1:?build dir}
wine_scripts_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEPREFIX="$wine_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# Which loader: the 32-bit one where the kernel runs 32-bit programs, else the 64-bit one.
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  export WINE_RUN_LOADER=/usr/lib/wine/wine
else
  export WINE_RUN_LOADER=/usr/lib/wine/wine64
  export WINELOADER=/usr/lib/wine/wine64
fi
wine_shim_dir="$wine_build_dir/wine-shim"
mkdir -p "$wine_shim_dir"
for name in wine wine-stable; do
  printf '#!/bin/sh\nexec "%s/wine-run" "$@"\n' "$wine_scripts_dir" > "$wine_shim_dir/$name"
  chmod +x "$wine_shim_dir/$name"
done
case ":$PATH:" in *":$wine_shim_dir:"*) ;; *) export PATH="$wine_shim_dir:$PATH" ;; esac

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  export DISPLAY=:99
  if ! xdpyinfo >/dev/null 2>&1; then
    (Xvfb :99 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &)
    for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  fi
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 300 wine wineboot -i >/dev/null 2>&1 || true
  # Without a window manager every window close costs two seconds unless Wine manages nothing.
  timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
  timeout 60 wineserver -w || true
fi

# A persistent wineserver and one warm-up start, so that no test starts Wine's services under
# ctest (they would inherit its pipes and make every test slow).
wineserver -p
timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
