#!/usr/bin/env bash
# Builds the C++ tests and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report is fatal) and runs the C++ tests and
# the pytest suite under them. Python itself is not instrumented: the ASan
# runtime is preloaded into the interpreter, and pymalloc is switched off so
# every object allocation goes through the checked malloc. Leak detection is
# off for the interpreter, which keeps its own allocations until exit.
# Both link classes run their whole suites here, ObjectLink's property tests
# included. Extra arguments go to pytest; SANITIZE_BUILD_DIR (default build)
# puts the builds and the virtual environment elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
build=${SANITIZE_BUILD_DIR:-build}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== C++ core under ASan + UBSan: build and unit tests"
cmake -S . -B "$build/sanitize-cpp" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPLIM_BUILD_MODULE=OFF -DPLIM_BUILD_TESTS=ON -DPLIM_SANITIZE=ON >/dev/null
cmake --build "$build/sanitize-cpp" -j2
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build/sanitize-cpp" --output-on-failure -j2

echo "== Python module under ASan + UBSan: install into $build/venv-sanitize and run pytest"
python3 -m venv "$build/venv-sanitize"
"$build/venv-sanitize"/bin/python -m pip install -q --disable-pip-version-check ".[test]" \
  -C cmake.define.PLIM_SANITIZE=ON -C cmake.define.PLIM_FFI_TEST_HOOKS=ON \
  -C cmake.build-type=RelWithDebInfo -C build-dir="$build/skbuild-sanitize"

asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
# The release-wheel test builds its own uninstrumented wheel with the whole
# toolchain, which would run with the preloaded runtime; it proves nothing
# about this build, so it is left to scripts/test.sh.
run_pytest() {
  LD_PRELOAD="$asan_runtime $ubsan_runtime" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1${1:+:$1} \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/venv-sanitize"/bin/python -m pytest -q -p no:cacheprovider -m "not slow and not wheel" "${@:2}"
}
# ASan keeps freed blocks in quarantine to catch use after free, so resident
# memory keeps growing; the leak test, which watches resident memory, runs
# apart with the quarantine off.
run_pytest "" --ignore=tests/python/test_leaks.py "$@"
run_pytest quarantine_size_mb=0 tests/python/test_leaks.py

echo "== sanitizer run finished in $((SECONDS - start)) s"
