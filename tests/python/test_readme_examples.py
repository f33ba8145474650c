"""Every Python example in the README runs as printed, against the simulated plim."""
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
    assert len(BLOCKS) == 6  # the quick-start demo is run by test_client_demo.py


@pytest.mark.parametrize("block", BLOCKS, ids=[block.splitlines()[-1][:40] for block in BLOCKS])
def test_example_runs(block):
    source = (TRANSPORT if "transport." in block else "") + block
    run = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout and "Traceback" not in run.stderr
