"""Every method, valid and refused, 200,000 times: no memory and no reference
to an argument may stay behind."""
import gc
import os
import sys
import tracemalloc

import pytest

import json

from plim_ffi import Link, ObjectLink

from cases import DEVICE_FRAMES

ROUNDS = 200_000
VELOCITY = '{"SetDriveBaseVelocity":[1.5,-1.5]}'
BAD_JSON = '{"SetUid":{"uid":5}}'
STATE_PACKET = DEVICE_FRAMES[-4][0]
BAD_PACKET = "[1,2,300]"
SHORT_FRAME = "[0]"
NOT_TEXT = object()


REFUSED_SENDS = [((BAD_JSON,), {}), ((NOT_TEXT,), {}), (("\udc80",), {}), ((VELOCITY,), {"message": VELOCITY})]
REFUSED_PACKETS = [((BAD_PACKET,), {}), ((NOT_TEXT,), {}), ((), {"data": BAD_PACKET})]


def exercise(link, rounds):
    """Each method at least `rounds` times with valid and with refused arguments."""
    for i in range(rounds):
        link.send(VELOCITY)
        link.poll_transmit()
        link.handle_receive(packet=STATE_PACKET if i % 2 else SHORT_FRAME)
        try:
            link.poll_receive()
        except ValueError:
            pass
        args, kwargs = REFUSED_SENDS[i % len(REFUSED_SENDS)]
        try:
            link.send(*args, **kwargs)
        except (ValueError, TypeError, UnicodeEncodeError):
            pass
        args, kwargs = REFUSED_PACKETS[i % len(REFUSED_PACKETS)]
        try:
            link.handle_receive(*args, **kwargs)
        except (ValueError, TypeError):
            pass
        if i % 8 == 0:
            Link()
    assert link.poll_transmit() is None and link.poll_receive() is None


OBJECT_VELOCITY = {"SetDriveBaseVelocity": [1.5, -1.5]}
# A State frame, a short frame, a broken frame and an overflow, as each kind of buffer.
OBJECT_PACKETS = [bytes(json.loads(STATE_PACKET)), bytearray(b"\x00"), memoryview(b"\x03\x11\x00"), b"\x01" * 5001]
REFUSED_MESSAGES = [{"SetUid": {"uid": 5}}, {1: 2}, {"SetUid": [NOT_TEXT]}, "\udc80", {"Ping": None, "x": {}}]
REFUSED_BUFFERS = ["[1]", 7, [1, 2], NOT_TEXT]


def exercise_objects(link, rounds):
    """The same for ObjectLink, with both stream faults."""
    for i in range(rounds):
        link.send(OBJECT_VELOCITY)
        link.poll_transmit()
        link.handle_receive(OBJECT_PACKETS[i % len(OBJECT_PACKETS)])
        for call, argument in ((link.send, REFUSED_MESSAGES[i % 5]), (link.handle_receive, REFUSED_BUFFERS[i % 4]),
                               (link.poll_receive, None)):
            try:
                call() if argument is None else call(argument)
            except (ValueError, TypeError):
                pass
        if i % 8 == 0:
            ObjectLink()


def resident_bytes():
    with open(f"/proc/{os.getpid()}/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("cls, exercise, arguments, rounds", [
    (Link, exercise, (VELOCITY, BAD_JSON, STATE_PACKET, BAD_PACKET, SHORT_FRAME, NOT_TEXT), ROUNDS),
    (ObjectLink, exercise_objects, (OBJECT_VELOCITY, *OBJECT_PACKETS, *REFUSED_MESSAGES, *REFUSED_BUFFERS),
     ROUNDS // 4),
], ids=["Link", "ObjectLink"])
def test_no_leaks(cls, exercise, arguments, rounds):
    link = cls()
    exercise(link, 2_000)  # warm caches and free lists
    gc.collect()
    refcounts = [sys.getrefcount(a) for a in arguments]
    rss = resident_bytes()
    tracemalloc.start()
    try:
        exercise(link, 2_000)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        exercise(link, rounds)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(a) for a in arguments] == refcounts
    assert traced_growth < 16 * 1024
    assert resident_bytes() - rss < 2 * 1024 * 1024
