#!/usr/bin/env bash
# Builds the module with clang's coverage instrumentation and fuzzes
# ObjectLink against Link and json with Atheris for SECONDS seconds (one
# core). New inputs go to fuzz/corpus-work/fuzz_objects (not committed); the
# committed fuzz/corpus/fuzz_objects is read as well. A failing input lands
# in fuzz/artifacts/. The build and its venv live in build/fuzz-objects.
#   fuzz/run_objects.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run_objects.sh SECONDS}
out=${FUZZ_BUILD_DIR:-build}/fuzz-objects
CXX=${CXX_FUZZ:-clang++}
python=${PYTHON:-python3}

if [ ! -x "$out/venv/bin/python" ]; then
  "$python" -m venv "$out/venv"
  "$out/venv/bin/pip" install -q --disable-pip-version-check atheris
fi
include=$("$out/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)

# The module carries libFuzzer itself (loaded with its symbols global, it is
# the one Atheris drives), so its coverage and Atheris's meet. No sanitizer
# here: scripts/sanitize.sh replays the corpus under ASan and UBSan.
# clang 14 cannot compile libstdc++ 12's <expected>; fuzz/compat stands in.
flags=(-std=c++2b -O1 -g -fPIC -fvisibility=hidden -Isrc -Ifuzz/compat -I"$include"
       -DPy_LIMITED_API=0x030A0000 -DPLIM_FFI_VERSION="\"$version\""
       -fsanitize=fuzzer-no-link)
mkdir -p "$out/obj" fuzz/corpus-work/fuzz_objects fuzz/corpus/fuzz_objects fuzz/artifacts
objects=()
for source in src/link/*.cpp src/json/*.cpp src/messages/*.cpp src/python/*.cpp; do
  object="$out/obj/$(echo "$source" | tr / _).o"
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ -n "$(find src -name '*.hpp' -newer "$object" | head -1)" ]; then
    "$CXX" "${flags[@]}" -c "$source" -o "$object"
  fi
  objects+=("$object")
done
libfuzzer=$("$CXX" -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)
"$CXX" -shared "${objects[@]}" -Wl,--whole-archive "$libfuzzer" -Wl,--no-whole-archive -lstdc++ \
  -o "$out/plim_ffi.abi3.so"

echo "== running fuzz_objects for ${seconds}s"
PYTHONPATH="$out" "$out/venv/bin/python" fuzz/fuzz_objects.py -max_total_time="$seconds" -print_final_stats=1 \
  -max_len=1024 -artifact_prefix=fuzz/artifacts/fuzz_objects- \
  fuzz/corpus-work/fuzz_objects fuzz/corpus/fuzz_objects 2>&1 |
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss|Done|INFO: (seed corpus|Loaded|Instrumentation)|#[0-9]+ *(INITED|DONE)|.*Error|.*Traceback|  File|AssertionError)' || true
if ls fuzz/artifacts/fuzz_objects-* >/dev/null 2>&1; then
  echo "!! fuzz_objects left artifacts in fuzz/artifacts/" >&2
  exit 1
fi
