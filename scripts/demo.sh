#!/usr/bin/env bash
# The main job: build the host tools, pack a sample OS core (several banks, compressed) and an
# initial loader with calvera-image, put them with a targets.txt into a program folder, start the
# virtual panel on a pseudo-terminal, recover it with calvera-cli, and compare what the panel's
# flash holds with the two images.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host --target calvera-image calvera-panel calvera-cli -j"$(nproc)" >/dev/null

image=build/host/tools/calvera-image/calvera-image
panel=build/host/tools/calvera-panel/calvera-panel
cli=build/host/tools/calvera-cli/calvera-cli

work=$(mktemp -d /tmp/calvera-demo.XXXXXX)
panel_pid=""
cleanup() {
  if [ -n "$panel_pid" ] && kill -0 "$panel_pid" 2>/dev/null; then kill "$panel_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

program="$work/program"
mkdir -p "$program/SYSTEM" "$work/dump"

# Deterministic sample bodies: code-like words, strings, address tables and padding.
python3 - "$work" <<'PY'
import struct, sys
work = sys.argv[1]
state = 12345
def rnd(n):
    global state
    state = (state * 1103515245 + 12345) & 0x7FFFFFFF
    return (state >> 8) % n
def body(size):
    out = bytearray()
    strings = [b"Transfer error\r\n\0", b"Bank written\r\n\0", b"OS core ready\0", b"Checksum NG\0"]
    while len(out) < size:
        kind = rnd(10)
        if kind < 5:
            for _ in range(8 + rnd(100)):
                out += struct.pack("<I", 0xE5900000 | (rnd(8) << 16) | (rnd(8) << 12) | rnd(64))
        elif kind < 7:
            for _ in range(1 + rnd(4)):
                out += strings[rnd(len(strings))]
        elif kind < 9:
            address = 0x8C010000 + rnd(0x4000) * 4
            for _ in range(4 + rnd(40)):
                out += struct.pack("<I", address)
                address += 4 * (1 + rnd(16))
        else:
            out += bytes(64 + rnd(1024))
    return bytes(out[:size])
open(work + "/oscore_body.bin", "wb").write(body(3 * 65536 + 4000))
open(work + "/iloader_body.bin", "wb").write(body(24000))
PY

echo "== pack the images"
# format_flags 00010001: word-sum body check, banks sent compressed.
"$image" pack --kind oscore --load-address 8C010000 --entry-offset 00001000 --flags 00010001 \
  "$work/oscore_body.bin" "$program/SYSTEM/OSCORE.BIN"
"$image" pack --kind iloader --load-address 8C000000 --entry-offset 00000100 \
  "$work/iloader_body.bin" "$program/SYSTEM/ILOADER.BIN"
cat >"$program/SYSTEM/targets.txt" <<'EOF'
# PATTERN   INITIAL-LOADER   OS-CORE
QRV5????    ILOADER.BIN      OSCORE.BIN
EOF

echo "== start the virtual panel"
"$panel" --pty --once --dump "$work/dump" >"$work/panel.out" 2>"$work/panel.log" &
panel_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^port: //p' "$work/panel.out")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "demo: FAILED: the virtual panel named no port" >&2
  cat "$work/panel.log" >&2
  exit 1
fi
echo "panel on $port"

echo "== recover it with calvera-cli"
status=0
timeout 50 "$cli" --port "$port" --folder "$program" --power-prompts none || status=$?
echo "calvera-cli exit status: $status"

# The panel ends by itself after the reset (or when the host lets go of the line).
panel_status=0
for _ in $(seq 50); do kill -0 "$panel_pid" 2>/dev/null || break; sleep 0.1; done
wait "$panel_pid" || panel_status=$?
panel_pid=""
echo "== the panel's side"
cat "$work/panel.log"

if [ "$status" -ne 0 ] || [ "$panel_status" -ne 0 ]; then
  echo "demo: FAILED: the recovery did not complete (calvera-cli $status, panel $panel_status)" >&2
  exit 1
fi
if cmp -s "$work/dump/oscore.bin" "$program/SYSTEM/OSCORE.BIN" &&
   cmp -s "$work/dump/iloader.bin" "$program/SYSTEM/ILOADER.BIN"; then
  echo "demo: OK: images match (the panel's flash holds the OS core and the initial loader exactly)"
else
  echo "demo: FAILED: the panel's flash differs from the images" >&2
  exit 1
fi
