import pytest

import plim_ffi


# The pure-Python client, its tools and the plim command: the same code on every interpreter, unlike
# the compiled module, so the wheel checks run them on the oldest and newest CPython only.
CLIENT_FILES = ("test_aio", "test_cli", "test_client", "test_fleet", "test_mcap", "test_message_text",
                "test_readme_examples", "test_recording")


def pytest_configure(config):
    config.addinivalue_line("markers", "wheel: builds the release wheel (part of the default run)")
    config.addinivalue_line("markers", "client: a test of plim_link, its tools or the plim command")


def pytest_collection_modifyitems(config, items):
    for item in items:
        if item.path.name.startswith(CLIENT_FILES):
            item.add_marker(pytest.mark.client)


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
