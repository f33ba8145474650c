"""The release wheel: built without the test switch, every interpreter symbol
it uses lies inside the 3.10 stable ABI, and it asks the host for nothing a
glibc 2.28 system lacks (the C++ runtime is built in)."""
import importlib.util
import pathlib
import re
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
               "-C", f"build-dir={pathlib.Path(sys.prefix) / 'skbuild-release-wheel'}",
               "-C", "cmake.define.PLIM_STATIC_RUNTIME=ON"]
    if importlib.util.find_spec("scikit_build_core") is not None:
        command.append("--no-build-isolation")
    subprocess.run(command, check=True, timeout=900)
    wheel = next(tmp_path.glob("plim_ffi-*.whl"))
    assert "-cp310-abi3-" in wheel.name

    with zipfile.ZipFile(wheel) as archive:
        libraries = [name for name in archive.namelist() if name.endswith(".so")]
        assert libraries == ["plim_ffi.abi3.so"]
        assert b"_test_fault" not in archive.read(libraries[0])
        module = pathlib.Path(archive.extract(libraries[0], tmp_path / "unpacked"))

    headers = subprocess.run(["objdump", "-p", module], capture_output=True, text=True, check=True).stdout
    needed = set(re.findall(r"NEEDED\s+(\S+)", headers))
    assert needed <= {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
    versions = re.findall(r"^\s+0x[0-9a-f]+ 0x[0-9a-f]+ \d+ (\S+)$", headers, re.M)
    too_new = [v for v in versions
               if not (re.fullmatch(r"GCC_[\d.]+", v)
                       or ((m := re.fullmatch(r"GLIBC_2\.(\d+)(\.\d+)?", v)) and int(m[1]) <= 28))]
    assert versions and too_new == []
    symbols = subprocess.run(["objdump", "-T", module], capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in symbols.splitlines() if " g " in line and "*UND*" not in line]
    assert exported == ["PyInit_plim_ffi"]

    audit = subprocess.run([sys.executable, "-m", "abi3audit", "--strict", "--verbose", str(wheel)],
                           capture_output=True, text=True, timeout=300)
    assert audit.returncode == 0, audit.stdout + audit.stderr
