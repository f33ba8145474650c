"""The release wheel: built without the test switch, and every interpreter
symbol it uses lies inside the 3.10 stable ABI."""
import importlib.util
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.wheel
def test_release_wheel_is_stable_abi_clean(tmp_path):
    command = [sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-deps", "-q",
               "--disable-pip-version-check", "-w", str(tmp_path),
               # Incremental across runs of one environment; never shared with the hooked build.
               "-C", f"build-dir={pathlib.Path(sys.prefix) / 'skbuild-release-wheel'}"]
    if importlib.util.find_spec("scikit_build_core") is not None:
        command.append("--no-build-isolation")
    subprocess.run(command, check=True, timeout=900)
    wheel = next(tmp_path.glob("plim_ffi-*.whl"))
    assert "-cp310-abi3-" in wheel.name

    with zipfile.ZipFile(wheel) as archive:
        libraries = [name for name in archive.namelist() if name.endswith(".so")]
        assert libraries == ["plim_ffi.abi3.so"]
        assert b"_test_fault" not in archive.read(libraries[0])

    audit = subprocess.run([sys.executable, "-m", "abi3audit", "--strict", "--verbose", str(wheel)],
                           capture_output=True, text=True, timeout=300)
    assert audit.returncode == 0, audit.stdout + audit.stderr
