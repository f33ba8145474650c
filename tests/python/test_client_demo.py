"""The README's quick-start program drives the simulated plim and prints what it reported."""
import re
import subprocess
import sys

from client_support import ROOT


def test_quick_start_program():
    source = (ROOT / "examples" / "sim_demo.py").read_text()
    readme = (ROOT / "README.md").read_text()
    shown = readme[readme.index("```python\n", readme.index("## Quick start")) + 10:]
    assert source.split('"""\n', 1)[1].lstrip() == shown[:shown.index("```")]  # the README shows the program as it is
    assert len([line for line in source.splitlines() if line.strip()]) <= 14
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "sim_demo.py")], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert re.match(r"ping: \d+\.\d\d ms\n", run.stdout) and "bad frames: 0" in run.stdout
    wheels = dict(re.findall(r"^  (left|right) +effort_percent=\S+  velocity_rad_per_s=(\S+)", run.stdout, re.M))
    assert float(wheels["left"]) > 3.0 and float(wheels["right"]) < -3.0  # spinning right at the end
    assert "  uid                            SIM-0001" in run.stdout and "@" in run.stdout.split("last sweep")[1]
