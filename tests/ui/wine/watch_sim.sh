#!/usr/bin/env bash
# Shows a whole recovery in the real dialog: calvera-sim.exe (the program with a virtual panel
# inside, whose power follows the prompts) under Wine on your display. Press Start and watch.
#   bash tests/ui/wine/watch_sim.sh [WINDOWS_BUILD_DIR]
# The default is build/win32, or build/win64 where the kernel cannot start 32-bit programs.
# CALVERA_SIM_DELAY_MS (default 1500) is how long each prompt stays before the panel's power
# changes; CALVERA_SIM_ID sets the panel's identification (QRV50003 shows a refused model).
set -u
root=$(cd "$(dirname "$0")/../../.." && pwd)
default_build=$root/build/win32
/usr/lib/wine/wine --version >/dev/null 2>&1 || default_build=$root/build/win64
build=$(cd "${1:-$default_build}" && pwd)
# shellcheck disable=SC1091
source "$root/scripts/wine-env.sh" "$build"  # (its `wineserver -p` fails when one already runs)
WINE=${CALVERA_WINE:-wine}
dir="$build/tests/ui/watch-sim"
mkdir -p "$dir"
cp "$build/recovery/ui/calvera-sim.exe" "$build/recovery/ui/Lorvex.dll" "$dir/"
timeout 60 "$WINE" "$build/tests/ui/calvera-driver.exe" make-images "Z:$(echo "$dir" | sed 's#/#\\#g')" ||
  { echo "watch_sim: cannot write the sample images" >&2; exit 1; }
cd "$dir"
CALVERA_SIM_DELAY_MS=${CALVERA_SIM_DELAY_MS:-1500} timeout 3600 "$WINE" calvera-sim.exe
