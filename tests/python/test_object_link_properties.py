"""ObjectLink against Link: the same packets for every message value, the same
messages and errors for every byte stream, and the two deliberate differences
(broken frames skipped, frames cut by overflow reported) against a model of
the receive buffer that decodes each whole frame with a fresh Link."""
import json
import os
import struct

from hypothesis import HealthCheck, given, settings, strategies as st

import cases
from plim_ffi import Link, ObjectLink

from conftest import drain

EXAMPLES = int(os.environ.get("PLIM_PROPERTY_EXAMPLES", "300"))
PROPERTY_SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
RX_LIMIT = 5000


def outcome(call):
    """What a call did: ("ok", result) or (exception class, args)."""
    try:
        return "ok", call()
    except Exception as error:  # noqa: BLE001 - the class is what is compared
        return type(error), error.args


# --- send: message values

VARIANTS = ["Ping", "Pong", "RequestNetworkScan", "SetNetworkConnectionConfig", "SetUid", "SetDriveBaseVelocity"]
FIELDS = {"SetNetworkConnectionConfig": ["ssid", "password"], "SetUid": ["uid"],
          "SetDriveBaseVelocity": ["left_velocity_rad_per_s", "right_velocity_rad_per_s"]}

texts = st.one_of(st.text(max_size=6), st.sampled_from(["\ud800", "a\udfff", "\x00", "é", "\U0001f600"]))
numbers = st.one_of(
    st.integers(), st.floats(), st.floats(width=32),
    st.sampled_from([2**63, 2**64, -2**63 - 1, 10**40, -(10**400), 3.4028235677973366e38, 1e-46, -0.0, True, False]))
scalars = st.one_of(st.none(), numbers, texts)
json_values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                           | st.dictionaries(texts, inner, max_size=3), max_leaves=8)


@st.composite
def near_valid_messages(draw):
    """Valid shapes and shapes around them: right and wrong names, records as
    lists or dicts with fields missing, extra or of the wrong kind."""
    name = draw(st.sampled_from(VARIANTS) | st.sampled_from(["ping", "Foo", "", "SetUid "]))
    fields = FIELDS.get(name, draw(st.sampled_from(list(FIELDS.values()))))
    value = st.one_of(texts, numbers, json_values) if draw(st.booleans()) else st.one_of(texts, st.floats())
    shape = draw(st.integers(0, 5))
    if shape < 2:
        return [name, {name: None}][shape]
    if shape == 2:
        return {name: [draw(value) for _ in range(draw(st.integers(len(fields) - 1, len(fields) + 1)))]}
    record = {f: draw(value) for f in fields if draw(st.integers(0, 9))}
    record.update(draw(st.dictionaries(texts, json_values, max_size=2)))
    if shape == 3:
        return {name: record}
    return {name: record, **draw(st.dictionaries(texts, json_values, max_size=1))} if shape == 4 else [name]


Str, Int, Float, Dict, List = (type(base.__name__.title(), (base,), {}) for base in (str, int, float, dict, list))


@st.composite
def disguised(draw, value):
    """The same value with subclasses of its types and tuples for lists,
    which json.dumps writes exactly as the plain value."""
    def walk(v):
        if isinstance(v, dict):
            items = {(Str(k) if draw(st.booleans()) else k): walk(x) for k, x in v.items()}
            return Dict(items) if draw(st.booleans()) else items
        if isinstance(v, list):
            return draw(st.sampled_from([list, tuple, List]))(walk(x) for x in v)
        if isinstance(v, bool) or v is None:
            return v
        wrap = {str: Str, int: Int, float: Float}[type(v)]
        return wrap(v) if draw(st.booleans()) else v
    return walk(value)


messages = st.one_of(near_valid_messages(), json_values)


@PROPERTY_SETTINGS
@given(messages, st.data())
def test_send_queues_what_link_queues_for_the_json_text(message, data):
    link, object_link = Link(), ObjectLink()
    link.send('"Ping"')
    object_link.send("Ping")
    expected = outcome(lambda: link.send(json.dumps(message)))
    value = data.draw(disguised(message)) if data.draw(st.booleans()) else message
    got = outcome(lambda: object_link.send(value))
    assert got[0] in ("ok", ValueError)
    assert got[0] == expected[0], (got, expected)
    assert drain(object_link.poll_transmit) == [bytes(json.loads(p)) for p in drain(link.poll_transmit)]


def with_any_keys(inner):
    keys = st.integers() | st.floats() | st.just(None) | st.booleans() | st.just("k")
    return st.lists(inner, max_size=2) | st.dictionaries(keys, inner, min_size=1, max_size=2)


def has_other_keys(value):
    if isinstance(value, dict):
        return any(type(k) is not str or has_other_keys(v) for k, v in value.items())
    return isinstance(value, list) and any(map(has_other_keys, value))


@PROPERTY_SETTINGS
@given(st.recursive(st.integers(0, 3) | st.just("k"), with_any_keys))
def test_keys_that_are_not_str_are_refused_without_queueing(value):
    object_link = ObjectLink()
    message = {"SetUid": {"uid": "x", "extra": value}}
    got = outcome(lambda: object_link.send(message))
    non_str_key = has_other_keys(value)
    assert got[0] in ((TypeError, ValueError) if non_str_key else ("ok",))
    assert len(drain(object_link.poll_transmit)) == (0 if non_str_key else 1)


# --- receive: byte streams

def f32(bits):
    return struct.pack("<I", bits)


float_bits = st.integers(0, 2**32 - 1) | st.sampled_from([0x7F800000, 0xFF800000, 0x7FC00000, 1, 0x80000000,
                                                          0x3DCCCCCD, 0x4B800000, 0x33D6BF95])
TABLE_FRAMES = [bytes(json.loads(packet)) for packet, _ in cases.DEVICE_FRAMES]
BROKEN_FRAMES = [b"\x03\x11\x00", b"\x05\x01\x00", b"\xff\x00", b"\x02\x00", b"\x00"]


@st.composite
def device_frames(draw):
    """A table message, a drive or IMU record of random float bits, a Scan of
    up to 600 points, another version, broken COBS or a short frame, noise."""
    kind = draw(st.integers(0, 6))
    if kind == 0:
        return draw(st.sampled_from(TABLE_FRAMES + BROKEN_FRAMES))
    if kind == 1:
        return cases.wire(draw(st.sampled_from(b"\x03\x04")).to_bytes(1, "little")
                          + b"".join(f32(draw(float_bits)) for _ in range(6)))
    if kind == 2:
        points = draw(st.integers(0, 600))
        sample = [bytes([draw(st.integers(0, 255))]) + f32(draw(float_bits)) + f32(draw(float_bits)) for _ in range(3)]
        return cases.wire(b"\x02" + cases.varint(points) + b"".join(sample[i % 3] for i in range(points)))
    if kind == 3:
        header = bytes([0, 0, draw(st.integers(0, 3)), 0, draw(st.integers(0, 2)), 0])
        return cases.wire(draw(st.sampled_from([b"\x00", b"\x01", b"\x02\x00"])), header=header)
    if kind == 4:
        return cases.wire(draw(st.binary(max_size=12)))
    return draw(st.binary(max_size=40))


def link_outcome(link):
    """Link's outcome with the message as json.loads reads it, in a form in
    which 3 and 3.0, -0.0 and 0.0 differ."""
    got = outcome(link.poll_receive)
    return ("ok", repr(json.loads(got[1]))) if got[0] == "ok" and got[1] is not None else got


def decode_alone(frame):
    link = Link()
    link.handle_receive(json.dumps(list(frame)))
    return link_outcome(link)


class ModelStream:
    """The receive buffer byte by byte: the bytes dropped since the last frame
    taken, and whether the last of them was not a delimiter."""

    def __init__(self):
        self.bytes, self.dropped, self.cut, self.ever_dropped = bytearray(), 0, False, False

    def append(self, packet):
        self.bytes += packet
        for byte in self.bytes[:max(len(self.bytes) - RX_LIMIT, 0)]:
            self.cut, self.dropped, self.ever_dropped = byte != 0, self.dropped + 1, True
        del self.bytes[:max(len(self.bytes) - RX_LIMIT, 0)]

    def poll_all(self):
        results = []
        while 0 in self.bytes:
            end = self.bytes.index(0) + 1
            frame, self.bytes[:end] = bytes(self.bytes[:end]), b""
            if self.cut:
                results.append((ValueError, (f"plim-api error: receive buffer overflow: {self.dropped} bytes "
                                             "dropped before this frame",)))
            elif (got := decode_alone(frame)) != ("ok", None):
                results.append(got)
            self.dropped, self.cut = 0, False
        return results


@PROPERTY_SETTINGS
@given(st.lists(device_frames(), min_size=1, max_size=8), st.data())
def test_receive_gives_link_messages_and_reports_overflow(frames, data):
    stream = b"".join(frames)
    cuts = sorted(data.draw(st.lists(st.integers(0, len(stream)), max_size=6)))
    link, object_link, model = Link(), ObjectLink(), ModelStream()
    from_link, from_object_link, from_model = [], [], []
    for start, cut in zip([0] + cuts, cuts + [len(stream)]):
        packet = stream[start:cut]
        link.handle_receive(json.dumps(list(packet)))
        object_link.handle_receive(data.draw(st.sampled_from([bytes, bytearray, memoryview]))(packet))
        model.append(packet)
        if not data.draw(st.integers(0, 3)) and cut != len(stream):
            continue  # no poll: bytes pile up and may overflow
        from_link += [got for _ in range(stream.count(0) + 1) if (got := link_outcome(link)) != ("ok", None)]
        while (got := outcome(object_link.poll_receive)) != ("ok", None):
            from_object_link.append(("ok", repr(got[1])) if got[0] == "ok" else got)
        from_model += model.poll_all()
    assert from_object_link == from_model
    if not model.ever_dropped:
        assert from_object_link == from_link
