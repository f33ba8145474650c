#!/usr/bin/env bash
# Checks the 32-bit float text of every finite float (each negative twin
# with it) against an exact-arithmetic judge: tools/check_f32_format.cpp,
# built here in Release. Takes long; the unit tests cover a stride of the
# range instead.
#   scripts/check_f32_all.sh            # the whole range in one process
#   JOBS=2 scripts/check_f32_all.sh     # split between two processes
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/check-f32
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPLIM_BUILD_MODULE=OFF -DPLIM_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target check_f32_format -j 2 >/dev/null

jobs=${JOBS:-1}
end=$((0x7F800000))  # the first non-finite pattern
pids=()
for ((job = 0; job < jobs; ++job)); do
  first=$((end * job / jobs))
  last=$((end * (job + 1) / jobs))
  "$build/check_f32_format" 1 "$first" "$last" | sed "s/^/[$job] /" &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
[ $status -eq 0 ] && echo "every finite float checked: no failures" || echo "failures found" >&2
exit $status
