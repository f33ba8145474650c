"""The committed corpus of fuzz/fuzz_objects.py, replayed through its checks
(ObjectLink against Link and json, both ways) with the installed module."""
import importlib.util
import pathlib

import plim_ffi

FUZZ = pathlib.Path(__file__).parents[2] / "fuzz"


def test_corpus_replays_clean():
    found = importlib.util.spec_from_file_location("fuzz_objects", FUZZ / "fuzz_objects.py")
    harness = importlib.util.module_from_spec(found)
    found.loader.exec_module(harness)
    inputs = sorted((FUZZ / "corpus" / "fuzz_objects").iterdir())
    assert len(inputs) > 100
    for path in inputs:
        harness.check(plim_ffi, path.read_bytes())
