"""What Python sees of the module object, the two link classes and PanicException."""
import importlib.metadata
import pathlib
import weakref

import pytest

import plim_ffi
from plim_ffi import Link, ObjectLink

METHOD_DOCS = [
    ("send", "($self, message)", "Queues `message` (a JSON-encoded host-to-plim message) to be sent."),
    ("poll_transmit", "($self)",
     "Returns the next raw packet to transmit, JSON-encoded as an array\nof byte values, or `None` if nothing is queued."),
    ("handle_receive", "($self, packet)",
     "Feeds a raw received packet (JSON-encoded as an array of byte\nvalues) into the link."),
    ("poll_receive", "($self)",
     "Returns the next decoded message (a JSON-encoded plim-to-host\nmessage), or `None` if no complete message is ready yet."),
]
OBJECT_METHOD_DOCS = [
    ("send", "($self, message)",
     "Queues `message` (a host-to-plim message as the value `json.loads`\ngives for its JSON form) to be sent."),
    ("poll_transmit", "($self)", "Returns the next raw packet to transmit as `bytes`, or `None` if\nnothing is queued."),
    ("handle_receive", "($self, packet)",
     "Feeds a raw received packet (`bytes`, `bytearray` or another\nbytes-like object) into the link."),
    ("poll_receive", "($self)",
     "Returns the next decoded message (a plim-to-host message as the value\n`json.loads` gives for its JSON form), "
     "or `None` if no complete message\nis ready yet."),
]
SKIPPED_FRAMES_DOC = ("The number of received frames passed over because their COBS encoding\n"
                      "is broken, since the link was made.")
CLASSES = [
    (Link, METHOD_DOCS,
     "The C++ <-> JSON link underlying `plim_link.link.PlimClient`.\n\n"
     "Every method takes or returns JSON strings matching plim-api's wire\n"
     "format (see the schemas in plim-ffi/schemas/)."),
    (ObjectLink, OBJECT_METHOD_DOCS,
     "The link of `Link`, taking and giving Python values instead of JSON text.\n\n"
     "Messages are the values `json.loads` gives for plim-api's JSON forms\n"
     "(see the schemas in plim-ffi/schemas/); packets are `bytes`."),
]
BOTH = pytest.mark.parametrize("cls", [Link, ObjectLink], ids=["Link", "ObjectLink"])


def test_module_attributes():
    assert plim_ffi.__name__ == "plim_ffi"
    assert plim_ffi.__doc__ == ""
    assert plim_ffi.__version__ == importlib.metadata.version("plim_ffi")
    assert plim_ffi.__all__ == ["Link", "ObjectLink"]
    assert type(plim_ffi.__all__) is list
    public = {name for name in vars(plim_ffi) if not name.startswith("_")}
    assert public == {"Link", "ObjectLink"}
    assert not hasattr(plim_ffi, "PanicException")


def test_installed_as_stable_abi_library():
    assert pathlib.Path(plim_ffi.__file__).name == "plim_ffi.abi3.so"


@pytest.mark.parametrize("cls, methods, doc", CLASSES)
def test_class_names_docs_and_methods(cls, methods, doc):
    name = cls.__name__
    assert (cls.__module__, cls.__qualname__) == ("plim_ffi", name)
    assert cls.__text_signature__ == "()"
    assert cls.__doc__ == doc
    assert cls.__bases__ == (object,)
    own = [name for name in vars(cls) if not name.startswith("__")]
    properties = ["skipped_frames"] if cls is ObjectLink else []
    assert own == [name for name, _, _ in methods] + properties
    for method_name, signature, method_doc in methods:
        method = getattr(cls, method_name)
        assert (method.__text_signature__, method.__doc__) == (signature, method_doc)
    if properties:
        assert cls.skipped_frames.__doc__ == SKIPPED_FRAMES_DOC


def test_skipped_frames_is_a_read_only_int():
    link = ObjectLink()
    assert type(link.skipped_frames) is int and link.skipped_frames == 0
    with pytest.raises(AttributeError):
        link.skipped_frames = 5
    with pytest.raises(AttributeError):
        del link.skipped_frames


@BOTH
def test_not_subclassable(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@BOTH
def test_instances_have_no_dict_and_no_weakref(cls):
    link = cls()
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


@BOTH
def test_new_link_is_empty(cls):
    link = cls()
    assert link.poll_transmit() is None
    assert link.poll_receive() is None


@BOTH
@pytest.mark.parametrize("method", ["poll_transmit", "poll_receive"])
def test_poll_methods_take_no_arguments(cls, method):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(cls(), method)(1)


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
    assert panic_exception(hooks) is panic  # one class per module object


def fresh_module(prepare=None):
    """A second module object from the same library, initialised after `prepare`."""
    import importlib.util
    module_spec = importlib.util.spec_from_file_location("plim_ffi", plim_ffi.__file__)
    module = importlib.util.module_from_spec(module_spec)
    if prepare is not None:
        prepare(module)
    module_spec.loader.exec_module(module)
    return module


def test_every_module_object_has_classes_of_its_own():
    module = fresh_module()
    assert module is not plim_ffi
    assert module.Link is not Link and module.ObjectLink is not ObjectLink
    assert module.__all__ == ["Link", "ObjectLink"]
    # The classes of one module object refuse the links of another.
    with pytest.raises(TypeError, match="'poll_transmit' for 'plim_ffi.Link' objects doesn't apply"):
        module.Link.poll_transmit(Link())
    link = module.Link()
    link.send('"Ping"')
    assert link.poll_transmit() == "[1,1,2,2,1,1,1,1,0]"
    del module
    assert link.poll_transmit() is None  # the class keeps its module's state alive


@pytest.mark.parametrize("existing, expected", [(["x"], ["x", "Link", "ObjectLink"]),
                                                (["Link"], ["Link", "Link", "ObjectLink"])])
def test_existing_all_is_appended_to(existing, expected):
    module = fresh_module(lambda m: setattr(m, "__all__", list(existing)))
    assert module.__all__ == expected


class Names(list):
    pass


def test_all_may_be_a_list_subclass():
    names = Names(["x"])
    module = fresh_module(lambda m: setattr(m, "__all__", names))
    assert module.__all__ is names and names == ["x", "Link", "ObjectLink"]


@pytest.mark.parametrize("existing, text", [
    (("x",), "'tuple' object is not an instance of 'list'"),
    (None, "'None' is not an instance of 'list'"),
])
def test_all_of_another_type_fails_the_import(existing, text):
    with pytest.raises(TypeError) as caught:
        fresh_module(lambda m: setattr(m, "__all__", existing))
    assert caught.value.args == (text,)
