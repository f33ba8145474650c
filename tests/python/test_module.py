"""What Python sees of the module object, the Link class and PanicException."""
import pathlib
import weakref

import pytest

import plim_ffi
from plim_ffi import Link

METHOD_DOCS = [
    ("send", "($self, message)", "Queues `message` (a JSON-encoded host-to-plim message) to be sent."),
    ("poll_transmit", "($self)",
     "Returns the next raw packet to transmit, JSON-encoded as an array\nof byte values, or `None` if nothing is queued."),
    ("handle_receive", "($self, packet)",
     "Feeds a raw received packet (JSON-encoded as an array of byte\nvalues) into the link."),
    ("poll_receive", "($self)",
     "Returns the next decoded message (a JSON-encoded plim-to-host\nmessage), or `None` if no complete message is ready yet."),
]


def test_module_attributes():
    assert plim_ffi.__name__ == "plim_ffi"
    assert plim_ffi.__doc__ == ""
    assert plim_ffi.__all__ == ["Link"]
    assert type(plim_ffi.__all__) is list
    public = {name for name in vars(plim_ffi) if not name.startswith("_")}
    assert public == {"Link"}
    assert not hasattr(plim_ffi, "PanicException")


def test_installed_as_stable_abi_library():
    assert pathlib.Path(plim_ffi.__file__).name == "plim_ffi.abi3.so"


def test_class_names_and_doc():
    assert (Link.__module__, Link.__name__, Link.__qualname__) == ("plim_ffi", "Link", "Link")
    assert Link.__text_signature__ == "()"
    assert Link.__doc__ == (
        "The C++ <-> JSON link underlying `plim_link.link.PlimClient`.\n\n"
        "Every method takes or returns JSON strings matching plim-api's wire\n"
        "format (see the schemas in plim-ffi/schemas/).")
    assert Link.__bases__ == (object,)


def test_methods_in_definition_order():
    own = [name for name in vars(Link) if not name.startswith("__")]
    assert own == [name for name, _, _ in METHOD_DOCS]


@pytest.mark.parametrize("name, signature, doc", METHOD_DOCS)
def test_method_docstrings(name, signature, doc):
    method = getattr(Link, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_not_subclassable():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (Link,), {})


def test_instances_have_no_dict_and_no_weakref(link):
    with pytest.raises(AttributeError):
        link.extra = 1
    with pytest.raises(AttributeError):
        link.send = None
    assert not hasattr(link, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(link)


def test_class_attributes_can_be_reassigned():
    Link.extra = 5
    try:
        assert Link().extra == 5
    finally:
        del Link.extra
    assert not hasattr(Link, "extra")


def test_new_link_is_empty(link):
    assert link.poll_transmit() is None
    assert link.poll_receive() is None


@pytest.mark.parametrize("method", ["poll_transmit", "poll_receive"])
def test_poll_methods_take_no_arguments(link, method):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(link, method)(1)


def test_dropping_a_loaded_link_is_silent(capfd):
    link = Link()
    for _ in range(3):
        link.send('"Ping"')
    link.handle_receive("[1,1,2,2]")
    del link
    captured = capfd.readouterr()
    assert (captured.out, captured.err) == ("", "")


def panic_exception(hooks):
    with pytest.raises(BaseException) as caught:
        hooks("text")
    return type(caught.value)


def test_panic_exception_class(hooks):
    panic = panic_exception(hooks)
    assert (panic.__module__, panic.__name__, panic.__qualname__) == ("pyo3_runtime", "PanicException", "PanicException")
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == (
        "\nThe exception raised when C++ code called from Python hits an internal fault.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n")
    assert panic_exception(hooks) is panic  # one class per process


def fresh_module(prepare=None):
    """A second module object from the same library, initialised after `prepare`."""
    import importlib.util
    module_spec = importlib.util.spec_from_file_location("plim_ffi", plim_ffi.__file__)
    module = importlib.util.module_from_spec(module_spec)
    if prepare is not None:
        prepare(module)
    module_spec.loader.exec_module(module)
    return module


def test_every_module_object_shares_the_class():
    module = fresh_module()
    assert module is not plim_ffi
    assert module.Link is Link
    assert module.__all__ == ["Link"]


@pytest.mark.parametrize("existing, expected", [(["x"], ["x", "Link"]), (["Link"], ["Link", "Link"])])
def test_existing_all_is_appended_to(existing, expected):
    module = fresh_module(lambda m: setattr(m, "__all__", list(existing)))
    assert module.__all__ == expected


class Names(list):
    pass


def test_all_may_be_a_list_subclass():
    names = Names(["x"])
    module = fresh_module(lambda m: setattr(m, "__all__", names))
    assert module.__all__ is names and names == ["x", "Link"]


@pytest.mark.parametrize("existing, text", [
    (("x",), "'tuple' object is not an instance of 'list'"),
    (None, "'None' is not an instance of 'list'"),
])
def test_all_of_another_type_fails_the_import(existing, text):
    with pytest.raises(TypeError) as caught:
        fresh_module(lambda m: setattr(m, "__all__", existing))
    assert caught.value.args == (text,)
