"""Argument binding, argument conversion and the per-object claim."""
import pytest

from plim_ffi import Link, ObjectLink

from conftest import drain

PING = '"Ping"'

BINDING_ERRORS = [
    (lambda l: Link(1), "Link.__new__() takes 0 positional arguments but 1 was given"),
    (lambda l: Link(1, 2), "Link.__new__() takes 0 positional arguments but 2 were given"),
    (lambda l: Link(x=1), "Link.__new__() got an unexpected keyword argument 'x'"),
    (lambda l: Link(1, x=1), "Link.__new__() takes 0 positional arguments but 1 was given"),
    (lambda l: l.send(), "Link.send() missing 1 required positional argument: 'message'"),
    (lambda l: l.send(PING, PING), "Link.send() takes 1 positional arguments but 2 were given"),
    (lambda l: l.send(PING, PING, bogus=1), "Link.send() takes 1 positional arguments but 2 were given"),
    (lambda l: l.send(PING, message=PING), "Link.send() got multiple values for argument 'message'"),
    (lambda l: l.send(packet=PING), "Link.send() got an unexpected keyword argument 'packet'"),
    # An unknown keyword is reported before the missing argument, in dictionary order.
    (lambda l: l.send(bogus=1, message=PING), "Link.send() got an unexpected keyword argument 'bogus'"),
    (lambda l: l.send(message=PING, bogus=1), "Link.send() got an unexpected keyword argument 'bogus'"),
    (lambda l: l.send(**{"\ud800": 1}), "Link.send() got an unexpected keyword argument '\\ud800'"),
    (lambda l: l.handle_receive(), "Link.handle_receive() missing 1 required positional argument: 'packet'"),
    (lambda l: l.handle_receive(data="[]"), "Link.handle_receive() got an unexpected keyword argument 'data'"),
    (lambda l: l.handle_receive("[]", "[]"), "Link.handle_receive() takes 1 positional arguments but 2 were given"),
    (lambda l: l.handle_receive("[]", packet="[]"), "Link.handle_receive() got multiple values for argument 'packet'"),
    # Binding comes first: the type of the value does not matter yet.
    (lambda l: l.send(1, 2), "Link.send() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, text", BINDING_ERRORS)
def test_binding_errors(link, call, text):
    with pytest.raises(TypeError) as caught:
        call(link)
    assert type(caught.value) is TypeError
    assert caught.value.args == (text,)
    assert link.poll_transmit() is None and link.poll_receive() is None


class Text(str):
    pass


class Meta(type):
    pass


NamedByMeta = Meta("Odd.Name", (), {"__qualname__": "Odd.Name"})

CONVERSION_ERRORS = [
    ("send", 5, "argument 'message': 'int' object is not an instance of 'str'"),
    ("send", None, "argument 'message': 'None' is not an instance of 'str'"),
    ("send", b'"Ping"', "argument 'message': 'bytes' object is not an instance of 'str'"),
    ("send", ["Ping"], "argument 'message': 'list' object is not an instance of 'str'"),
    ("send", NamedByMeta(), "argument 'message': 'Odd.Name' object is not an instance of 'str'"),
    ("handle_receive", b"[]", "argument 'packet': 'bytes' object is not an instance of 'str'"),
    ("handle_receive", 1.5, "argument 'packet': 'float' object is not an instance of 'str'"),
    ("handle_receive", Link(), "argument 'packet': 'Link' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("method, value, text", CONVERSION_ERRORS)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_argument_not_a_str(link, method, value, text, by_keyword):
    name = "message" if method == "send" else "packet"
    call = getattr(link, method)
    with pytest.raises(TypeError) as caught:
        call(**{name: value}) if by_keyword else call(value)
    error = caught.value
    assert type(error) is TypeError and error.args == (text,)
    assert error.__cause__ is None and error.__suppress_context__ is True
    assert link.poll_transmit() is None and link.poll_receive() is None


def test_unreadable_type_name(link):
    class Broken(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise KeyError("no name")
            return super().__getattribute__(name)

    value = Broken("X", (), {})()
    with pytest.raises(TypeError) as caught:
        link.send(value)
    assert caught.value.args == ("argument 'message': '<failed to extract type name>' object is not an instance of 'str'",)


@pytest.mark.parametrize("method, text", [("send", "\ud800"), ("handle_receive", "[1,\udfff]")])
def test_lone_surrogate_raises_interpreter_error(link, method, text):
    with pytest.raises(UnicodeEncodeError) as caught:
        getattr(link, method)(text)
    assert caught.value.reason == "surrogates not allowed"
    assert link.poll_transmit() is None and link.poll_receive() is None


def test_str_subclass_accepted(link):
    link.send(Text(PING))
    link.handle_receive(packet=Text("[1,1,2,2,1,1,1,1,0]"))
    assert drain(link.poll_transmit) == ["[1,1,2,2,1,1,1,1,0]"]
    assert drain(link.poll_receive) == [PING]


def test_receiver_must_be_a_link():
    # The interpreter's own receiver check runs before the module is entered.
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        Link.send(5, PING)


def test_claim_reached_through_reentrant_type_name(link):
    inner = []

    class Reentrant(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                try:
                    link.send(PING)
                except RuntimeError as error:
                    inner.append(error)
            return super().__getattribute__(name)

    value = Reentrant("Reentrant", (), {})()
    with pytest.raises(TypeError) as caught:
        link.send(value)
    assert caught.value.args == ("argument 'message': 'Reentrant' object is not an instance of 'str'",)
    assert len(inner) == 1
    assert type(inner[0]) is RuntimeError and inner[0].args == ("Already borrowed",)
    # The inner call queued nothing, and the claim was released.
    assert link.poll_transmit() is None
    link.send(PING)
    assert drain(link.poll_transmit) == ["[1,1,2,2,1,1,1,1,0]"]


def test_claim_is_per_object(link):
    other = Link()
    seen = []

    class Reentrant(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                other.send(PING)  # a different Link is free
                seen.append(other.poll_transmit())
            return super().__getattribute__(name)

    with pytest.raises(TypeError):
        link.handle_receive(Reentrant("R", (), {})())
    assert seen == ["[1,1,2,2,1,1,1,1,0]"]


class RaisingRepr(str):
    def __repr__(self):
        raise KeyError("no repr")


class SurrogateRepr(str):
    def __repr__(self):
        return "\udc80"


@pytest.mark.parametrize("cls", [Link, ObjectLink])
@pytest.mark.parametrize("key_type", [RaisingRepr, SurrogateRepr])
def test_keyword_names_never_run_their_own_repr(cls, key_type):
    link = cls()
    with pytest.raises(TypeError) as caught:
        link.send(**{key_type("\ud800"): 1})
    assert caught.value.args == (f"{cls.__name__}.send() got an unexpected keyword argument '\\ud800'",)


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("cls, method", [(Link, "send"), (Link, "handle_receive"), (ObjectLink, "handle_receive")])
def test_interrupt_while_reading_a_type_name_propagates(cls, method, interrupt):
    class Interrupting(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise interrupt()
            return super().__getattribute__(name)

    link = cls()
    with pytest.raises(interrupt):
        getattr(link, method)(Interrupting("X", (), {})())
    assert link.poll_transmit() is None and link.poll_receive() is None
