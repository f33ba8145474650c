"""Memory exhaustion anywhere in a call of either link class: the call raises
MemoryError and leaves the link as it was (or finishes as it would have), and
the process never aborts."""
import pathlib
import subprocess
import sys


def test_every_allocation_failure_gives_memory_error_and_an_unchanged_link():
    here = pathlib.Path(__file__).parent
    result = subprocess.run([sys.executable, str(here / "nomemory_child.py")], capture_output=True, text=True,
                            timeout=300, cwd=here)
    assert result.returncode == 0, result.stderr[-3000:]
    *faults, summary = result.stdout.splitlines()
    assert faults == []
    assert summary.startswith("checked ")
