#!/usr/bin/env python3
"""Host side of the Win32 serial adapter check under Wine.

Creates a pseudo-terminal pair, maps COM5 of the Wine prefix to its slave end
($WINEPREFIX/dosdevices/com5), runs wine_com_port_check.exe under `timeout 60 wine`, answers it
from the master end and checks on the Linux side what the program set: the line speed and flow
control in the slave's termios, and the bytes in both directions.

Usage: wine_com_port_test.py PATH_TO_EXE
Exit 0 passed, 1 failed, 77 skipped (no Wine prefix, or Wine cannot start 32-bit programs here).
"""
import os
import pty
import select
import subprocess
import sys
import termios
import time
import tty

SKIP = 77


def read_until(fd, wanted, proc, seconds):
    got = b""
    deadline = time.monotonic() + seconds
    while wanted not in got:
        left = deadline - time.monotonic()
        if left <= 0 or proc.poll() is not None and not select.select([fd], [], [], 0)[0]:
            raise RuntimeError("expected %r, got %r" % (wanted, got))
        ready, _, _ = select.select([fd], [], [], min(left, 0.5))
        if ready:
            try:
                got += os.read(fd, 4096)
            except OSError:
                raise RuntimeError("line closed; got %r" % got)
    return got


def main():
    exe = sys.argv[1]
    prefix = os.environ.get("WINEPREFIX")
    if not prefix or not os.path.isdir(os.path.join(prefix, "dosdevices")):
        print("skipped: no initialised Wine prefix (source scripts/wine-env.sh BUILD_DIR)")
        return SKIP
    wine = os.environ.get("WINE", "wine").split()

    master, slave = pty.openpty()
    tty.setraw(slave)
    link = os.path.join(prefix, "dosdevices", "com5")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(slave), link)

    proc = subprocess.Popen(["timeout", "60"] + wine + [exe, "COM5"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    try:
        try:
            read_until(master, b"HELLO-FROM-WIN32\n", proc, 50)
        except RuntimeError as e:
            output = proc.communicate(timeout=60)[0].decode(errors="replace")
            if any(sign in output for sign in ("Exec format error", "could not exec the wine loader",
                                               "wine32 is missing")):
                print("skipped: Wine cannot start 32-bit programs on this machine")
                return SKIP
            print("FAILED: %s\n%s" % (e, output))
            return 1

        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(master)
        problems = []
        if ospeed != termios.B57600:
            problems.append("output speed %d, not B57600" % ospeed)
        if not cflag & termios.CRTSCTS:
            problems.append("no RTS/CTS flow control")
        if cflag & termios.CSIZE != termios.CS8:
            problems.append("not 8 data bits")
        if cflag & termios.PARENB:
            problems.append("parity on")
        if cflag & termios.CSTOPB:
            problems.append("two stop bits")

        os.write(master, b"PING1234")
        read_until(master, b"GOT:PING1234", proc, 30)
        read_until(master, b"READY\n", proc, 30)
        os.write(master, b"AB")
        output = proc.communicate(timeout=60)[0].decode(errors="replace")
        print(output.strip())
        if proc.returncode != 0:
            problems.append("program exit code %d" % proc.returncode)
        if problems:
            print("FAILED: " + "; ".join(problems))
            return 1
        print("passed: open, line settings, time-outs, bytes both ways")
        return 0
    except (RuntimeError, subprocess.TimeoutExpired) as e:
        proc.kill()
        out = proc.communicate()[0].decode(errors="replace")
        print("FAILED: %s\n%s" % (e, out))
        return 1
    finally:
        if proc.poll() is None:
            proc.kill()
        if os.path.islink(link):
            os.remove(link)
        os.close(master)
        os.close(slave)


if __name__ == "__main__":
    sys.exit(main())
