#!/usr/bin/env bash
# Builds the floor extension for the Python given as $1 (default python3) into
# build/bench-floor/ of the repository. Not part of the wheel.
set -euo pipefail
python=${1:-python3}
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/build/bench-floor"
mkdir -p "$out"
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
${CC:-cc} -O2 -shared -fPIC -Wall -Wextra -I"$include" "$root/bench/floor/floor.c" -o "$out/plim_floor.abi3.so"
echo "$out"
