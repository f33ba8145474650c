"""Every Python example in the README runs as printed, against the simulated plim."""
import contextlib
import re
import subprocess
import sys

import pytest

from client_support import ROOT

README = (ROOT / "README.md").read_text()
DEMO = (ROOT / "examples" / "sim_demo.py").read_text().split('"""\n', 1)[1].lstrip()
BLOCKS = [block for block in re.findall(r"^```python\n(.*?)^```$", README, re.M | re.S) if block != DEMO]

# The module's examples move packets through a `transport` of the reader's own; here it hands back
# one DriveBaseState frame, as a plim would.
TRANSPORT = """
from plim_sim import encode_device_message, encode_frame
class Transport:
    def send(self, packet): assert isinstance(packet, bytes) and packet.endswith(b"\\0")
    def recv(self):
        wheel = {"effort_percent": 1.0, "velocity_rad_per_s": 2.0, "position_rad": 3.0}
        return encode_frame(encode_device_message({"DriveBaseState": {"left": wheel, "right": wheel}}))
transport = Transport()
"""


def test_examples_were_found():
    assert len(BLOCKS) == 8  # the quick-start demo is run by test_client_demo.py


@pytest.mark.parametrize("block", BLOCKS, ids=[block.splitlines()[-1][:40] for block in BLOCKS])
def test_example_runs(block, tmp_path):
    source = (TRANSPORT if "transport." in block else "") + block
    # In a folder of its own: the files an example writes stay out of the source tree.
    with bus_for(source) as source:
        run = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60,
                             cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout and "Traceback" not in run.stderr


@contextlib.contextmanager
def bus_for(source):
    """The fleet's examples talk to a bridge serving a simulated plim a1: one on a free endpoint."""
    if "plim_link.fleet" not in source:
        yield source
        return
    pytest.importorskip("zenoh")
    from fleet_support import free_tcp_endpoint, spawn_bridge, stop_bridge
    endpoint = free_tcp_endpoint()
    bridge = spawn_bridge("a1=sim://", "--listen", endpoint)
    try:
        yield source.replace("tcp/127.0.0.1:7447", endpoint)
    finally:
        stop_bridge(bridge)
