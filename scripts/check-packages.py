#!/usr/bin/env python3
"""Checks the release packages that scripts/package.sh wrote.

    check-packages.py DIR PACKAGE_FILES_TXT

For the versions and processor named in PACKAGE_FILES_TXT (a Windows build tree's
package-files.txt): both zips exist in DIR with exactly the expected entries; the texts are plain
ASCII with CR LF line ends and carry the version; the sample target table holds only comments and
blank lines; every .exe and .dll is a Windows image for that processor (PE32 i386 for i686,
PE32+ x86-64 for x86_64). Prints one line per finding; exit status 0 when all hold, 1 otherwise.
"""
import os
import struct
import sys
import zipfile

MACHINES = {'i686': (0x14c, 0x10b, 'PE32 i386'), 'x86_64': (0x8664, 0x20b, 'PE32+ x86-64')}


def pe_kind(data):
    """(machine, optional-header magic) of a Windows image, or None."""
    if len(data) < 0x40 or data[:2] != b'MZ':
        return None
    offset = struct.unpack_from('<I', data, 0x3c)[0]
    if len(data) < offset + 26 or data[offset:offset + 4] != b'PE\0\0':
        return None
    machine = struct.unpack_from('<H', data, offset + 4)[0]
    magic = struct.unpack_from('<H', data, offset + 24)[0]
    return machine, magic


def main():
    folder, files_txt = sys.argv[1:3]
    info = dict(line.split('=', 1) for line in open(files_txt).read().splitlines() if '=' in line)
    processor = info['PROCESSOR']
    suffix = {'i686': 'win32', 'x86_64': 'win64'}[processor]
    machine, magic, kind = MACHINES[processor]
    expected = {
        'calvera-%s-%s.zip' % (info['CALVERA_VERSION'], suffix):
            (['calvera.exe', 'Lorvex.dll', 'calvera-trace.exe', 'SYSTEM/targets.txt', 'README.txt'],
             info['CALVERA_VERSION']),
        'velmora-%s-%s.zip' % (info['VELMORA_VERSION'], suffix):
            (['velmora.exe', 'README.txt'], info['VELMORA_VERSION']),
    }
    problems = []
    for name, (entries, version) in expected.items():
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            problems.append('%s: missing' % name)
            continue
        with zipfile.ZipFile(path) as z:
            names = z.namelist()
            if sorted(names) != sorted(entries):
                problems.append('%s: entries %s, expected %s' % (name, names, entries))
            for entry in names:
                data = z.read(entry)
                if entry.lower().endswith(('.exe', '.dll')):
                    if pe_kind(data) != (machine, magic):
                        problems.append('%s: %s is not %s (%r)' % (name, entry, kind, pe_kind(data)))
                    else:
                        print('%s: %s is %s' % (name, entry, kind))
                elif entry.endswith('.txt'):
                    try:
                        data.decode('ascii')
                    except UnicodeDecodeError:
                        problems.append('%s: %s is not plain ASCII' % (name, entry))
                    if not data.endswith(b'\r\n') or data.count(b'\n') != data.count(b'\r\n') \
                            or data.count(b'\r') != data.count(b'\r\n'):
                        problems.append('%s: %s does not end every line in CR LF' % (name, entry))
                    lines = data.decode('ascii', 'replace').split('\r\n')
                    if entry == 'README.txt' and version not in lines[0]:
                        problems.append('%s: README.txt does not name version %s' % (name, version))
                    if entry == 'SYSTEM/targets.txt' and any(
                            l.strip() and not l.lstrip().startswith('#') for l in lines):
                        problems.append('%s: the sample target table has lines that are not comments' % name)
        print('%s: %d entries checked' % (name, len(entries)))
    for p in problems:
        print('FAIL: ' + p)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
