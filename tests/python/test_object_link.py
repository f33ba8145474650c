"""ObjectLink's own edges: the buffers it takes and refuses, frames cut by
overflow at exact positions, binding texts and the claim."""
import array
import json

import pytest

import cases
from plim_ffi import ObjectLink

from conftest import drain

PING = bytes(json.loads(cases.PING_PACKET))
PONG = bytes([1, 1, 2, 2, 1, 1, 2, 1, 0])


class Meta(type):
    pass


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, type("Bytes", (bytes,), {}),
                                  lambda b: array.array("B", b), lambda b: memoryview(b"\xff" + b)[1:],
                                  lambda b: memoryview(bytes(x for p in b for x in (p, 7)))[::2]])
def test_buffer_objects_give_their_bytes(make):
    link = ObjectLink()
    link.handle_receive(packet=make(PING[:4]))
    assert link.poll_receive() is None
    link.handle_receive(make(PING[4:]))
    assert drain(link.poll_receive) == ["Ping"]


@pytest.mark.parametrize("name, value", [
    ("str", "Ping"), ("int", 5), ("list", list(PING)), ("NoneType", None), ("generator", (b for b in PING)),
    ("Odd.Name", Meta("Odd.Name", (), {"__qualname__": "Odd.Name"})())])
def test_objects_that_are_not_buffers_are_refused(name, value):
    link = ObjectLink()
    link.handle_receive(PING[:3])
    with pytest.raises(TypeError) as caught:
        link.handle_receive(value)
    assert caught.value.args == (f"argument 'packet': a bytes-like object is required, not '{name}'",)
    link.handle_receive(PING[3:])
    assert drain(link.poll_receive) == ["Ping"]


@pytest.mark.parametrize("call, text", [
    (lambda l: ObjectLink(1), "ObjectLink.__new__() takes 0 positional arguments but 1 was given"),
    (lambda l: l.send(), "ObjectLink.send() missing 1 required positional argument: 'message'"),
    (lambda l: l.send("Ping", message="Ping"), "ObjectLink.send() got multiple values for argument 'message'"),
    (lambda l: l.handle_receive(data=b""), "ObjectLink.handle_receive() got an unexpected keyword argument 'data'"),
])
def test_binding_errors(call, text):
    link = ObjectLink()
    with pytest.raises(TypeError) as caught:
        call(link)
    assert caught.value.args == (text,)
    assert link.poll_transmit() is None and link.poll_receive() is None


def poll_all(link):
    got = []
    while True:
        try:
            if (message := link.poll_receive()) is None:
                return got
            got.append(message)
        except ValueError as error:
            got.append(error.args[0])


SCAN_555 = cases.wire(b"\x02" + cases.varint(555) + bytes.fromhex("0f0000c03f00007a44") * 555)
DATAGRAM_64K = PONG * 7281 + PING


def overflow(n):
    return f"plim-api error: receive buffer overflow: {n} bytes dropped before this frame"


@pytest.mark.parametrize("packets, poll_each, expected", [
    # A 555-point Scan in 1400-byte packets, polled after each.
    ([SCAN_555[i:i + 1400] for i in range(0, len(SCAN_555), 1400)] + [PING], True, [overflow(6), "Ping"]),
    # One 64 kB datagram: its last 5000 bytes remain, starting inside a Pong.
    ([DATAGRAM_64K], True, [overflow(len(DATAGRAM_64K) - 5000)] + ["Pong"] * 554 + ["Ping"]),
    # The drop ends exactly at a delimiter: the next frame is whole.
    ([PONG * 554 + b"\x01\x01\x01\x01\x00", PONG, PING], False,
     ["Pong"] * 553 + ["plim-api error: Message frame too short to contain a version header", "Pong", "Ping"]),
    # Drops add up until the cut frame is taken, and are counted afresh after it.
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


BROKEN = b"\x03\x11\x00"  # a code byte that runs past the delimiter


@pytest.mark.parametrize("packets, expected, skipped", [
    ([BROKEN * 3 + PING], ["Ping"], 3),
    ([BROKEN, PING, BROKEN, BROKEN], ["Ping"], 3),
    # Broken frames are counted when a poll passes over them, not when they arrive.
    ([BROKEN + PING[:5]], [], 1),
    # An empty frame is too short, not broken; a frame cut by overflow is reported, not skipped.
    ([b"\x00", b"\x01" * 5001, PONG, BROKEN], ["plim-api error: Message frame too short to contain a version header",
                                               overflow(10)], 1),
])
def test_skipped_frames_counts_frames_passed_over_for_broken_cobs(packets, expected, skipped):
    link = ObjectLink()
    assert link.skipped_frames == 0
    got = []
    for packet in packets:
        link.handle_receive(packet)
        got += poll_all(link)
    assert got == expected
    assert link.skipped_frames == skipped
