#!/usr/bin/env python3
"""Opens a pseudo-terminal pair for a COM port under Wine and records the line settings the program
sets on it. Writes the slave's path to PATH_FILE, then every few milliseconds appends each new
"ispeed ospeed crtscts csize" state seen (through the master) to STATE_FILE, until STOP_FILE exists
or 300 s passed. Usage: pty_watch.py PATH_FILE STATE_FILE STOP_FILE"""
import os
import sys
import termios
import time

SPEEDS = {getattr(termios, name): int(name[1:]) for name in dir(termios)
          if name.startswith('B') and name[1:].isdigit()}


def main(path_file, state_file, stop_file):
    master, slave = os.openpty()
    with open(path_file + '.tmp', 'w') as f:
        f.write(os.ttyname(slave) + '\n')
    os.rename(path_file + '.tmp', path_file)
    last = None
    deadline = time.time() + 300
    while not os.path.exists(stop_file) and time.time() < deadline:
        attrs = termios.tcgetattr(master)
        state = '%s %s %d %d' % (SPEEDS.get(attrs[4], attrs[4]), SPEEDS.get(attrs[5], attrs[5]),
                                 1 if attrs[2] & termios.CRTSCTS else 0,
                                 {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7,
                                  termios.CS8: 8}[attrs[2] & termios.CSIZE])
        if state != last:
            with open(state_file, 'a') as f:
                f.write(state + '\n')
            last = state
        # Drain whatever the program writes so that its writes never block.
        try:
            os.set_blocking(master, False)
            os.read(master, 4096)
        except OSError:
            pass
        time.sleep(0.005)
    os.close(slave)
    os.close(master)


if __name__ == '__main__':
    main(*sys.argv[1:4])
