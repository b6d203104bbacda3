#!/usr/bin/env bash
# Builds the release packages of the Windows programs:
#   calvera-<version>-win32.zip   calvera.exe, Lorvex.dll, calvera-trace.exe, SYSTEM\targets.txt
#                                 (a commented sample), README.txt
#   velmora-<version>-win32.zip   velmora.exe, README.txt
# The versions come from the top-level CMakeLists.txt (through the build tree's package-files.txt).
#
#   scripts/package.sh [--out DIR] [--source REPO] [--arch i686|x86_64]
#       clones REPO (default: the repository holding this script, its committed HEAD) into a
#       scratch folder, builds the programs there with MinGW-w64 (i686: the shipped programs),
#       and writes the zips into DIR (default: dist/ of this repository).
#   scripts/package.sh --build-dir DIR [--no-build] [--out DIR]
#       packages an existing Windows build tree instead (i686 or x86_64, whichever it is; the
#       x86_64 packages, named -win64, have the same layout and exist for the tests under Wine on
#       machines that cannot run 32-bit programs).
# Every package is checked after it is written (scripts/check-packages.py): its file list, the
# CR LF line ends of the texts, and the machine type of each program and library.
# Exit status: 0 the packages are written and checked; 1 anything else.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
out="$repo/dist"
source_repo="$repo"
arch=i686
build_dir=""
build=1
jobs=${PACKAGE_JOBS:-2}

usage() { sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    --source) source_repo=${2:?--source needs a repository}; shift 2 ;;
    --arch) arch=${2:?--arch needs i686 or x86_64}; shift 2 ;;
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift 2 ;;
    --no-build) build=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "package.sh: unknown argument $1" >&2; usage >&2; exit 1 ;;
  esac
done
case "$arch" in i686|x86_64) ;; *) echo "package.sh: --arch takes i686 or x86_64" >&2; exit 1 ;; esac

scratch=""
cleanup() { if [ -n "$scratch" ]; then rm -rf "$scratch"; fi; }
trap cleanup EXIT

if [ -z "$build_dir" ]; then
  # A clean clone: only what is committed goes into a release.
  scratch=$(mktemp -d /tmp/calvera-package-XXXXXX)
  echo "package.sh: cloning $source_repo"
  git clone --quiet "$source_repo" "$scratch/src"
  src=$scratch/src
  build_dir=$scratch/build
  echo "package.sh: configuring ($arch)"
  cmake -S "$src" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCALVERA_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw-$arch.cmake" >"$scratch/configure.log" \
    || { cat "$scratch/configure.log" >&2; exit 1; }
else
  build_dir=$(cd "$build_dir" && pwd)
  src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build_dir/CMakeCache.txt")
fi
if [ "$build" = 1 ]; then
  echo "package.sh: building"
  cmake --build "$build_dir" -j "$jobs" --target calvera calvera-trace velmora >"$build_dir/package-build.log" 2>&1 \
    || { tail -40 "$build_dir/package-build.log" >&2; exit 1; }
fi

files="$build_dir/package-files.txt"
[ -f "$files" ] || { echo "package.sh: $files is missing: not a Windows build tree" >&2; exit 1; }
mkdir -p "$out"
out=$(cd "$out" && pwd)
python3 - "$files" "$src/packaging" "$out" <<'PY'
import os, shutil, subprocess, sys, tempfile, time, zipfile

files_txt, packaging, out = sys.argv[1:4]
info = dict(line.split('=', 1) for line in open(files_txt).read().splitlines() if '=' in line)
suffix = {'i686': 'win32', 'x86_64': 'win64'}.get(info['PROCESSOR'])
if suffix is None:
    sys.exit('package.sh: unknown processor %s' % info['PROCESSOR'])
calvera_version = info['CALVERA_VERSION']
velmora_version = info['VELMORA_VERSION']
major, minor = calvera_version.split('.')
# Entry times: SOURCE_DATE_EPOCH when set (reproducible packages), else now.
stamp = time.gmtime(int(os.environ.get('SOURCE_DATE_EPOCH', time.time())))[:6]

def text(path):
    """A text of packaging/ with the versions filled in and CR LF line ends."""
    body = open(os.path.join(packaging, path), encoding='ascii').read()
    body = (body.replace('@CALVERA_VERSION_LONG@', '%s.%s.000' % (major, minor))
                .replace('@CALVERA_VERSION@', calvera_version)
                .replace('@VELMORA_VERSION@', velmora_version))
    return body.replace('\r\n', '\n').replace('\n', '\r\n').encode('ascii')

strip = shutil.which('%s-w64-mingw32-strip' % info['PROCESSOR'])

def program(name):
    """A built program or library as it ships: its symbol table stripped (the build keeps it)."""
    path = info.get(name)
    if not path or not os.path.isfile(path):
        sys.exit('package.sh: %s was not built' % name)
    if strip is None:
        return open(path, 'rb').read()
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, name)
        shutil.copyfile(path, copy)
        subprocess.run([strip, '--strip-all', copy], check=True)
        return open(copy, 'rb').read()

packages = {
    'calvera-%s-%s.zip' % (calvera_version, suffix): [
        ('calvera.exe', program('calvera.exe')),
        ('Lorvex.dll', program('Lorvex.dll')),
        ('calvera-trace.exe', program('calvera-trace.exe')),
        ('SYSTEM/targets.txt', text('calvera/targets.txt')),
        ('README.txt', text('calvera/README.txt')),
    ],
    'velmora-%s-%s.zip' % (velmora_version, suffix): [
        ('velmora.exe', program('velmora.exe')),
        ('README.txt', text('velmora/README.txt')),
    ],
}
for name, entries in packages.items():
    path = os.path.join(out, name)
    tmp = path + '.part'
    with zipfile.ZipFile(tmp, 'w', zipfile.ZIP_DEFLATED) as z:
        for entry, data in entries:
            z.writestr(zipfile.ZipInfo(entry, date_time=stamp), data, zipfile.ZIP_DEFLATED)
    os.replace(tmp, path)
    print(path)
PY
python3 "$here/check-packages.py" "$out" "$files"
