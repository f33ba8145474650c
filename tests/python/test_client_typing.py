"""plim_link passes mypy --strict, with the message types in its signatures and per-kind results."""
import subprocess
import sys

import pytest

from client_support import ROOT
from test_stubs import CASES, ERROR_LINE, expected_errors, run_mypy


def test_package_is_strictly_typed(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path), "-p", "plim_link"],
        cwd=ROOT / "python", capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("case", ["client_good.py", "client_bad.py"])
def test_queries_are_typed_by_kind(tmp_path, case):
    status, output = run_mypy(tmp_path, CASES / case)
    found = {(int(m["line"]), m["code"]) for m in map(ERROR_LINE.match, output.splitlines()) if m}
    assert found == expected_errors(CASES / case), output
