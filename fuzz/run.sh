#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan + UBSan) and runs each for
# SECONDS seconds, one after another on one core. New inputs go to
# fuzz/corpus-work/<harness> (not committed); the committed seeds in
# fuzz/corpus/<harness> are read as well. Crashes land in fuzz/artifacts/.
# With MERGE=1, the inputs that add coverage are then merged into the
# committed corpus.
#   [MERGE=1] fuzz/run.sh SECONDS [harness ...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [harness ...]}
[ "$seconds" -gt 0 ] || { echo "fuzz/run.sh: SECONDS must be positive (0 would run for ever)" >&2; exit 2; }
shift
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=(fuzz_host_message fuzz_packet fuzz_stream fuzz_device)
fi

CXX=${CXX_FUZZ:-clang++}
out=${FUZZ_BUILD_DIR:-build/fuzz}  # another place keeps parallel runs apart
mkdir -p "$out/obj" fuzz/corpus-work fuzz/artifacts
# clang 14 cannot compile libstdc++ 12's <expected>; fuzz/compat stands in.
flags=(-std=c++2b -O2 -g -Isrc -Ifuzz/compat -Ifuzz
       -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
       -fsanitize-coverage-ignorelist=fuzz/coverage_ignore.txt)

objects=()
for source in src/link/*.cpp src/json/*.cpp src/messages/*.cpp; do
  object="$out/obj/$(echo "$source" | tr / _).o"
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ fuzz/coverage_ignore.txt -nt "$object" ] ||
     [ -n "$(find src -name '*.hpp' -newer "$object" | head -1)" ]; then
    "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object"
  fi
  objects+=("$object")
done

for harness in "${harnesses[@]}"; do
  echo "== building $harness"
  "$CXX" "${flags[@]}" -fsanitize=fuzzer "fuzz/$harness.cpp" "${objects[@]}" -o "$out/$harness"
done

status=0
for harness in "${harnesses[@]}"; do
  echo "== running $harness for ${seconds}s"
  mkdir -p "fuzz/corpus-work/$harness" "fuzz/corpus/$harness"
  # Short inputs keep the rate up; the stream's scripts need room for frames.
  case $harness in
    fuzz_stream) max_len=2048 ;;
    fuzz_device) max_len=512 ;;
    *) max_len=256 ;;
  esac
  ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=4:quarantine_size_mb=32} \
  "$out/$harness" -max_total_time="$seconds" -print_final_stats=1 -max_len="${FUZZ_MAX_LEN:-$max_len}" \
    -artifact_prefix="fuzz/artifacts/$harness-" \
    "fuzz/corpus-work/$harness" "fuzz/corpus/$harness" 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss|Done|#[0-9]+[[:space:]]+DONE|INFO: seed corpus|==[0-9]+==ERROR|.*invariant broken|.*runtime error|  detail:|  want |SUMMARY:)' || true
  if [ "${MERGE:-0}" = 1 ]; then
    "$out/$harness" -merge=1 -max_len="${FUZZ_MAX_LEN:-$max_len}" "fuzz/corpus/$harness" "fuzz/corpus-work/$harness" 2>&1 |
      grep -E '^MERGE-OUTER: [0-9]+ new files' || true
  fi
  if ls "fuzz/artifacts/$harness-"* >/dev/null 2>&1; then
    echo "!! $harness left artifacts in fuzz/artifacts/" >&2
    status=1
  fi
done
exit $status
