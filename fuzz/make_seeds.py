#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ (run from anywhere; the files are committed)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ESC, CR, LF = b"\x1b", b"\r", b"\n"


def image_crc(data):
    """Reflected CRC-32 (polynomial EDB88320) with the register starting at 0, inverted at the end."""
    reg = 0
    for byte in data:
        reg ^= byte
        for _ in range(8):
            reg = (reg >> 1) ^ (0xEDB88320 if reg & 1 else 0)
    return ~reg & 0xFFFFFFFF


def frame_sum(body):
    return b"%02X" % (sum(body) & 0xFF)


def answer(body):
    return ESC + body + frame_sum(body) + CR + LF


def reply(data):
    assert len(data) < 0x80
    return bytes([len(data)]) + data


def follow(data):
    assert len(data) < 0x80
    return bytes([0x80 | len(data)]) + data


def image(magic, body, total=None, flags=0, load=0x8C000000, entry=0x100):
    total = 32 + len(body) if total is None else total
    if flags & 0x7FFF0000:
        words = len(body) // 4
        check = (-sum(struct.unpack("<%dI" % words, body[:words * 4]))) & 0xFFFFFFFF
    else:
        check = image_crc(body)
    tail = struct.pack("<5I", total, load, entry, flags, 0)
    crc = image_crc(tail)
    return struct.pack("<3I", magic, crc, check) + tail + body


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def engine():
    t = "engine_responses_fuzz"
    write(t, "greeting-ok", b"\x00" + reply(b"\x03\x0a"))
    write(t, "greeting-bad-then-ok", b"\x00" + reply(b"\x15\x0a") + reply(b"\x03\x0d") + reply(b"\x03\x0a"))
    echo = ESC + b"COM24" + frame_sum(b"COM24") + CR + LF
    write(t, "speed-ok", b"\x01" + reply(answer(b"COM0")) + follow(echo))
    write(t, "speed-no-echo", b"\x01" + reply(answer(b"COM0")) + reply(b"\x03\x0a") + reply(answer(b"COM1")))
    write(t, "mid-ok", b"\x02" + reply(answer(b"MID0QX7A2K03")))
    write(t, "mid-noise-first", b"\x02" + reply(b"\x00\xff\x0d" + answer(b"MID0QX7A\x00K03")))
    typ = b"Tervik"
    otn = b"OTN0" + b"%02X" % len(typ)
    write(t, "otn-type", b"\x03" + reply(ESC + otn + frame_sum(otn) + typ + frame_sum(typ) + CR + LF))
    typ = b"scrivel"
    otn = b"OTN0" + b"%02X" % len(typ)
    write(t, "otn-foreign", b"\x03" + reply(ESC + otn + frame_sum(otn) + typ + frame_sum(typ) + CR + LF))
    otn = b"OTN1FF"
    write(t, "otn-none", b"\x03" + reply(ESC + otn + frame_sum(otn) + CR + LF))
    otn = b"OTN0FF"
    write(t, "otn-long", b"\x03" + reply(ESC + otn + frame_sum(otn)) + b"\xff" + b"A" * 40)
    write(t, "rst-ok", b"\x04" + reply(answer(b"RST0")))
    write(t, "pdl-ok", b"\x05" + reply(answer(b"PDL0")))
    write(t, "pdl-refused", b"\x05" + reply(answer(b"PDL1")) + reply(answer(b"PDL0")))
    write(t, "pgo-ok", b"\x06" + reply(answer(b"PGO0")))
    write(t, "bank-ok", b"\x07" + reply(b"\x06\x1a") + reply(ESC + b"OPDB1\r\n" + ESC + b"OPDB2\r\n" + ESC + b"OPDE0\r\n"))
    write(t, "bank-nak-then-error", b"\x07" + reply(b"\x15\x1a") + reply(b"\x06\x1a") + reply(ESC + b"OPDE1\r\n"))
    write(t, "final-ok", b"\x08" + reply(ESC + b"OPDB2\r\n" + ESC + b"OPDE0\r\n"))
    typ = b"Tervik"
    otn = b"OTN0" + b"%02X" % len(typ)
    ack = reply(b"\x06\x1a")
    done = reply(ESC + b"OPDB1\r\n" + ESC + b"OPDB2\r\n" + ESC + b"OPDE0\r\n")
    whole = (b"\x09" + reply(b"\x03\x0a") + reply(answer(b"COM0")) + follow(echo) + reply(answer(b"MID0QX7A2K00")) +
             reply(answer(b"PDL0")) + reply(answer(b"PGO0")) + reply(b"\x02\x0a") +
             reply(ESC + otn + frame_sum(otn) + typ + frame_sum(typ) + CR + LF) + ack + done + ack + done +
             reply(ESC + b"OPDE0\r\n") + reply(answer(b"RST0")))
    write(t, "transfer-ok", whole)
    write(t, "transfer-model-refused", b"\x09" + reply(b"\x03\x0a") + reply(answer(b"COM0")) + follow(echo) +
          reply(answer(b"MID0QX7A2K05")) + reply(answer(b"RST0")))
    write(t, "final-noise", b"\x08\xff" + b"\x00\x1b\x0d" * 20)


def images():
    t = "image_check_fuzz"
    body = bytes(range(64))
    write(t, "oscore-crc", image(0x5A5A5A5A, body))
    write(t, "oscore-wordsum", image(0x5A5A5A5A, body, flags=0x00010001))
    write(t, "iloader", image(0x5A5AC3C3, body[:20]))
    write(t, "header-only", image(0x5A5AC3C3, b""))
    write(t, "total-size-31", image(0x5A5A5A5A, b"", total=31))
    write(t, "total-size-huge", image(0x5A5A5A5A, body, total=0xFFFFFFFF))
    write(t, "short", b"\x5a\x5a\x5a\x5a\x00")
    write(t, "empty", b"")


def lzss_stream():
    t = "lzss_decode_fuzz"
    write(t, "literals", b"\x40\x00" + b"\xff" + b"ABCDEFGH")
    write(t, "reference", b"\x10\x00" + b"\x07ABC\xee\xf3")
    write(t, "limit-0", b"\x00\x00" + b"\x00\x00\x0f")
    write(t, "truncated", b"\x00\x01" + b"\x01A\x00")
    write(t, "max-references", b"\xff\xff" + b"\x00" + b"\xff\xff" * 8)


def lzss_plain():
    t = "lzss_roundtrip_fuzz"
    write(t, "text", b"the target answers, the target answers again, and again.\n" * 3)
    write(t, "zeros", b"\x00" * 300)
    write(t, "one", b"x")
    write(t, "ramp", bytes(range(256)) * 2)
    write(t, "repeats-18", (b"abcdefghijklmnopqr" * 10) + b"abcdefghijklmnopq")


def versions():
    t = "version_fuzz"
    write(t, "equal", b"1.00.000\x001.00.000")
    write(t, "newer", b"1.2.10\x001.2.9")
    write(t, "blanks-signs", b" +1. -2.3\x00\t1.-2.3 ")
    write(t, "huge-field", b"99999999999999999999.1\x002147483647.2")
    write(t, "prefix", b"1.2\x001.2.0")
    write(t, "no-nul", b"1..2...")
    # Took time growing with the square of the length (a copy of both texts per field).
    write(t, "slow-many-periods", b"." * 2048 + b"\x00" + b"." * 2047 + b"1")


def targets():
    t = "targets_table_fuzz"
    ident = b"QX7A2K03"
    write(t, "table", bytes([len(ident)]) + ident +
          b"# pattern iloader oscore\r\nQX7A2K0?  IL_A.bin  OS_A.bin\r\n\r\n*\tIL.bin\tOS.bin\r\n")
    write(t, "no-match", bytes([len(ident)]) + ident + b"ZZZZZZZZ a b\n")
    write(t, "malformed-pattern", bytes([len(ident)]) + ident + b"QX7*2K03 a b\n")
    write(t, "two-fields", bytes([len(ident)]) + ident + b"QX7A2K03 a\n* a b\n")
    write(t, "long-name", bytes([len(ident)]) + ident + b"* " + b"n" * 260 + b" b\n")
    write(t, "short-id", b"\x03abc" + b"???????? a b\n* c d")
    # Once reported a name cut at its NUL byte as found.
    write(t, "crash-name-holding-nul", bytes([len(ident)]) + ident + b"QX7A2K0? \x00\x00L_A.bin  OS_A.bin\r\n")


if __name__ == "__main__":
    engine()
    images()
    lzss_stream()
    lzss_plain()
    versions()
    targets()
