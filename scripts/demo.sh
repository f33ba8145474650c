#!/usr/bin/env bash
# Installs the module into build/venv-demo, runs the end-to-end demo, then drives
# the simulated plim over loopback UDP for three seconds with plim_link.PlimClient.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv build/venv-demo
# shellcheck disable=SC1091
. build/venv-demo/bin/activate
python -m pip install -q --disable-pip-version-check . -C build-dir=build/skbuild-demo
python examples/demo.py
echo
python examples/sim_demo.py
