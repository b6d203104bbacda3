#!/usr/bin/env bash
# The main job (for now): set up, build the host image tool, pack a sample OS-core image and an
# initial-loader image, and check both with the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host --target calvera-image -j"$(nproc)" >/dev/null

tool=build/host/tools/calvera-image/calvera-image
work=build/host/demo
rm -rf "$work"
mkdir -p "$work"

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

echo "== pack"
"$tool" pack --kind oscore --load-address 8C010000 --entry-offset 00001000 --flags 00010001 \
  "$work/oscore_body.bin" "$work/OSCORE.BIN"
"$tool" pack --kind iloader --load-address 8C000000 --entry-offset 00000000 \
  "$work/iloader_body.bin" "$work/ILOADER.BIN"
echo "== info OS core"
"$tool" info "$work/OSCORE.BIN"
echo "== info initial loader"
"$tool" info "$work/ILOADER.BIN"
echo "== verify"
"$tool" verify "$work/OSCORE.BIN"
"$tool" verify "$work/ILOADER.BIN"

echo "== first bank through the LZSS coder and back"
head -c 65536 "$work/OSCORE.BIN" >"$work/bank0.bin"
"$tool" compress "$work/bank0.bin" "$work/bank0.lz"
"$tool" expand "$work/bank0.lz" "$work/bank0.out"
cmp "$work/bank0.bin" "$work/bank0.out"

echo "== a damaged copy is refused"
cp "$work/OSCORE.BIN" "$work/DAMAGED.BIN"
printf '\377' | dd of="$work/DAMAGED.BIN" bs=1 seek=1000 conv=notrunc status=none
if "$tool" verify "$work/DAMAGED.BIN"; then
  echo "demo: FAILED: a damaged image passed verify" >&2
  exit 1
fi

echo "demo: OK: OS-core and initial-loader images packed with calvera-image, both verified sound, a damaged copy refused"
