#!/usr/bin/env bash
# Regenerates the JSON Schemas, python/plim_link/messages.py, the stubs'
# python/plim_ffi-stubs/_messages.pyi and python/plim_sim/wire_constants.py
# from the message declarations in src/messages/ and the framing constants
# (through the describe_messages tool, which needs no test framework).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/generate
generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
cmake -S . -B "$build" "${generator[@]}" -DPLIM_BUILD_MODULE=OFF -DPLIM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target describe_messages -j 2
python3 tools/generate_messages.py --write --describe "$build/describe_messages"
