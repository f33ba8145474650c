"""ObjectLink's own edges: the argument types it takes and refuses, the two
deliberate differences from Link at exact positions, binding texts and the claim."""
import array
import json

import pytest

import cases
from plim_ffi import Link, ObjectLink

from conftest import drain

PING = bytes(json.loads(cases.PING_PACKET))
PONG = bytes([1, 1, 2, 2, 1, 1, 2, 1, 0])
BROKEN = bytes([3, 0x11, 0])  # a block claiming more bytes than its frame has


def overflow(n):
    return f"plim-api error: receive buffer overflow: {n} bytes dropped before this frame"


def test_worked_examples():
    link = ObjectLink()
    link.send({"SetDriveBaseVelocity": [1.5, -1.5]})
    link.send(message={"SetUid": {"uid": "A1"}})
    assert drain(link.poll_transmit) == [bytes([1, 1, 2, 2, 1, 1, 2, 5, 1, 3, 192, 63, 1, 3, 192, 191, 0]),
                                         bytes([1, 1, 2, 2, 1, 1, 5, 4, 2, 65, 49, 0])]
    link.handle_receive(cases.SCAN_WIRE)
    assert drain(link.poll_receive) == [{"Scan": [{"quality": 15, "angle_rad": 1.5, "distance_mm": 1000.0}]}]


class Bytes(bytes):
    pass


ACCEPTED = [bytes, bytearray, memoryview, Bytes, lambda b: array.array("B", b),
            lambda b: memoryview(b"\xff" + b)[1:], lambda b: memoryview(bytes(x for p in b for x in (p, 7)))[::2]]


@pytest.mark.parametrize("make", ACCEPTED)
def test_buffer_objects_give_their_bytes(make):
    link = ObjectLink()
    link.handle_receive(packet=make(PING[:4]))
    assert link.poll_receive() is None
    link.handle_receive(make(PING[4:]))
    assert drain(link.poll_receive) == ["Ping"]


class Meta(type):
    pass


REFUSED = [("'str'", "Ping"), ("'int'", 5), ("'list'", list(PING)), ("'NoneType'", None),
           ("'generator'", (b for b in PING)), ("'Odd.Name'", Meta("Odd.Name", (), {"__qualname__": "Odd.Name"})())]


@pytest.mark.parametrize("name, value", REFUSED)
def test_objects_that_are_not_buffers_are_refused(name, value):
    link = ObjectLink()
    link.handle_receive(PING[:3])
    with pytest.raises(TypeError) as caught:
        link.handle_receive(value)
    assert type(caught.value) is TypeError
    assert caught.value.args == (f"argument 'packet': a bytes-like object is required, not {name}",)
    link.handle_receive(PING[3:])
    assert drain(link.poll_receive) == ["Ping"]


BINDING_ERRORS = [
    (lambda l: ObjectLink(1), "ObjectLink.__new__() takes 0 positional arguments but 1 was given"),
    (lambda l: l.send(), "ObjectLink.send() missing 1 required positional argument: 'message'"),
    (lambda l: l.send("Ping", message="Ping"), "ObjectLink.send() got multiple values for argument 'message'"),
    (lambda l: l.handle_receive(data=b""), "ObjectLink.handle_receive() got an unexpected keyword argument 'data'"),
    (lambda l: l.handle_receive(b"", b""), "ObjectLink.handle_receive() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, text", BINDING_ERRORS)
def test_binding_errors(call, text):
    link = ObjectLink()
    with pytest.raises(TypeError) as caught:
        call(link)
    assert caught.value.args == (text,)
    assert link.poll_transmit() is None and link.poll_receive() is None


def test_receiver_must_be_an_object_link():
    with pytest.raises(TypeError):
        ObjectLink.poll_receive(Link())


# Bytes queued ahead of the frame of interest, and what each class makes of
# them: Link stops at each broken frame; ObjectLink goes on.
@pytest.mark.parametrize("stream, from_link, from_object_link", [
    (BROKEN + PING, [None, '"Ping"', None], ["Ping"]),
    (BROKEN * 3 + PONG + BROKEN, [None, None, None, '"Pong"', None, None], ["Pong"]),
    (BROKEN + PING[:5], [None, None], []),
])
def test_broken_frames_are_skipped_within_one_poll(stream, from_link, from_object_link):
    link, object_link = Link(), ObjectLink()
    link.handle_receive(json.dumps(list(stream)))
    object_link.handle_receive(stream)
    assert [link.poll_receive() for _ in from_link] == from_link
    assert drain(object_link.poll_receive) == from_object_link
    object_link.handle_receive(PING[5:] if stream.endswith(PING[:5]) else b"")
    assert drain(object_link.poll_receive) == (["Ping"] if stream.endswith(PING[:5]) else [])


def scan_wire(points):
    return cases.wire(b"\x02" + cases.varint(points) + bytes.fromhex("0f0000c03f00007a44") * points)


SCAN_555 = scan_wire(555)
DATAGRAM_64K = PONG * 7281 + PING
TOO_SHORT = "plim-api error: Message frame too short to contain a version header"


def poll_all(link):
    got = []
    while True:
        try:
            if (message := link.poll_receive()) is None:
                return got
            got.append(message)
        except ValueError as error:
            got.append(error.args[0])


@pytest.mark.parametrize("packets, poll_each, expected", [
    # The example: a 555-point Scan in 1400-byte packets, polled after each.
    ([SCAN_555[i:i + 1400] for i in range(0, len(SCAN_555), 1400)] + [PING], True,
     [overflow(len(SCAN_555) - 5000), "Ping"]),
    # One 64 kB datagram: its last 5000 bytes remain, starting inside a Pong.
    ([DATAGRAM_64K], True, [overflow(len(DATAGRAM_64K) - 5000)] + ["Pong"] * 554 + ["Ping"]),
    # The drop ends exactly at a delimiter: the next frame is whole.
    ([PONG * 554 + b"\x01\x01\x01\x01\x00", PONG, PING], False, ["Pong"] * 553 + [TOO_SHORT, "Pong", "Ping"]),
    # Drops add up until the cut frame is taken, and are counted afresh after it.
    ([b"\x01" * 4999, b"\x01" * 3, b"\x01\x01" + PONG, PING, PONG], False, [overflow(31), "Ping", "Pong"]),
    ([b"\x01" * 4999, b"\x01" * 3, b"\x01\x01" + PONG, PING, b"\x01" * 5001, PING], True,
     [overflow(13), "Ping", overflow(10)]),
])
def test_frame_cut_by_overflow_is_reported(packets, poll_each, expected):
    link = ObjectLink()
    got = []
    for packet in packets:
        link.handle_receive(packet)
        if poll_each:
            got += poll_all(link)
    assert got + poll_all(link) == expected


def test_link_keeps_its_designed_overflow_behaviour():
    link = Link()
    for i in range(0, 5008, 1400):
        link.handle_receive(json.dumps(list(scan_wire(555)[i:i + 1400])))
    with pytest.raises(ValueError, match="plim-api version mismatch"):
        link.poll_receive()


def test_claim_reached_through_reentrant_type_name():
    link = ObjectLink()
    inner = []

    class Reentrant(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                for call in (lambda: link.send("Ping"), link.poll_transmit, link.poll_receive,
                             lambda: link.handle_receive(PING)):
                    try:
                        call()
                    except RuntimeError as error:
                        inner.append(error.args)
            return super().__getattribute__(name)

    with pytest.raises(TypeError):
        link.handle_receive(Reentrant("R", (), {})())
    assert inner == [("Already borrowed",)] * 4
    assert link.poll_transmit() is None and link.poll_receive() is None
