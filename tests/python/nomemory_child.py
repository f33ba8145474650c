"""Run by test_memory_faults.py in a child process: every call of both link
classes, on every path, with allocations made to fail one at a time and from
one point on. Prints one line per fault found and "checked N trials" last."""
import gc
import json
import sys
from functools import partial
from operator import attrgetter

import _testcapi

from plim_ffi import Link, ObjectLink

from cases import FULL_STATE_BODY, wire
from conftest import Key

PING = bytes([1, 1, 2, 2, 1, 1, 1, 1, 0])
STATE = wire(FULL_STATE_BODY)
NEWER = wire(b"\x01", bytes([0, 0, 3, 0, 1, 0]))
CUT = wire(b"\x03\x00\x00")
BROKEN = b"\x03\x11\x00"


class Items(dict):
    def items(self):
        return [("uid", 5)]


def reentrant(link):
    """An object whose type name, read for an error text, calls the link again."""
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                try:
                    link.poll_transmit()
                except RuntimeError:
                    pass
            return super().__getattribute__(name)
    return Meta("Odd", (), {})()


def fed(cls, *packets):
    """A link with a packet queued, `packets` received and the start of one more frame behind them."""
    def setup():
        link = cls()
        link.send("Ping" if cls is ObjectLink else '"Ping"')
        for packet in (*packets, PING[:3]):
            link.handle_receive(packet if cls is ObjectLink else json.dumps(list(packet)))
        return link
    return setup


text_link = fed(Link)
object_link = fed(ObjectLink)


CASES = [
    ("Link()", text_link, lambda l: partial(Link)),
    ("Link(1)", text_link, lambda l: partial(Link, 1)),
    ("send", text_link, lambda l: partial(l.send, '{"SetUid":{"uid":"A1"}}')),
    ("send refused", text_link, lambda l: partial(l.send, '{"SetUid":{"uid":5}}')),
    ("send not text", text_link, lambda l: partial(l.send, 5)),
    ("send odd type", text_link, lambda l: partial(l.send, reentrant(l))),
    ("send surrogate", text_link, lambda l: partial(l.send, "\udc80")),
    ("send()", text_link, lambda l: partial(l.send)),
    ("send twice", text_link, lambda l: partial(l.send, "a", message="b")),
    ("send(x=)", text_link, lambda l: partial(l.send, x="a")),
    ("send a, b", text_link, lambda l: partial(l.send, "a", "b")),
    ("poll_transmit", text_link, lambda l: partial(l.poll_transmit)),
    ("handle_receive", text_link, lambda l: partial(l.handle_receive, "[1,1,2,1,0]")),
    ("handle_receive refused", text_link, lambda l: partial(l.handle_receive, "[1,256]")),
    ("handle_receive bytes", text_link, lambda l: partial(l.handle_receive, b"[]")),
    ("poll_receive state", fed(Link, STATE), lambda l: partial(l.poll_receive)),
    ("poll_receive short", fed(Link, b"\x00"), lambda l: partial(l.poll_receive)),
    ("poll_receive newer", fed(Link, NEWER), lambda l: partial(l.poll_receive)),
    ("poll_receive cut", fed(Link, CUT), lambda l: partial(l.poll_receive)),
    ("poll_receive broken", fed(Link, BROKEN + PING), lambda l: partial(l.poll_receive)),
    ("ObjectLink()", object_link, lambda l: partial(ObjectLink)),
    ("object send", object_link, lambda l: partial(l.send, {"SetUid": {"uid": "A1"}})),
    ("object send list", object_link, lambda l: partial(l.send, {"SetDriveBaseVelocity": [1.5, -1.5]})),
    ("object send refused", object_link, lambda l: partial(l.send, {"SetUid": {"uid": 5}})),
    ("object send missing", object_link, lambda l: partial(l.send, {"SetUid": {}})),
    ("object send unknown", object_link, lambda l: partial(l.send, "Stop")),
    ("object send twice", object_link, lambda l: partial(l.send, {"SetUid": {Key("uid"): "A", "uid": "B"}})),
    ("object send key", object_link, lambda l: partial(l.send, {"SetUid": {1: "A"}})),
    ("object send bytes", object_link, lambda l: partial(l.send, {"SetUid": {"uid": b"A"}})),
    ("object send odd type", object_link, lambda l: partial(l.send, {"SetUid": {"uid": reentrant(l)}})),
    ("object send nan", object_link, lambda l: partial(l.send, {"SetUid": {"uid": "A", "x": [float("nan")]}})),
    ("object send items", object_link, lambda l: partial(l.send, {"SetUid": Items(uid="A")})),
    ("object send bare", object_link, lambda l: partial(l.send, "SetUid")),
    ("object handle_receive", object_link, lambda l: partial(l.handle_receive, memoryview(b"\x01\x02\x01\x00"))),
    ("object handle_receive str", object_link, lambda l: partial(l.handle_receive, "[1]")),
    ("object poll_transmit", object_link, lambda l: partial(l.poll_transmit)),
    ("object poll_receive state", fed(ObjectLink, STATE), lambda l: partial(l.poll_receive)),
    ("object poll_receive newer", fed(ObjectLink, NEWER), lambda l: partial(l.poll_receive)),
    ("object poll_receive cut", fed(ObjectLink, CUT), lambda l: partial(l.poll_receive)),
    ("object poll_receive overflow", fed(ObjectLink, b"\x01" * 5001, PING), lambda l: partial(l.poll_receive)),
    ("object poll_receive broken", fed(ObjectLink, BROKEN + PING), lambda l: partial(l.poll_receive)),
    ("skipped_frames", object_link, lambda l: partial(attrgetter("skipped_frames"), l)),
]


def snapshot(link):
    """Everything the link holds, taken out of it."""
    sent = []
    while (packet := link.poll_transmit()) is not None:
        sent.append(packet)
    received = []
    for _ in range(1000):
        try:
            message = link.poll_receive()
        except ValueError as error:
            message = error.args
        if message is None:
            break
        received.append(message)
    return sent, received, getattr(link, "skipped_frames", None)


def outcome(call, fail_from=None, fail_to=0):
    # The call is made from C (a partial), and this frame's object exists
    # before anything can fail: the interpreter then chains a refusal that it
    # cannot add to the traceback as the MemoryError's context, where making a
    # frame object on the way would drop it.
    sys._getframe()
    if fail_from is not None:
        _testcapi.set_nomemory(fail_from, fail_to)
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - every outcome is judged
        _testcapi.remove_mem_hooks()
        return "raised", error
    _testcapi.remove_mem_hooks()
    return "returned", result


def same(first, second):
    (how, value), (other_how, other) = first, second
    if how != other_how:
        return False
    if type(value) is not type(other):
        return False
    if how == "raised":
        return value.args == other.args
    return isinstance(value, (Link, ObjectLink)) or value == other  # a new link equals no other


def main():
    gc.disable()
    trials = 0
    for name, setup, call in CASES:
        before = snapshot(setup())
        link = setup()
        normal = outcome(call(link))
        after = snapshot(link)
        # From each allocation on, every one fails; then each alone.
        last = None
        for start in range(1, 2000):
            link = setup()
            got = outcome(call(link), start)
            trials += 1
            if same(got, normal):
                last = start
                break
            judge(name, f"from {start}", got, normal, snapshot(link), before, after)
        propagating = False
        for start in range(1, last or 1):
            link = setup()
            got = outcome(call(link), start, start + 1)
            trials += 1
            if same(got, normal):
                if snapshot(link) != after:
                    print(f"{name} at {start}: the call succeeded but the link differs")
            elif not (propagating and interpreter_lost_it(got) and snapshot(link) == after):
                judge(name, f"at {start}", got, normal, snapshot(link), before, after)
            propagating = refused_then_out_of_memory(got, normal)
    print(f"checked {trials} trials")


def refused_then_out_of_memory(got, normal):
    """The call refused, then the interpreter ran out adding it to the traceback."""
    how, error = got
    if how != "raised" or type(error) is not MemoryError:
        return False
    # Each frame the exception leaves adds to the traceback, and may run out again.
    while (error := error.__context__) is not None:
        if same(("raised", error), normal):
            return True
    return False


def interpreter_lost_it(got):
    # The interpreter's own propagation, failing at the allocation after the
    # traceback's, loses the exception: it does so for a KeyError of {}["k"] too.
    how, error = got
    return how == "raised" and type(error) is SystemError and error.args == ("error return without exception set",)


def judge(name, where, got, normal, state, before, after):
    how, error = got
    if how != "raised" or type(error) is not MemoryError:
        print(f"{name} {where}: {how} {type(error).__name__} {getattr(error, 'args', '')!r}, "
              f"not MemoryError or {normal[0]} {normal[1]!r}")
        return
    # The interpreter may run out while adding the call's refusal to the
    # traceback: the refusal is then this MemoryError's context, and the call
    # did all it does when refusing.
    done = refused_then_out_of_memory(got, normal)
    if state != (after if done else before):
        print(f"{name} {where}: MemoryError left the link {'after' if done else 'before'} the call changed: "
              f"{state!r}")


if __name__ == "__main__":
    sys.exit(main())
