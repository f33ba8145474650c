#!/usr/bin/env bash
# Builds the harnesses as plain programs (g++, ASan + UBSan, no libFuzzer) and
# replays the committed corpus through them.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/fuzz-replay
mkdir -p "$out/obj"
flags=(-std=c++23 -O1 -g -Isrc -Ifuzz -DPLIM_FUZZ_REPLAY -fsanitize=address,undefined -fno-sanitize-recover=all)
objects=()
for source in src/link/*.cpp src/json/*.cpp src/messages/*.cpp; do
  object="$out/obj/$(echo "$source" | tr / _).o"
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ -n "$(find src -name '*.hpp' -newer "$object" | head -1)" ]; then
    g++ "${flags[@]}" -c "$source" -o "$object"
  fi
  objects+=("$object")
done
for harness in fuzz_host_message fuzz_packet fuzz_stream fuzz_device; do
  g++ "${flags[@]}" "fuzz/$harness.cpp" "${objects[@]}" -o "$out/$harness"
  "$out/$harness" "fuzz/corpus/$harness"
done
