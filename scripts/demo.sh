#!/usr/bin/env bash
# The main job: set up, build the host tools, and run them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host -j"$(nproc)"
echo "demo: nothing to run yet"
