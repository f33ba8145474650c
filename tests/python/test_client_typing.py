"""plim_link passes mypy --strict, with the message types in its signatures."""
import subprocess
import sys

from client_support import ROOT


def test_package_is_strictly_typed(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path), "-p", "plim_link"],
        cwd=ROOT / "python", capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
