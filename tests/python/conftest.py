import pytest

import plim_ffi


def pytest_configure(config):
    config.addinivalue_line("markers", "wheel: builds the release wheel (part of the default run)")


@pytest.fixture
def link():
    return plim_ffi.Link()


@pytest.fixture
def hooks():
    fault = getattr(plim_ffi, "_test_fault", None)
    if fault is None:
        pytest.skip("module built without PLIM_FFI_TEST_HOOKS")
    return fault


def drain(poll):
    """Every result of `poll` up to the first None."""
    results = []
    while (result := poll()) is not None:
        results.append(result)
    return results


class Key(str):
    """A str subclass equal to no other key, so a dict can hold its text twice."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other
