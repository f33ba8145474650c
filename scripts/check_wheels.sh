#!/usr/bin/env bash
# Tests the wheels that scripts/wheels.sh left in dist/:
#  1. both pass `abi3audit --strict`, `auditwheel show` finds them consistent
#     with a manylinux policy of glibc 2.28 or older, their file names carry
#     that tag, they need no host libstdc++ and export only PyInit_plim_ffi;
#  2. the x86_64 wheel, installed into a fresh venv of every CPython 3.10-3.13
#     found here, passes the module's tests under each (fewer than two: failure),
#     and the whole suite, the client's tests too, on the oldest and the newest;
#  3. the aarch64 wheel passes the module's tests on Debian's arm64 CPython
#     under qemu-user, less the tests named in ARM64_LEFT_OUT and why.
# The client (plim_link) is pure Python, the same code on every interpreter and
# machine: scripts/test.sh runs its tests against a source build, and here they
# run where interpreters differ most, so that CI stays inside its time.
# Extra arguments go to every pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/wheels_env.sh
. scripts/wheels_env.sh
ensure_debian_tools
ensure_tools
ensure_arm64_root

shopt -s nullglob
x86=("$DIST"/plim_ffi-*-manylinux*_x86_64.whl)
arm=("$DIST"/plim_ffi-*-manylinux*_aarch64.whl)
if [ ${#x86[@]} != 1 ] || [ ${#arm[@]} != 1 ]; then
  echo "dist/ must hold one x86_64 and one aarch64 manylinux wheel: run scripts/wheels.sh" >&2
  exit 1
fi

# The test-build wheel check rebuilds from source; the audits below stand for it.
PYTEST=(-q -p no:cacheprovider -m "not slow and not wheel" tests/python "$@")
MODULE_ONLY=(-m "not slow and not wheel and not client")
export PYTHONDONTWRITEBYTECODE=1

audit() {
  local wheel=$1 arch=$2 unpacked=$WORK/unpacked-$2 report show tag
  if ! report=$(abi3audit --strict --summary "$wheel" 2>&1); then
    echo "$report" >&2
    return 1
  fi
  show=$(auditwheel show "$wheel" 2>&1)
  # The first tag named is the policy the wheel is consistent with.
  tag=$(grep -oE '"manylinux_2_[0-9]+_'"$arch"'"' <<<"$show" | head -1 | tr -d '"')
  if [ -z "$tag" ] || [ "$(cut -d_ -f3 <<<"$tag")" -gt 28 ] || grep -q 'libstdc++' <<<"$show"; then
    echo "$show" >&2
    echo "$(basename "$wheel"): not manylinux 2.28 or older without libstdc++" >&2
    return 1
  fi
  [[ $(basename "$wheel") == *"-cp310-abi3-"*"$tag"* ]] || { echo "$(basename "$wheel") is not tagged cp310-abi3 $tag" >&2; return 1; }
  rm -rf "$unpacked"
  python -m zipfile -e "$wheel" "$unpacked"
  local exported
  exported=$(objdump -T "$unpacked/plim_ffi.abi3.so" | awk '$NF != "" && $0 !~ /\*UND\*/ && $2 == "g" {print $NF}')
  [ "$exported" = PyInit_plim_ffi ] || { echo "exports beyond PyInit_plim_ffi: $exported" >&2; return 1; }
  ! grep -q _test_fault "$unpacked/plim_ffi.abi3.so" || { echo "release module has the test switch" >&2; return 1; }
  echo "   $(basename "$wheel"): abi3audit --strict clean; auditwheel: $tag"
}
echo "== audits"
audit "${x86[0]}" x86_64
audit "${arm[0]}" aarch64

# Under emulation: no address-space cap (qemu-user keeps RLIMIT_AS to itself,
# so the memory-exhaustion tests cannot exhaust anything), and no jsonschema
# >= 4.18 (its Rust part has no arm64 build on the index reachable here; the
# schemas are plain files, checked against the x86_64 wheel below).
ARM64_LEFT_OUT=(-k "not memory_exhaustion" --deselect=tests/python/test_schemas.py)
echo "== aarch64 wheel on Debian's arm64 CPython under qemu-user (in the background)"
arm_python=$(arm64_python)
site=$WORK/arm64-site
rm -rf "$site"
platforms=()
for tag in $(basename "${arm[0]}" .whl | cut -d- -f5 | tr . ' '); do platforms+=(--platform "$tag"); done
arm_version=${ARM64_PYTHON#python}
pip install -q --target "$site" --only-binary=:all: --implementation cp \
  --python-version "$arm_version" --abi "cp${arm_version/./}" \
  --platform manylinux_2_36_aarch64 "${platforms[@]}" "${arm[0]}" pytest hypothesis jsonschema mypy
mkdir -p "$WORK/arm64-plugins"
# Emulation is several times slower: example timing is no measure of anything.
printf 'from hypothesis import settings\nsettings.register_profile("emulated", deadline=None)\nsettings.load_profile("emulated")\n' \
  >"$WORK/arm64-plugins/emulated_timing.py"
PYTHONPATH=$site:$WORK/arm64-plugins "$arm_python" -c \
  'import platform, plim_ffi; print("  ", platform.machine(), "CPython", platform.python_version(), plim_ffi.__file__)'
echo "   left out: ${ARM64_LEFT_OUT[*]}"
# One core emulates while the other runs the x86_64 suites.
arm_log=$WORK/arm64-pytest.log
PYTHONPATH=$site:$WORK/arm64-plugins "$arm_python" -m pytest -p emulated_timing "${ARM64_LEFT_OUT[@]}" \
  "${PYTEST[@]}" "${MODULE_ONLY[@]}" >"$arm_log" 2>&1 &
arm_pid=$!

echo "== x86_64 wheel on every CPython 3.10-3.13 here"
ran=()
failed=()
found=()
for minor in 10 11 12 13; do
  python=
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}/versions/3.$minor".*/bin/python3 \
                   /usr/local/bin/python3.$minor /usr/bin/python3.$minor \
                   "$(command -v "python3.$minor" || true)"; do
    if [ -x "$candidate" ] &&
       "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != (3, $minor))" 2>/dev/null; then
      python=$candidate
      break
    fi
  done
  if [ -n "$python" ]; then found+=("$python"); else echo "-- CPython 3.$minor: not on this machine"; fi
done
for python in "${found[@]}"; do
  version=$("$python" -c 'import platform; print(platform.python_version())')
  venv=$WORK/venv-${version%.*}
  rm -rf "$venv"
  "$python" -m venv "$venv"
  if [ "$python" = "${found[0]}" ] || [ "$python" = "${found[-1]}" ]; then
    echo "-- CPython $version ($python): the whole suite"
    "$venv/bin/pip" install -q "${x86[0]}[test]"
    only=()
  else
    echo "-- CPython $version ($python): the module's tests"
    "$venv/bin/pip" install -q "${x86[0]}" pytest hypothesis "jsonschema>=4.18" mypy abi3audit
    only=("${MODULE_ONLY[@]}")
  fi
  if "$venv/bin/python" -m pytest "${PYTEST[@]}" "${only[@]}"; then ran+=("$version"); else failed+=("$version"); fi
done

arm_ok=1
wait "$arm_pid" || arm_ok=
echo "== aarch64 suite under qemu-user"
if [ -n "$arm_ok" ]; then tail -n 1 "$arm_log"; else cat "$arm_log"; fi

echo "== summary"
echo "x86_64 wheel passed on CPython: ${ran[*]:-none}${failed[*]:+; FAILED on: ${failed[*]}}"
echo "aarch64 wheel under qemu-user: $([ -n "$arm_ok" ] && echo passed || echo FAILED)"
[ ${#failed[@]} = 0 ] && [ -n "$arm_ok" ] || exit 1
if [ ${#ran[@]} -lt 2 ]; then
  echo "only ${#ran[@]} CPython version(s) between 3.10 and 3.13 found; the x86_64 wheel needs at least two" >&2
  exit 1
fi
