"""The shipped stubs, as a type checker finds them next to the installed module."""
import ast
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

CASES = Path(__file__).parent / "typing_cases"
ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


def run_mypy(tmp_path, source):
    # A copy outside the source tree, and no MYPYPATH: mypy must find plim_ffi-stubs in site-packages.
    target = tmp_path / source.name
    target.write_text(source.read_text())
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
         "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), target.name],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    return result.returncode, result.stdout + result.stderr


def expected_errors(source):
    return {(number, code)
            for number, text in enumerate(source.read_text().splitlines(), start=1)
            for code in re.findall(r"# E: ([a-z-]+)", text)}


def test_typed_usage_passes(tmp_path):
    status, output = run_mypy(tmp_path, CASES / "good_usage.py")
    assert (status, output) == (0, "")


def test_wrong_usage_fails_exactly_where_marked(tmp_path):
    status, output = run_mypy(tmp_path, CASES / "bad_usage.py")
    found = {(int(m["line"]), m["code"]) for m in map(ERROR_LINE.match, output.splitlines()) if m}
    assert status == 1
    assert found == expected_errors(CASES / "bad_usage.py"), output


def test_stubs_import_nothing_above_the_module():
    # The client package sits on top of the module; the module's types must not lean on it.
    stubs = Path(__file__).parents[2] / "python" / "plim_ffi-stubs"
    imported = {node.module for path in stubs.glob("*.pyi") for node in ast.walk(ast.parse(path.read_text()))
                if isinstance(node, ast.ImportFrom)}
    assert imported == {"typing", "_typeshed", "_messages"}


@pytest.mark.parametrize("class_name", ["Link", "ObjectLink"])
def test_stub_names_and_docstrings_match_the_module(class_name):
    plim_ffi = pytest.importorskip("plim_ffi")
    stub = Path(plim_ffi.__file__).parent / "plim_ffi-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    stub_all = next(node.value for node in tree.body if isinstance(node, ast.Assign)
                    and [t.id for t in node.targets] == ["__all__"])
    assert ast.literal_eval(stub_all) == plim_ffi.__all__
    cls = getattr(plim_ffi, class_name)
    node = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == class_name)
    assert ast.get_docstring(node) == inspect.cleandoc(cls.__doc__)
    methods = {node.name: node for node in node.body if isinstance(node, ast.FunctionDef)}
    assert [name for name in methods if not name.startswith("__")] == [n for n in vars(cls) if not n.startswith("__")]
    for name in ("send", "poll_transmit", "handle_receive", "poll_receive"):
        runtime = getattr(cls, name)
        params = ["self", *(a.arg for a in methods[name].args.args[1:])]
        assert runtime.__text_signature__ == f"(${', '.join(params)})"
        assert ast.get_docstring(methods[name]) == inspect.cleandoc(runtime.__doc__)
