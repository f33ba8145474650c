#!/usr/bin/env bash
# Builds the release artefacts into dist/: the sdist, then from that sdist (so
# it is known to be complete) one x86_64 and one aarch64 abi3 wheel with the C++
# runtime linked in, each retagged by auditwheel with the oldest manylinux
# policy it meets. Installs what it needs on first use (see wheels_env.sh).
# scripts/check_wheels.sh tests what this leaves in dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/wheels_env.sh
. scripts/wheels_env.sh

ensure_debian_tools
ensure_tools
ensure_arm64_root

rm -f "$DIST"/plim_ffi-*
rm -rf "$WORK/raw" "$WORK/sdist-src"

echo "== sdist"
python -m build --sdist --no-isolation --outdir "$DIST" . >"$WORK/sdist.log"
sdist=$(ls "$DIST"/plim_ffi-*.tar.gz)
mkdir -p "$WORK/sdist-src"
tar -xzf "$sdist" -C "$WORK/sdist-src"
src=$(ls -d "$WORK/sdist-src"/plim_ffi-*)

build_wheel() {  # arch, then extra pip options
  local arch=$1
  shift
  echo "== $arch wheel"
  # The sources were unpacked anew, so nothing in an old build tree is current.
  rm -rf "$WORK/build-$arch"
  pip wheel "$src" --no-deps --no-build-isolation --no-index -q -w "$WORK/raw/$arch" \
    -C build-dir="$WORK/build-$arch" -C cmake.define.PLIM_STATIC_RUNTIME=ON "$@"
  local log=$WORK/repair-$arch.log
  if ! auditwheel repair -w "$DIST" "$WORK/raw/$arch"/plim_ffi-*.whl >"$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
  sed -n 's/^Fixed-up wheel written to /   /p' "$log"
}

build_wheel x86_64
# scikit-build-core takes the wheel's platform from the target interpreter's
# sysconfig, which this variable stands in for when cross-compiling.
_PYTHON_HOST_PLATFORM=linux-aarch64 build_wheel aarch64 \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake" \
  -C cmake.define.PLIM_TARGET_ROOT="$ARM64_ROOT"

echo "== dist/"
ls -1 "$DIST"
