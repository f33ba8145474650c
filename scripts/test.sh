#!/usr/bin/env bash
# Installs everything the tests need, then runs the C++ unit tests and the
# whole Python suite against the installed module. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest (libgtest-dev)"
  if [ "$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libgtest-dev >/dev/null
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== C++ core: build and unit tests"
cmake -S . -B build/cpp "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DPLIM_BUILD_MODULE=OFF -DPLIM_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp -j2
ctest --test-dir build/cpp --output-on-failure -j2

echo "== Python module: install into build/venv and run pytest"
python3 -m venv build/venv
# shellcheck disable=SC1091
. build/venv/bin/activate
python -m pip install -q --disable-pip-version-check ".[test]" \
  -C cmake.define.PLIM_FFI_TEST_HOOKS=ON -C build-dir=build/skbuild-test
python -m pytest -q "$@"
