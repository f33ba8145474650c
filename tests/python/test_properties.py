"""Property tests: random host messages in every accepted JSON spelling become
packets whose bodies (decoded here with the tests' own COBS and body readers)
carry exactly the field values; and any cut of a valid frame stream into
packets yields the same messages.
"""
import json
import math
import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import cases
import plim_ffi

HOST_HEADER = bytes([0, 0, 2, 0, 0, 0])
WHITESPACE = " \t\n\r"

# PLIM_PROPERTY_EXAMPLES raises the count for a long hunting run.
EXAMPLES = int(os.environ.get("PLIM_PROPERTY_EXAMPLES", "300"))
PROPERTY_SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# --- test-side decoding of what poll_transmit hands out

def cobs_decode(wire: bytes) -> bytes:
    out = bytearray()
    i = 0
    zero_pending = False
    while True:
        assert i < len(wire), "wire frame truncated"
        code = wire[i]
        i += 1
        if code == 0:
            assert i == len(wire), "bytes after the delimiter"
            return bytes(out)
        if zero_pending:
            out.append(0)
        block = wire[i:i + code - 1]
        assert len(block) == code - 1 and 0 not in block
        out += block
        i += code - 1
        zero_pending = code < 0xFF


def read_varint(body: bytes, i: int):
    value = shift = 0
    while True:
        byte = body[i]
        i += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, i


def decode_host_body(body: bytes):
    """(variant index, field values) with floats as their four raw bytes."""
    variant, i = body[0], 1
    fields = []
    kinds = {3: "tt", 4: "t", 5: "ff"}.get(variant, "")
    for kind in kinds:
        if kind == "t":
            length, i = read_varint(body, i)
            fields.append(body[i:i + length].decode("utf-8"))
            i += length
        else:
            fields.append(body[i:i + 4])
            i += 4
    assert i == len(body), "body longer than its fields"
    return variant, fields


def transmitted_body(link) -> bytes:
    packets = []
    while (packet := link.poll_transmit()) is not None:
        packets.append(bytes(json.loads(packet)))
    assert packets and all(1 <= len(p) <= 1400 for p in packets)
    assert all(len(p) == 1400 for p in packets[:-1])
    frame = cobs_decode(b"".join(packets))
    assert frame[:6] == HOST_HEADER
    return frame[6:]


# --- expected float32 bytes for a JSON number text

def f32_bytes_of_float(value: float) -> bytes:
    try:
        return struct.pack("<f", value)
    except OverflowError:  # rounds beyond the largest float32
        return struct.pack("<f", math.copysign(math.inf, value))


def f32_bytes_of_int(value: int) -> bytes:
    """Nearest float32 of an integer, rounded once (ties to even), not via a double."""
    magnitude = abs(value)
    shift = max(magnitude.bit_length() - 24, 0)
    if shift:
        quotient, remainder = divmod(magnitude, 1 << shift)
        half = 1 << (shift - 1)
        if remainder > half or (remainder == half and quotient & 1):
            quotient += 1
        magnitude = quotient << shift
    return struct.pack("<f", math.copysign(float(magnitude), -1.0 if value < 0 else 1.0))


def expected_f32(number_text: str) -> bytes:
    if number_text == "-0":
        return struct.pack("<f", -0.0)
    if all(c in "-0123456789" for c in number_text):
        value = int(number_text)
        if -(1 << 63) <= value < (1 << 64):
            return f32_bytes_of_int(value)
    return f32_bytes_of_float(float(number_text))


# --- random JSON spellings

ws = st.text(alphabet=WHITESPACE, max_size=3)

SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


@st.composite
def json_string(draw, value: str) -> str:
    """`value` as a JSON string, each character spelled one of its legal ways."""
    out = ['"']
    for ch in value:
        options = []
        if ch not in '"\\' and ord(ch) >= 0x20:
            options.append(ch)
        if ch in SHORT_ESCAPES:
            options.append(SHORT_ESCAPES[ch])
        if ord(ch) < 0x10000:
            options.append("\\u%04x" % ord(ch))
            options.append("\\u%04X" % ord(ch))
        else:
            high = 0xD800 + ((ord(ch) - 0x10000) >> 10)
            low = 0xDC00 + ((ord(ch) - 0x10000) & 0x3FF)
            options.append("\\u%04x\\u%04X" % (high, low))
        out.append(draw(st.sampled_from(options)))
    out.append('"')
    return "".join(out)


texts = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=20)

float_texts = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.integers(min_value=-(1 << 63), max_value=(1 << 64) - 1).map(str),
    # Integers near the top of the 64-bit range, where rounding through a
    # double first would pick another float32.
    st.integers(min_value=(1 << 53), max_value=(1 << 64) - 1).map(str),
    st.integers(min_value=-(1 << 63), max_value=-(1 << 53)).map(str),
    st.integers(min_value=1 << 64, max_value=1 << 80).map(str),
    st.builds("{}{}{}e{}{}".format,
              st.sampled_from(["", "-"]), st.integers(0, 99999).map(str),
              st.sampled_from(["", ".5", ".000123", ".9999999"]), st.sampled_from(["", "+", "-"]),
              st.integers(0, 60).map(str)),
    st.just("-0"),
    st.just("1e39"),
    st.just("-1e-50"),
)

unknown_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False, allow_infinity=False), texts),
    lambda children: st.one_of(st.lists(children, max_size=3), st.dictionaries(texts, children, max_size=3)),
    max_leaves=6,
).map(json.dumps)

FIELDS = {
    "SetNetworkConnectionConfig": (("ssid", "text"), ("password", "text")),
    "SetUid": (("uid", "text"),),
    "SetDriveBaseVelocity": (("left_velocity_rad_per_s", "float"), ("right_velocity_rad_per_s", "float")),
}
DISCRIMINANT = {"Ping": 0, "Pong": 1, "RequestNetworkScan": 2,
                "SetNetworkConnectionConfig": 3, "SetUid": 4, "SetDriveBaseVelocity": 5}


@st.composite
def host_messages(draw):
    """(JSON text, variant index, expected field values as the body holds them)."""
    variant = draw(st.sampled_from(list(DISCRIMINANT)))
    name = draw(json_string(variant))
    if variant not in FIELDS:
        if draw(st.booleans()):
            text = draw(ws) + name + draw(ws)
        else:
            text = "".join([draw(ws), "{", draw(ws), name, draw(ws), ":", draw(ws), "null", draw(ws), "}", draw(ws)])
        return text, DISCRIMINANT[variant], []
    values, expected, spelled = {}, [], {}
    for field, kind in FIELDS[variant]:
        if kind == "text":
            value = draw(texts)
            spelled[field] = draw(json_string(value))
            expected.append(value)
        else:
            number = draw(float_texts)
            spelled[field] = number
            expected.append(expected_f32(number))
        values[field] = spelled[field]
    if draw(st.booleans()):
        record = "[" + draw(ws) + ("," + draw(ws)).join(spelled[f] + draw(ws) for f, _ in FIELDS[variant]) + "]"
    else:
        members = [draw(json_string(f)) + draw(ws) + ":" + draw(ws) + spelled[f] for f, _ in FIELDS[variant]]
        names = {f for f, _ in FIELDS[variant]}
        extra_keys = draw(st.lists(texts.filter(lambda k: k not in names), max_size=2))
        members += [draw(json_string(k)) + ":" + draw(ws) + draw(unknown_values) for k in extra_keys]
        members = draw(st.permutations(members))
        record = "{" + draw(ws) + ("," + draw(ws)).join(m + draw(ws) for m in members) + "}"
    text = "".join([draw(ws), "{", draw(ws), name, draw(ws), ":", draw(ws), record, draw(ws), "}", draw(ws)])
    return text, DISCRIMINANT[variant], expected


@PROPERTY_SETTINGS
@given(host_messages())
def test_host_message_fields_reach_the_body(message):
    text, variant, expected = message
    link = plim_ffi.Link()
    link.send(text)
    assert decode_host_body(transmitted_body(link)) == (variant, expected)
    assert link.poll_transmit() is None


@PROPERTY_SETTINGS
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_fields_are_the_nearest_float32(value):
    link = plim_ffi.Link()
    link.send('{"SetDriveBaseVelocity":[%r,%r]}' % (value, -value))
    body = transmitted_body(link)
    assert body[1:5] == f32_bytes_of_float(value)
    assert body[5:9] == f32_bytes_of_float(-value)


@pytest.mark.parametrize("number, raw", [
    ("16777217", "0000804b"),                 # 2**24 + 1: a tie, to even
    ("9007199254740993", "0000005a"),         # 2**53 + 1
    ("18446744073709551615", "0000805f"),     # u64 max rounds up to 2**64
    ("-9223372036854775808", "000000df"),     # i64 min
    ("18446744073709551616", "0000805f"),     # beyond u64: read as a double
    # 2**60 + 2**36 + 1: via a double it becomes a tie and rounds to even
    # (2**60); read as an integer it lies above the tie and rounds up.
    ("1152921573326323713", "0100805d"),
])
def test_integer_float_fields_round_once(number, raw):
    link = plim_ffi.Link()
    link.send('{"SetDriveBaseVelocity":[%s,0]}' % number)
    assert transmitted_body(link)[1:5].hex() == raw
    assert expected_f32(number).hex() == raw


# --- receiving: any cut of the stream into packets

FRAMES = [(bytes(json.loads(packet)), text) for packet, text in cases.DEVICE_FRAMES]


@PROPERTY_SETTINGS
@given(st.lists(st.sampled_from(FRAMES), min_size=1, max_size=6), st.data())
def test_any_packet_split_yields_the_same_messages(frames, data):
    stream = b"".join(wire for wire, _ in frames)
    cuts = sorted(data.draw(st.lists(st.integers(0, len(stream)), max_size=8)))
    link = plim_ffi.Link()
    received = []
    start = 0
    for cut in cuts + [len(stream)]:
        link.handle_receive(cases.packet_json(stream[start:cut]))
        start = cut
        for _ in range(data.draw(st.integers(0, 2))):
            if (message := link.poll_receive()) is not None:
                received.append(message)
    while (message := link.poll_receive()) is not None:
        received.append(message)
    assert received == [text for _, text in frames]


# --- a refusal leaves nothing behind

BAD_PACKET_TAILS = [",256]", ",-1]", ",1.5]", ",]", ",", "", ",01]", ",null]", "]]", "] x", ",1e0]"]


@PROPERTY_SETTINGS
@given(st.sampled_from(FRAMES), st.data())
def test_refused_packet_adds_no_byte(frame, data):
    wire, text = frame
    cut = data.draw(st.integers(0, len(wire)))
    # The refused packet starts with valid byte values that must not reach the stream.
    junk = data.draw(st.binary(min_size=1, max_size=20))
    bad = "[" + ",".join(str(b) for b in junk) + data.draw(st.sampled_from(BAD_PACKET_TAILS))
    link = plim_ffi.Link()
    link.handle_receive(cases.packet_json(wire[:cut]))
    with pytest.raises(ValueError, match="^Serde JSON error: "):
        link.handle_receive(bad)
    link.handle_receive(cases.packet_json(wire[cut:]))
    assert link.poll_receive() == text
    assert link.poll_receive() is None


BAD_MESSAGE_TAILS = [',"x":1}', "}}", " x", ",", '{"Ping":null}']


@settings(PROPERTY_SETTINGS, max_examples=max(EXAMPLES // 3, 1))
@given(host_messages(), st.sampled_from(BAD_MESSAGE_TAILS))
def test_refused_message_queues_nothing(message, tail):
    text, variant, expected = message
    link = plim_ffi.Link()
    with pytest.raises(ValueError, match="^Serde JSON error: "):
        link.send(text + tail)
    assert link.poll_transmit() is None
    link.send(text)
    assert decode_host_body(transmitted_body(link)) == (variant, expected)
